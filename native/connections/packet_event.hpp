// One IP packet reduced to what connection assembly needs. Fixed size and
// without pointers, so one process can write events to shared memory and
// another assemble them; every length is worked out here, once.
#pragma once

#include "capture/frame.hpp"
#include "decode/packet_view.hpp"

#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

namespace kavrel::connections {

// No frame time (before the first frame, or none since a given one).
inline constexpr int64_t kNoTime = std::numeric_limits<int64_t>::min();

// Which packets a packet is grouped with (always with the same IP version,
// protocol, unordered addresses and outermost VLAN).
enum class KeyKind : uint8_t {
    ports,           // TCP/UDP with both ports: the two (address, port) endpoints
    echo,            // ICMP/ICMPv6 echo request or reply with its identifier
    icmp_message,    // any other ICMP/ICMPv6 message with type and code: those two
    protocol,        // any other IP protocol: the addresses alone
    address_only,    // TCP/UDP/ICMP whose transport fields were not captured: the addresses alone
    later_fragment,  // a non-first fragment: goes where its datagram's first fragment went
};
inline constexpr uint8_t kKeyKindCount = 6;

namespace event_bit {
inline constexpr uint8_t kIpv6 = 1 << 0;
inline constexpr uint8_t kTagged = 1 << 1;          // `vlan` is the outermost VLAN ID
inline constexpr uint8_t kFragment = 1 << 2;        // part of a fragmented datagram
inline constexpr uint8_t kFirstFragment = 1 << 3;   // its first fragment: later ones will look for it
inline constexpr uint8_t kTcpFlags = 1 << 4;        // `tcp_flags` was captured
}  // namespace event_bit

struct PacketEvent {
    int64_t ts_ns;         // the packet's capture time
    int64_t clock_ns;      // the capture clock to advance to first: this packet's time, or in a
                           // sharded run the latest frame time since the bucket's previous packet
    uint64_t frame_index;  // of all frames of the source, from 0
    uint8_t src[16];       // addresses as in the packet; IPv4 uses the first 4 bytes, the rest 0
    uint8_t dst[16];
    uint32_t ip_length;    // the packet's IP length
    uint32_t payload;      // what it adds to src_bytes or dst_bytes
    uint32_t fragment_id;  // IPv4 Identification or the IPv6 fragment header's, for fragments
    uint16_t src_port;     // TCP/UDP ports; ICMP: type and code
    uint16_t dst_port;
    uint16_t echo_id;      // an echo's identifier
    uint16_t vlan;
    uint8_t proto;
    uint8_t tcp_flags;
    KeyKind kind;
    uint8_t bits;  // event_bit

    int version() const noexcept { return bits & event_bit::kIpv6 ? 6 : 4; }
    bool has(uint8_t bit) const noexcept { return (bits & bit) != 0; }
};
static_assert(std::is_trivially_copyable_v<PacketEvent> && sizeof(PacketEvent) == 80);

inline constexpr uint8_t kIcmpEchoReply = 0;
inline constexpr uint8_t kIcmpEchoRequest = 8;
inline constexpr uint8_t kIcmp6EchoRequest = 128;
inline constexpr uint8_t kIcmp6EchoReply = 129;
inline constexpr uint32_t kIpv6HeaderLen = 40;
inline constexpr uint32_t kUdpHeaderLen = 8;
inline constexpr uint32_t kIcmpHeaderLen = 8;
inline constexpr uint32_t kTcpHeaderLen = 20;  // when the data offset was not captured

inline bool is_echo(uint8_t proto, uint8_t type) noexcept {
    return proto == decode::proto::kIcmp ? type == kIcmpEchoRequest || type == kIcmpEchoReply
                                         : type == kIcmp6EchoRequest || type == kIcmp6EchoReply;
}

inline uint32_t less_floor0(uint32_t a, uint32_t b) noexcept { return a > b ? a - b : 0; }

// The event of an IPv4/IPv6 packet (decode_frame gave Outcome::ip); false
// for anything else, which has nothing to assemble.
inline bool make_event(const capture::Frame& frame, const decode::PacketView& v, uint64_t frame_index,
                       PacketEvent& out) noexcept {
    using namespace decode;
    const Ip& ip = v.ip;
    if (ip.version != 4 && ip.version != 6) return false;
    out.ts_ns = out.clock_ns = frame.time_ns();
    out.frame_index = frame_index;
    // Fixed-size copies: an IPv4 address's unused 12 bytes are then cleared.
    std::memcpy(out.src, ip.src, sizeof out.src);
    std::memcpy(out.dst, ip.dst, sizeof out.dst);
    if (ip.version == 4) {
        std::memset(out.src + 4, 0, sizeof out.src - 4);
        std::memset(out.dst + 4, 0, sizeof out.dst - 4);
    }
    out.proto = ip.proto;
    out.bits = ip.version == 6 ? event_bit::kIpv6 : 0;
    out.vlan = 0;
    if (v.link.vlan_tags) {
        out.bits |= event_bit::kTagged;
        out.vlan = v.link.vlan[0];
    }
    out.fragment_id = 0;
    if (ip.fragment) {
        out.bits |= event_bit::kFragment;
        if (!ip.later_fragment) out.bits |= event_bit::kFirstFragment;
        out.fragment_id = ip.version == 6 ? ip.fragment_id : ip.id;
    }
    out.src_port = out.dst_port = out.echo_id = 0;
    out.tcp_flags = 0;

    // A length field of 0 is a segmentation offload's super-segment or a
    // jumbogram: the frame itself says how long the packet is.
    uint32_t length = ip.version == 6 ? ip.length + kIpv6HeaderLen : ip.length;
    if (ip.length == 0) length = less_floor0(frame.wire_len, v.link.offset);
    out.ip_length = length;
    const uint32_t ip_payload = less_floor0(length, ip.transport);
    out.payload = ip_payload;

    const Transport& t = v.l4;
    const bool here = v.transport_here();
    if (ip.later_fragment) {
        out.kind = KeyKind::later_fragment;
    } else if (ip.proto == proto::kTcp || ip.proto == proto::kUdp) {
        if (here && t.has(Transport::kSrcPort) && t.has(Transport::kDstPort)) {
            out.kind = KeyKind::ports;
            out.src_port = t.src_port;
            out.dst_port = t.dst_port;
            if (ip.proto == proto::kTcp) {
                if (t.has(Transport::kTcpFlags)) {
                    out.bits |= event_bit::kTcpFlags;
                    out.tcp_flags = t.tcp_flags;
                }
                const uint32_t header = t.has(Transport::kTcpDataOffset) ? 4u * t.tcp_data_offset : kTcpHeaderLen;
                out.payload = less_floor0(ip_payload, header);
            } else {
                const uint32_t datagram =
                    t.has(Transport::kUdpLength) && t.udp_length < ip_payload ? t.udp_length : ip_payload;
                out.payload = less_floor0(datagram, kUdpHeaderLen);
            }
        } else {
            out.kind = KeyKind::address_only;
        }
    } else if (is_icmp(ip.proto)) {
        if (here && t.has(Transport::kIcmpType) && t.has(Transport::kIcmpCode)) {
            out.src_port = t.icmp_type;
            out.dst_port = t.icmp_code;
            out.payload = less_floor0(ip_payload, kIcmpHeaderLen);
            if (is_echo(ip.proto, t.icmp_type) && t.has(Transport::kIcmpId)) {
                out.kind = KeyKind::echo;
                out.echo_id = t.icmp_id;
            } else {
                out.kind = KeyKind::icmp_message;
            }
        } else {
            out.kind = KeyKind::address_only;
        }
    } else {
        out.kind = KeyKind::protocol;
    }
    return true;
}

namespace detail {

// Big-endian, so that hosts of either byte order agree on buckets.
inline uint64_t load_be64(const uint8_t* p) noexcept {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = v << 8 | p[i];
    return v;
}

// The 128-bit product folded to 64 bits: every bit of both factors reaches the result.
inline uint64_t fold_multiply(uint64_t a, uint64_t b) noexcept {
    const unsigned __int128 p = static_cast<unsigned __int128>(a) * b;
    return static_cast<uint64_t>(p) ^ static_cast<uint64_t>(p >> 64);
}

inline constexpr uint64_t kBucketSeeds[] = {0x9E3779B97F4A7C15ULL, 0xC2B2AE3D27D4EB4FULL, 0x165667B19E3779F9ULL,
                                           0xD6E8FEB86659FD93ULL, 0xA0761D6478BD642FULL};

}  // namespace detail

// The bucket of a packet in a sharded run: a fixed function of its IP
// version, protocol, unordered addresses and outermost VLAN, so both
// directions and every fragment of a datagram land in one bucket, in every
// process. Unsalted on purpose: processes must agree.
inline uint32_t bucket_of(const PacketEvent& e) noexcept {
    using namespace detail;
    const bool src_first = std::memcmp(e.src, e.dst, sizeof e.src) <= 0;
    const uint8_t* lo = src_first ? e.src : e.dst;
    const uint8_t* hi = src_first ? e.dst : e.src;
    const uint64_t tag = static_cast<uint64_t>(e.bits & (event_bit::kIpv6 | event_bit::kTagged)) << 32 |
                         static_cast<uint64_t>(e.vlan) << 8 | e.proto;
    uint64_t h = fold_multiply(load_be64(lo) ^ kBucketSeeds[0], load_be64(lo + 8) ^ kBucketSeeds[1]) ^
                 fold_multiply(load_be64(hi) ^ kBucketSeeds[2], load_be64(hi + 8) ^ kBucketSeeds[3]);
    h = fold_multiply(h ^ tag, kBucketSeeds[4]);
    return static_cast<uint32_t>(h ^ (h >> 32));
}

}  // namespace kavrel::connections
