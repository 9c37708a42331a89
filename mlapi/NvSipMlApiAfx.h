#pragma once
// Common header of the call-control library: the stack headers every unit
// of the library uses, and the export macro for its public classes.

#include "stack/base/NvErrorStream.h"
#include "stack/base/NvException.h"
#include "stack/base/NvHandle.h"
#include "stack/base/NvKeyTable.h"
#include "stack/base/NvMutex.h"
#include "stack/base/NvStream.h"
#include "stack/base/NvString.h"
#include "stack/sip/NvSipMessage.h"

#define NVSIPMLAPI_EXPORT __attribute__((visibility("default")))

// The plain mutex of the call manager's table and of each call: process-
// private, no priority protocol, the priority ceiling of SCHED_RR, the
// default (non-recursive) type. A failing pthread call raises NvSystemError
// naming it. The caller owns the result.
NvMutex* NvNewCeilingMutex();
