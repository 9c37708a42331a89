#include "mlapi/dialog/NvSipRouteSet.h"

namespace {

NvHandle<NvSipRouteHeader> routeTo(const NvHandle<NvSipNameAddress>& address) {
    NvHandle<NvSipNameAddress> copy(static_cast<NvSipNameAddress*>(address->clone()));
    copy->setAngleBrackets(true);
    return new NvSipRouteHeader(copy);
}

}  // namespace

NvSipRouteSet::Entries NvSipRouteSet::sFromRecordRoute(const NvSipMessage& message) {
    Entries routeSet;
    for (const NvHandle<NvSipRecordRouteHeader>& recordRoute : message.getHeaders<NvSipRecordRouteHeader>()) {
        NvHandle<NvSipNameAddress> entry(static_cast<NvSipNameAddress*>(recordRoute->getNameAddress()->clone()));
        entry->setAngleBrackets(true);
        if (message.isRequest())
            routeSet.push_back(entry);
        else
            routeSet.insert(routeSet.begin(), entry);
    }
    return routeSet;
}

void NvSipRouteSet::sApply(const Entries& routeSet, NvSipRequest& request) {
    if (routeSet.empty() || !request.getHeader<NvSipRouteHeader>().isNil()) return;
    const NvHandle<NvSipURL> firstHop = routeSet.front()->getURL();
    if (!firstHop.isNil() && firstHop->parameters().isPresent("lr")) {
        for (const auto& entry : routeSet) request.addHeader(routeTo(entry));
        return;
    }
    const NvHandle<NvURI> remoteTarget = request.getURI();
    NvHandle<NvURI> strictHop(static_cast<NvURI*>(routeSet.front()->getURI()->clone()));
    if (const NvHandle<NvSipURL> url = strictHop.cast<NvSipURL>()) {
        url->parameters().remove("method");
        url->setHeaders("");
    }
    request.setURI(strictHop);
    request.setStrictRouted(true);  // the transport sends it there, whatever Route follows
    for (auto entry = routeSet.begin() + 1; entry != routeSet.end(); ++entry) request.addHeader(routeTo(*entry));
    request.addHeader(routeTo(new NvSipNameAddress("", remoteTarget)));
}
