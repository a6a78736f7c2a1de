// What one frame of any supported link type decodes to: the link step finds
// the network header, then the IP step (with the IPv6 extension walk) and the
// transport step run on it.
#pragma once

#include "decode/ip.hpp"
#include "decode/link.hpp"
#include "decode/reader.hpp"
#include "decode/transport.hpp"

#include <cstdint>

namespace kavrel::decode {

enum class Outcome : uint8_t {
    ip,                // an IPv4 or IPv6 packet
    not_ip,            // the link layer carries something else
    cut,               // the capture ends inside the link header or the fixed IP header
    unsupported_link,  // no decoder for this link type
};

struct PacketView {
    Link link;
    Ip ip;
    Transport l4;  // read where `ip.transport` points, whatever its flags say

    // The transport fields belong to this packet: its header was found, and
    // this is not a later fragment.
    bool transport_here() const noexcept { return ip.transport_found && !ip.later_fragment; }
};

inline Outcome decode_frame(int linktype, Reader frame, PacketView& out) noexcept {
    if (!link_supported(linktype)) return Outcome::unsupported_link;
    out.link = find_network(linktype, frame);
    const Reader net = frame.from(out.link.offset);
    switch (out.link.network) {
    case Network::cut: return Outcome::cut;
    case Network::other: return Outcome::not_ip;
    case Network::ipv4:
        if (!ipv4(net, out.ip)) return Outcome::cut;
        break;
    case Network::ipv6:
        if (!ipv6(net, out.ip)) return Outcome::cut;
        follow_ipv6_extensions(net, out.ip);
        break;
    }
    transport(net.from(out.ip.transport), out.ip.proto, out.l4);
    return Outcome::ip;
}

}  // namespace kavrel::decode
