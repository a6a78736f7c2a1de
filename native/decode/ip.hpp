// Network-layer steps: IPv4 and IPv6, each read from the first byte of its own
// header, and the walk over IPv6 extension headers to the transport header.
#pragma once

#include "decode/reader.hpp"

#include <cstdint>

namespace kavrel::decode {

namespace proto {
inline constexpr uint8_t kHopByHop = 0;
inline constexpr uint8_t kIcmp = 1;
inline constexpr uint8_t kTcp = 6;
inline constexpr uint8_t kUdp = 17;
inline constexpr uint8_t kRouting = 43;
inline constexpr uint8_t kFragment = 44;
inline constexpr uint8_t kIcmp6 = 58;
inline constexpr uint8_t kDestOptions = 60;
}  // namespace proto

struct Ip {
    uint8_t version = 0;      // 4 or 6
    uint8_t ttl = 0;          // TTL or hop limit
    uint8_t next_header = 0;  // IPv4 Protocol, or the Next Header of the fixed IPv6 header
    uint8_t proto = 0;        // the transport protocol (after IPv6 extension headers, where followed)
    uint32_t id = 0;          // IPv4 Identification, or the IPv6 flow label
    uint16_t length = 0;      // IPv4 Total Length, or the IPv6 Payload Length, as the header says
    uint16_t flags_frag = 0;  // IPv4 flags and fragment offset word
    bool fragment = false;    // part of a fragmented datagram
    bool later_fragment = false;  // not its first fragment: no transport header in this packet
    bool fragment_header = false;  // an IPv6 fragment header was captured (its Identification is fragment_id)
    uint32_t fragment_id = 0;  // the IPv6 fragment header's Identification (IPv4's is `id`)
    bool transport_found = false;  // `transport` is where a transport header starts
    uint32_t transport = 0;   // transport header offset from the first byte of the IP header
    uint8_t src[16];          // addresses as in the frame; IPv4 uses the first 4 bytes
    uint8_t dst[16];
};

namespace ipv4_field {
inline constexpr uint32_t kVersionIhl = 0;
inline constexpr uint32_t kTotalLength = 2;
inline constexpr uint32_t kIdent = 4;
inline constexpr uint32_t kFlagsFrag = 6;
inline constexpr uint32_t kTtl = 8;
inline constexpr uint32_t kProtocol = 9;
inline constexpr uint32_t kSrc = 12;
inline constexpr uint32_t kDst = 16;
inline constexpr uint32_t kFixedLen = 20;
inline constexpr uint16_t kMoreFragments = 0x2000;
inline constexpr uint16_t kOffsetMask = 0x1FFF;
}  // namespace ipv4_field

namespace ipv6_field {
inline constexpr uint32_t kVersionClassFlow = 0;
inline constexpr uint32_t kPayloadLength = 4;
inline constexpr uint32_t kNextHeader = 6;
inline constexpr uint32_t kHopLimit = 7;
inline constexpr uint32_t kSrc = 8;
inline constexpr uint32_t kDst = 24;
inline constexpr uint32_t kFixedLen = 40;
inline constexpr uint32_t kFlowLabelMask = 0xFFFFF;
// Fragment header: next header, reserved, offset (13 bits) | reserved | M, Identification
inline constexpr uint32_t kFragmentLen = 8;
inline constexpr uint32_t kFragmentOffsetFlags = 2;
inline constexpr uint32_t kFragmentIdent = 4;
inline constexpr uint16_t kFragMore = 0x0001;
}  // namespace ipv6_field

// The fixed IPv4 header. The IHL places the transport header unchecked (an IHL
// below 5 puts it inside the IP header); transport_found says whether it is sane.
// False when the 20 fixed bytes are not all captured.
inline bool ipv4(Reader ip, Ip& out) noexcept {
    using namespace ipv4_field;
    if (!ip.has(0, kFixedLen)) return false;
    out.version = 4;
    ip.copy(kSrc, out.src, 4);
    ip.copy(kDst, out.dst, 4);
    out.id = ip.be16(kIdent);
    out.length = ip.be16(kTotalLength);
    out.fragment_header = false;
    out.fragment_id = 0;
    out.ttl = ip.u8(kTtl);
    out.next_header = out.proto = ip.u8(kProtocol);
    out.flags_frag = ip.be16(kFlagsFrag);
    out.fragment = (out.flags_frag & (kMoreFragments | kOffsetMask)) != 0;
    out.later_fragment = (out.flags_frag & kOffsetMask) != 0;
    const uint32_t ihl = ip.u8(kVersionIhl) & 0x0Fu;
    out.transport = 4 * ihl;
    out.transport_found = ihl >= 5;
    return true;
}

// The fixed IPv6 header: `proto` is its Next Header and the transport header is
// taken to follow it directly. False when the 40 bytes are not all captured.
inline bool ipv6(Reader ip, Ip& out) noexcept {
    using namespace ipv6_field;
    if (!ip.has(0, kFixedLen)) return false;
    out.version = 6;
    ip.copy(kSrc, out.src, 16);
    ip.copy(kDst, out.dst, 16);
    out.id = ip.be32(kVersionClassFlow) & kFlowLabelMask;
    out.length = ip.be16(kPayloadLength);
    out.fragment_header = false;
    out.fragment_id = 0;
    out.ttl = ip.u8(kHopLimit);
    out.next_header = out.proto = ip.u8(kNextHeader);
    out.flags_frag = 0;
    out.fragment = out.later_fragment = false;
    out.transport = kFixedLen;
    out.transport_found = true;
    return true;
}

// Follows hop-by-hop, routing, fragment and destination-options headers after
// the fixed IPv6 header, each only when it is captured whole. Ends with `proto`
// the transport protocol and `transport` its offset; an extension header that
// is cut leaves `proto` at its own number and transport_found false. A later
// fragment ends the walk: what follows its fragment header is payload.
inline void follow_ipv6_extensions(Reader ip, Ip& out) noexcept {
    using namespace ipv6_field;
    uint32_t pos = out.transport;
    uint8_t next = out.proto;
    for (;;) {
        if (next == proto::kFragment) {
            if (!ip.has(pos, kFragmentLen)) break;
            const uint16_t offset_flags = ip.be16(pos + kFragmentOffsetFlags);
            out.fragment_header = true;
            out.fragment_id = ip.be32(pos + kFragmentIdent);
            out.later_fragment = (offset_flags >> 3) != 0;
            // An atomic fragment (offset 0, M clear) is a whole datagram.
            out.fragment = out.later_fragment || (offset_flags & kFragMore) != 0;
            next = ip.u8(pos);
            pos += kFragmentLen;
            if (out.later_fragment) {
                out.proto = next;
                out.transport = pos;
                out.transport_found = false;
                return;
            }
        } else if (next == proto::kHopByHop || next == proto::kRouting || next == proto::kDestOptions) {
            if (!ip.has(pos, 2)) break;
            const uint32_t length = (ip.u8(pos + 1) + 1u) * 8u;
            // Cut like a fragment header: only a header captured whole says what follows it.
            if (!ip.has(pos, length)) break;
            next = ip.u8(pos);
            pos += length;
        } else {
            out.proto = next;
            out.transport = pos;
            out.transport_found = true;
            return;
        }
    }
    // The header of type `next` is not captured.
    out.proto = next;
    out.transport = pos;
    out.transport_found = false;
}

}  // namespace kavrel::decode
