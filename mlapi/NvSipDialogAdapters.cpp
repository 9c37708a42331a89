// NvSipDialog: the forwarders that open a trace scope of their own; every
// other adapter is one of the forwarder templates in NvSipDialog.h.

#include "mlapi/NvSipDialog.h"

#include "stack/log/Tellar.h"

TELLAR_DEFINE_FILE_SCOPE_LOGGER("lumbrook.nv.NvSipDialog")

void NvSipDialog::InviteServerInterface::ack(NvHandle<NvSipServerTransaction> transaction,
                                             NvHandle<NvSipAckMessage> ack) {
    TELLAR_TRACE_SCOPE(Tellar::fileScopeLogger(), "NvSipDialog::InviteServerInterface::ack");
    ServerForwarder::ack(transaction, ack);
}

void NvSipDialog::InviteServerInterface::timeOut(NvHandle<NvSipServerTransaction> transaction) {
    TELLAR_TRACE_SCOPE(Tellar::fileScopeLogger(), "NvSipDialog::InviteServerInterface::timeOut");
    ServerForwarder::timeOut(transaction);
}

void NvSipDialog::UnknownRequestClientInterface::timeOut(NvHandle<NvSipClientTransaction> transaction) {
    TELLAR_TRACE_SCOPE(Tellar::fileScopeLogger(), "NvSipDialog::UnknownRequestClientInterface::timeOut");
    ClientForwarder::timeOut(transaction);
}
