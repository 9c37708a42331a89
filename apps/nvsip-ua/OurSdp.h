#pragma once
// OurSdp: the session description nvsip-ua gives for its side of every call
// (RFC 4566): one PCMU audio stream on the address it listens on. The media
// never change; only the o= line's version does, which each call keeps for
// itself and raises by one whenever it makes a new offer (RFC 3264 8).
//
// Immutable after construction; any thread.

#include <string>

class OurSdp {
public:
    explicit OurSdp(const std::string& host);
    // The description with `version` as its o= session version.
    std::string at(unsigned version) const;

private:
    std::string m_Before;  // up to the version in the o= line
    std::string m_After;   // from the blank after it
};
