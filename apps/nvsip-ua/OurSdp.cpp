#include "apps/nvsip-ua/OurSdp.h"

OurSdp::OurSdp(const std::string& host) {
    const std::string family = host.find(':') == std::string::npos ? "IP4" : "IP6";
    // o=<username> <sess-id> <sess-version> <nettype> <addrtype> <address>
    m_Before = "v=0\r\no=nvsip-ua 1 ";
    m_After = " IN " + family + " " + host + "\r\ns=-\r\nc=IN " + family + " " + host +
              "\r\nt=0 0\r\nm=audio 49170 RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\n";
}

std::string OurSdp::at(unsigned version) const { return m_Before + std::to_string(version) + m_After; }
