#pragma once
// NvSipRouteSet: a dialog's route set (RFC 3261 12.1.1, 12.1.2) and how a
// request of the dialog follows it (12.2.1.1). Kept by NvSipDialog for each
// dialog, and used alone for the 2xx whose dialog no longer exists
// (NvSipLateAnswers). Stateless; any thread.

#include "stack/sip/NvSipMessage.h"

#include <vector>

class NvSipRouteSet {
public:
    using Entries = std::vector<NvHandle<NvSipNameAddress>>;

    // The route set the Record-Route headers of `message` give: in their
    // order for a request we received, reversed for a response to ours.
    static Entries sFromRecordRoute(const NvSipMessage& message);

    // Addresses `request` (whose Request-URI is the remote target) along
    // `routeSet`, unless it carries Route headers already: a loose first hop
    // gets the whole set as Route; a strict one becomes the Request-URI
    // (without a method parameter or headers, 19.1.1), and the remote target
    // goes last in Route.
    static void sApply(const Entries& routeSet, NvSipRequest& request);
};
