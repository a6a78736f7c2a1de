// The transport step: the first fields of a TCP, UDP or ICMP/ICMPv6 header,
// read from the header's own first byte, each only when wholly captured.
#pragma once

#include "decode/ip.hpp"
#include "decode/reader.hpp"

#include <cstdint>

namespace kavrel::decode {

struct Transport {
    // Bits of `present`: which fields were captured.
    enum Field : uint16_t {
        kSrcPort = 1 << 0,
        kDstPort = 1 << 1,
        kTcpFlags = 1 << 2,
        kTcpSeq = 1 << 3,
        kTcpAck = 1 << 4,
        kUdpLength = 1 << 5,
        kIcmpType = 1 << 6,
        kIcmpCode = 1 << 7,
        kTcpDataOffset = 1 << 8,
        kIcmpId = 1 << 9,
    };
    uint16_t present = 0;
    uint16_t src_port = 0;  // every field not present is 0
    uint16_t dst_port = 0;
    uint8_t tcp_flags = 0;  // byte 13: CWR ECE URG ACK PSH RST SYN FIN
    uint8_t tcp_data_offset = 0;  // the header's length in 32-bit words, as the segment says
    uint32_t tcp_seq = 0;
    uint32_t tcp_ack = 0;
    uint16_t udp_length = 0;
    uint8_t icmp_type = 0;
    uint8_t icmp_code = 0;
    uint16_t icmp_id = 0;  // bytes 4-5: an echo request's or reply's identifier

    bool has(Field f) const noexcept { return (present & f) != 0; }
};

namespace transport_field {
inline constexpr uint32_t kSrcPort = 0;
inline constexpr uint32_t kDstPort = 2;
inline constexpr uint32_t kTcpSeq = 4;
inline constexpr uint32_t kTcpAck = 8;
inline constexpr uint32_t kTcpDataOffset = 12;  // high nibble
inline constexpr uint32_t kTcpFlags = 13;
inline constexpr uint32_t kUdpLength = 4;
inline constexpr uint32_t kIcmpType = 0;
inline constexpr uint32_t kIcmpCode = 1;
inline constexpr uint32_t kIcmpId = 4;
inline constexpr uint8_t kTcpUrgent = 0x20;
}  // namespace transport_field

inline bool is_icmp(uint8_t protocol) noexcept { return protocol == proto::kIcmp || protocol == proto::kIcmp6; }

// Reads the fields of `protocol` (TCP, UDP, ICMP or ICMPv6, whatever the IP
// version) from `l4`; any other protocol leaves `out` empty.
inline void transport(Reader l4, uint8_t protocol, Transport& out) noexcept {
    using namespace transport_field;
    out = Transport{};
    auto field = [&](uint32_t offset, uint32_t size, Transport::Field bit) {
        if (l4.has(offset, size)) out.present |= bit;
    };
    if (protocol == proto::kTcp || protocol == proto::kUdp) {
        field(kSrcPort, 2, Transport::kSrcPort);
        field(kDstPort, 2, Transport::kDstPort);
        out.src_port = l4.be16(kSrcPort);
        out.dst_port = l4.be16(kDstPort);
        if (protocol == proto::kTcp) {
            field(kTcpSeq, 4, Transport::kTcpSeq);
            field(kTcpAck, 4, Transport::kTcpAck);
            field(kTcpDataOffset, 1, Transport::kTcpDataOffset);
            field(kTcpFlags, 1, Transport::kTcpFlags);
            out.tcp_seq = l4.be32(kTcpSeq);
            out.tcp_ack = l4.be32(kTcpAck);
            out.tcp_data_offset = static_cast<uint8_t>(l4.u8(kTcpDataOffset) >> 4);
            out.tcp_flags = l4.u8(kTcpFlags);
        } else {
            field(kUdpLength, 2, Transport::kUdpLength);
            out.udp_length = l4.be16(kUdpLength);
        }
    } else if (is_icmp(protocol)) {
        field(kIcmpType, 1, Transport::kIcmpType);
        field(kIcmpCode, 1, Transport::kIcmpCode);
        field(kIcmpId, 2, Transport::kIcmpId);
        out.icmp_type = l4.u8(kIcmpType);
        out.icmp_code = l4.u8(kIcmpCode);
        out.icmp_id = l4.be16(kIcmpId);
    }
}

}  // namespace kavrel::decode
