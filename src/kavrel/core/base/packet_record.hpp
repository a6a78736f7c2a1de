// PacketRecord and parse_packet: the one place where frame bytes are read.
//
// Plain C++ over (header, bytes): no Python, no allocation, no state. Every
// read goes through FrameBytes, which refuses to look at or past caplen.
#pragma once

#include <arpa/inet.h>
#include <pcap/pcap.h>

#include <cstdint>
#include <cstring>

namespace kavrel {

struct PacketRecord {
    int32_t success;         // 1: IPv4 or IPv6 over Ethernet was decoded; 0: skip
    double timestamp;        // ts_sec + tv_usec / 1e6
    int32_t ts_sec;          // whole seconds of the capture time
    uint32_t frame_length;   // length on the wire (pcap_pkthdr.len, not caplen)
    int32_t version;         // 4 or 6
    uint32_t src_ip;         // IPv4 addresses, frame byte order
    uint32_t dst_ip;
    uint8_t src_ip6[16];     // IPv6 addresses as in the frame
    uint8_t dst_ip6[16];
    int32_t ip_id;           // IPv4 Identification, or IPv6 flow label
    uint8_t ip_proto;        // IPv4 Protocol, or the fixed IPv6 header's Next Header
    int32_t wrong_fragment;  // IPv4 MF set or fragment offset non-zero
    int32_t land;            // IPv4 TCP with equal addresses and equal ports
    uint16_t src_port;
    uint16_t dst_port;
    uint8_t tcp_flag;        // TCP byte 13: CWR ECE URG ACK PSH RST SYN FIN
    uint32_t tcp_seq;
    uint32_t tcp_ack;
    int32_t urgent;          // URG bit of tcp_flag
    uint16_t udp_length;
    uint8_t icmp_type;       // ICMP or ICMPv6
    uint8_t icmp_code;
    uint8_t src_mac[6];      // Ethernet bytes 6..11
    uint8_t dst_mac[6];      // Ethernet bytes 0..5
};

namespace frame {
// Ethernet II
inline constexpr uint32_t kEthDst = 0;
inline constexpr uint32_t kEthSrc = 6;
inline constexpr uint32_t kEthType = 12;
inline constexpr uint32_t kEthHeaderLen = 14;
inline constexpr uint16_t kTypeIPv4 = 0x0800;
inline constexpr uint16_t kTypeIPv6 = 0x86DD;
// IPv4 header, offsets from the frame start
inline constexpr uint32_t kIp4VerIhl = 14;
inline constexpr uint32_t kIp4Id = 18;
inline constexpr uint32_t kIp4FlagsFrag = 20;
inline constexpr uint32_t kIp4Proto = 23;
inline constexpr uint32_t kIp4Src = 26;
inline constexpr uint32_t kIp4Dst = 30;
inline constexpr uint32_t kIp4End = 34;  // one past the highest IPv4 byte read
inline constexpr uint16_t kIp4MoreFragments = 0x2000;
inline constexpr uint16_t kIp4FragOffset = 0x1FFF;
// IPv6 fixed header
inline constexpr uint32_t kIp6VerClassFlow = 14;
inline constexpr uint32_t kIp6NextHeader = 20;
inline constexpr uint32_t kIp6Src = 22;
inline constexpr uint32_t kIp6Dst = 38;
inline constexpr uint32_t kIp6End = 54;  // also where the transport header starts
inline constexpr uint32_t kIp6FlowLabel = 0xFFFFF;
// Transport, offsets from its first byte
inline constexpr uint32_t kSrcPort = 0;
inline constexpr uint32_t kDstPort = 2;
inline constexpr uint32_t kTcpSeq = 4;
inline constexpr uint32_t kTcpAck = 8;
inline constexpr uint32_t kTcpFlags = 13;
inline constexpr uint8_t kTcpUrgShift = 5;
inline constexpr uint32_t kUdpLength = 4;
inline constexpr uint32_t kIcmpType = 0;
inline constexpr uint32_t kIcmpCode = 1;
// IP protocol numbers
inline constexpr uint8_t kProtoIcmp = 1;
inline constexpr uint8_t kProtoTcp = 6;
inline constexpr uint8_t kProtoUdp = 17;
inline constexpr uint8_t kProtoIcmp6 = 58;
}  // namespace frame

// The captured bytes of one frame. Reads past caplen are refused: has() says
// whether a field lies wholly inside, and the *_or_zero readers give 0 when not.
class FrameBytes {
public:
    FrameBytes(const uint8_t* bytes, uint32_t caplen) noexcept : bytes_(bytes), caplen_(caplen) {}

    bool has(uint32_t offset, uint32_t size) const noexcept {
        return offset <= caplen_ && size <= caplen_ - offset;
    }
    uint8_t u8_or_zero(uint32_t offset) const noexcept { return has(offset, 1) ? bytes_[offset] : 0; }
    uint16_t be16_or_zero(uint32_t offset) const noexcept {
        if (!has(offset, 2)) return 0;
        uint16_t v;
        std::memcpy(&v, bytes_ + offset, sizeof v);
        return ntohs(v);
    }
    uint32_t be32_or_zero(uint32_t offset) const noexcept {
        if (!has(offset, 4)) return 0;
        uint32_t v;
        std::memcpy(&v, bytes_ + offset, sizeof v);
        return ntohl(v);
    }
    // Copies `size` bytes; the caller has checked has(offset, size).
    void copy(uint32_t offset, void* out, uint32_t size) const noexcept { std::memcpy(out, bytes_ + offset, size); }

private:
    const uint8_t* bytes_;
    uint32_t caplen_;
};

// Decodes one frame into `out`, writing only the fields of the decoded case.
// A frame whose Ethernet header or IP header is cut by caplen is not decoded;
// transport fields cut by caplen read as 0.
inline void parse_packet(const pcap_pkthdr* header, const uint8_t* bytes, PacketRecord* out) noexcept {
    using namespace frame;
    PacketRecord& rec = *out;
    rec.success = 0;
    if (!bytes || !header) return;
    const FrameBytes f(bytes, header->caplen);
    if (!f.has(0, kEthHeaderLen)) return;

    const uint16_t ether_type = f.be16_or_zero(kEthType);
    rec.success = 1;
    // libpcap hands over 32-bit file fields widened; they are taken as signed 32-bit.
    const auto sec = static_cast<int32_t>(header->ts.tv_sec);
    const auto usec = static_cast<int32_t>(header->ts.tv_usec);
    rec.ts_sec = sec;
    rec.timestamp = static_cast<double>(usec) / 1000000.0 + static_cast<double>(sec);
    rec.frame_length = header->len;
    f.copy(kEthSrc, rec.src_mac, sizeof rec.src_mac);
    f.copy(kEthDst, rec.dst_mac, sizeof rec.dst_mac);
    rec.wrong_fragment = 0;
    rec.land = 0;
    rec.ip_proto = 0;
    rec.src_port = 0;
    rec.dst_port = 0;

    uint32_t l4;  // first byte of the transport header
    if (ether_type == kTypeIPv4) {
        if (!f.has(0, kIp4End)) {
            rec.success = 0;
            return;
        }
        rec.version = 4;
        f.copy(kIp4Src, &rec.src_ip, 4);
        f.copy(kIp4Dst, &rec.dst_ip, 4);
        rec.ip_id = f.be16_or_zero(kIp4Id);
        rec.ip_proto = f.u8_or_zero(kIp4Proto);
        l4 = kEthHeaderLen + 4u * (f.u8_or_zero(kIp4VerIhl) & 0x0Fu);  // IHL, unchecked
        const uint16_t flags_frag = f.be16_or_zero(kIp4FlagsFrag);
        if ((flags_frag & kIp4MoreFragments) || (flags_frag & kIp4FragOffset)) rec.wrong_fragment = 1;
    } else if (ether_type == kTypeIPv6) {
        if (!f.has(0, kIp6End)) {
            rec.success = 0;
            return;
        }
        rec.version = 6;
        f.copy(kIp6Src, rec.src_ip6, 16);
        f.copy(kIp6Dst, rec.dst_ip6, 16);
        rec.ip_id = static_cast<int32_t>(f.be32_or_zero(kIp6VerClassFlow) & kIp6FlowLabel);
        rec.ip_proto = f.u8_or_zero(kIp6NextHeader);  // extension headers are not followed
        l4 = kIp6End;
    } else {
        rec.success = 0;
        return;
    }

    switch (rec.ip_proto) {
    case kProtoIcmp:
    case kProtoIcmp6:
        rec.icmp_type = f.u8_or_zero(l4 + kIcmpType);
        rec.icmp_code = f.u8_or_zero(l4 + kIcmpCode);
        break;
    case kProtoTcp: {
        rec.src_port = f.be16_or_zero(l4 + kSrcPort);
        rec.dst_port = f.be16_or_zero(l4 + kDstPort);
        rec.tcp_flag = f.u8_or_zero(l4 + kTcpFlags);
        rec.tcp_seq = f.be32_or_zero(l4 + kTcpSeq);
        rec.tcp_ack = f.be32_or_zero(l4 + kTcpAck);
        rec.urgent = (rec.tcp_flag >> kTcpUrgShift) & 1;
        const bool ports_read = f.has(l4 + kSrcPort, 4);
        if (rec.version == 4 && ports_read && rec.src_ip == rec.dst_ip && rec.src_port == rec.dst_port) {
            rec.land = 1;
        }
        break;
    }
    case kProtoUdp:
        rec.src_port = f.be16_or_zero(l4 + kSrcPort);
        rec.dst_port = f.be16_or_zero(l4 + kDstPort);
        rec.udp_length = f.be16_or_zero(l4 + kUdpLength);
        break;
    default:
        break;
    }
}

}  // namespace kavrel
