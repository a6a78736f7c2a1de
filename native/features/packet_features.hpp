// The per-packet features, defined once for the per-packet modules and the
// features table: the protocol type, the land mark and the features of one
// decoded packet. The 2-second count is destination_table.hpp's.
#pragma once

#include "capture/frame.hpp"
#include "decode/packet_view.hpp"

#include <cstdint>
#include <cstring>

namespace kavrel::features {

// The protocol types, in their index order.
inline const char* const kProtocolTypes[] = {"TCP", "UDP", "ICMP"};
inline constexpr int kProtocolTypeCount = 3;

// TCP, UDP, and ICMP for every other protocol number.
inline int8_t protocol_type(uint8_t ip_proto) noexcept {
    return ip_proto == decode::proto::kTcp ? 0 : ip_proto == decode::proto::kUdp ? 1 : 2;
}

// An IPv4 TCP segment from an endpoint to itself: equal addresses and, both
// ports captured, equal ports.
inline bool is_land(int version, uint8_t ip_proto, bool ports_captured, const uint8_t* src, const uint8_t* dst,
                    uint16_t src_port, uint16_t dst_port) noexcept {
    return version == 4 && ip_proto == decode::proto::kTcp && ports_captured && std::memcmp(src, dst, 4) == 0 &&
           src_port == dst_port;
}

// The feature values of one packet that do not depend on the count.
struct PacketFeatures {
    double timestamp;
    uint16_t src_port;
    uint16_t dst_port;
    int8_t protocol_type;  // index into kProtocolTypes
    uint32_t src_bytes;    // the frame's length on the wire
    uint8_t land;
    uint8_t wrong_fragment;
};

// The features of a packet decoded by the engine. The transport header of an
// IPv4 packet is taken where its IHL puts it, fragment or not; an IPv6
// packet's lies after its extension headers, and a later IPv6 fragment has no ports.
inline PacketFeatures features_of(const capture::Frame& frame, const decode::PacketView& v) noexcept {
    using namespace decode;
    PacketFeatures f{};
    f.timestamp = frame.seconds();
    f.src_bytes = frame.wire_len;
    const uint8_t p = v.ip.proto;
    f.protocol_type = protocol_type(p);
    const bool ports_apply = (p == proto::kTcp || p == proto::kUdp) && (v.ip.version == 4 || v.transport_here());
    if (ports_apply) {
        f.src_port = v.l4.src_port;
        f.dst_port = v.l4.dst_port;
    }
    f.wrong_fragment = v.ip.fragment ? 1 : 0;
    f.land = is_land(v.ip.version, p, v.l4.has(Transport::kSrcPort) && v.l4.has(Transport::kDstPort), v.ip.src,
                     v.ip.dst, f.src_port, f.dst_port)
                 ? 1
                 : 0;
    return f;
}

}  // namespace kavrel::features
