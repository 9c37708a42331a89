// NvSipDialog: the adapters through which transactions report to the dialog.

#include "mlapi/NvSipDialog.h"

#include "stack/log/Tellar.h"

TELLAR_DEFINE_FILE_SCOPE_LOGGER("lumbrook.nv.NvSipDialog")

namespace {

template <class T>
NvHandle<T> as(const NvHandle<NvSipRequest>& request) {
    return NvHandle<T>(request);
}

}  // namespace

void NvSipDialog::ServerAdapter::sendingMessage(const NvHandle<NvSipMessage>& message, unsigned* port,
                                                NvInetAddress* address) {
    m_hDialog->logCallMessage(message, false, port, address, Tellar::INFO);
}

void NvSipDialog::ServerAdapter::receivedMessage(const NvHandle<NvSipMessage>& message) {
    m_hDialog->logCallMessage(message, true, nullptr, nullptr, Tellar::INFO);
}

void NvSipDialog::InviteServerInterface::request(NvHandle<NvSipServerTransaction> transaction,
                                                 NvHandle<NvSipRequest> request) {
    m_hDialog->onInviteRequest(transaction, as<NvSipInviteMessage>(request));
}

void NvSipDialog::InviteServerInterface::ack(NvHandle<NvSipServerTransaction> transaction,
                                             NvHandle<NvSipAckMessage> ack) {
    TELLAR_TRACE_SCOPE(Tellar::fileScopeLogger(), "NvSipDialog::InviteServerInterface::ack");
    m_hDialog->onAckRequest(transaction, ack);
}

void NvSipDialog::InviteServerInterface::cancel(NvHandle<NvSipServerTransaction> transaction,
                                                NvHandle<NvSipCancelMessage> cancel) {
    m_hDialog->onCancelRequest(transaction, cancel);
}

void NvSipDialog::InviteServerInterface::timeOut(NvHandle<NvSipServerTransaction> transaction) {
    TELLAR_TRACE_SCOPE(Tellar::fileScopeLogger(), "NvSipDialog::InviteServerInterface::timeOut");
    m_hDialog->onTimeOut(NvHandle<NvSipTransaction>(transaction));
}

void NvSipDialog::ReplacesinviteServerInterface::request(NvHandle<NvSipServerTransaction> transaction,
                                                         NvHandle<NvSipRequest> request) {
    m_hDialog->onReplacesinviteRequest(transaction, as<NvSipInviteMessage>(request));
}

void NvSipDialog::ReplacesinviteServerInterface::ack(NvHandle<NvSipServerTransaction> transaction,
                                                     NvHandle<NvSipAckMessage> ack) {
    m_hDialog->onReplacesinviteAckRequest(transaction, ack);
}

void NvSipDialog::ReplacesinviteServerInterface::cancel(NvHandle<NvSipServerTransaction> transaction,
                                                        NvHandle<NvSipCancelMessage> cancel) {
    m_hDialog->onReplacesinviteCancelRequest(transaction, cancel);
}

void NvSipDialog::ByeServerInterface::request(NvHandle<NvSipServerTransaction> transaction,
                                              NvHandle<NvSipRequest> request) {
    m_hDialog->onByeRequest(transaction, as<NvSipByeMessage>(request));
}

void NvSipDialog::PrackServerInterface::request(NvHandle<NvSipServerTransaction> transaction,
                                                NvHandle<NvSipRequest> request) {
    m_hDialog->onPrackRequest(transaction, as<NvSipPrackMessage>(request));
}

void NvSipDialog::UnknownRequestServerInterface::request(NvHandle<NvSipServerTransaction> transaction,
                                                         NvHandle<NvSipRequest> request) {
    m_hDialog->onUnknownRequest(transaction, request);
}
