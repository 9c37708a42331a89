#pragma once
// NvSipKeptMessage: a message a transaction keeps, parsed while the
// transaction is at work and only as its wire form once it merely lingers
// (a finished non-INVITE server transaction waits 64*T1 to answer
// retransmissions: a parsed request and response cost several kilobytes
// and some thirty objects, their bytes a few hundred). get() parses the
// wire form again when someone still asks for the message; each call then
// gives a fresh copy. A lingering transaction's request may keep its start
// line only: the rest of what identifies it is in the response (see
// NvSipTransaction::getInitialRequest).
//
// Not synchronised: guarded by whatever guards the field that holds it.

#include "stack/base/NvHandle.h"
#include "stack/sip/NvSipParser.h"

#include <string>
#include <utility>

template <class Message>
class NvSipKeptMessage {
public:
    NvSipKeptMessage() = default;
    NvSipKeptMessage(NvHandle<Message> message) : m_hParsed(std::move(message)) {}

    // The message: the parsed one, else parsed from the wire form (nil when
    // there is neither, or the bytes no longer parse as a Message).
    NvHandle<Message> get() const {
        if (m_hParsed || m_Wire.empty() || m_bStartLineOnly) return m_hParsed;
        return NvHandle<Message>(NvSipParser::sParse(m_Wire.data(), m_Wire.size()));
    }
    // The parsed message; nil once only the wire form is kept.
    const NvHandle<Message>& parsed() const { return m_hParsed; }
    bool isWireFormOnly() const { return !m_hParsed && !m_Wire.empty(); }
    explicit operator bool() const { return m_hParsed || !m_Wire.empty(); }

    // Keeps the wire form only; the parsed message is let go.
    void keepWireFormOnly() {
        if (!m_hParsed) return;
        m_hParsed->serialize(m_Wire);
        m_Wire.shrink_to_fit();
        m_hParsed = nullptr;
    }
    // Keeps the start line only; get() is then nil, and wireForm() the line.
    void keepStartLineOnly() {
        if (!m_hParsed) return;
        m_Wire = m_hParsed->getStartLine();
        m_Wire.shrink_to_fit();
        m_bStartLineOnly = true;
        m_hParsed = nullptr;
    }
    bool isStartLineOnly() const { return m_bStartLineOnly; }
    const std::string& wireForm() const { return m_Wire; }

private:
    NvHandle<Message> m_hParsed;
    std::string m_Wire;
    bool m_bStartLineOnly = false;
};
