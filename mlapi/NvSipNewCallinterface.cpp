#include "mlapi/NvSipNewCallinterface.h"

#include "mlapi/NvSipIncomingCall.h"

NvSipNewCallinterface::~NvSipNewCallinterface() = default;

void NvSipNewCallinterface::callTakenOver(NvHandle<NvSipIncomingCall>) {}
