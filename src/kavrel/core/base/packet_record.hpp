// PacketRecord and parse_packet: one frame read as untagged Ethernet II, its
// IPv4 or IPv6 header and the first transport fields, into a fixed record.
//
// A composition of the decoder steps: no Python, no allocation, no state.
#pragma once

#include "decode/ip.hpp"
#include "decode/link.hpp"
#include "decode/reader.hpp"
#include "decode/transport.hpp"
#include "features/packet_features.hpp"

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

// The capture time as the records give it: libpcap's 32-bit file fields,
// widened by libpcap, are taken back as signed 32-bit.
inline double record_seconds(const pcap_pkthdr& header) noexcept {
    return static_cast<double>(static_cast<int32_t>(header.ts.tv_usec)) / 1000000.0 +
           static_cast<double>(static_cast<int32_t>(header.ts.tv_sec));
}

// Decodes one frame into `out`, writing only the fields of the decoded case.
// A frame whose Ethernet header or fixed IP header is cut by caplen is not
// decoded; transport fields cut by caplen read as 0.
inline void parse_packet(const pcap_pkthdr* header, const uint8_t* bytes, PacketRecord* out) noexcept {
    using namespace decode;
    PacketRecord& rec = *out;
    rec.success = 0;
    if (!bytes || !header) return;
    const Reader frame(bytes, header->caplen);
    const Link link = ethernet_untagged(frame);
    if (link.network == Network::cut) return;

    rec.success = 1;
    rec.ts_sec = static_cast<int32_t>(header->ts.tv_sec);
    rec.timestamp = record_seconds(*header);
    rec.frame_length = header->len;
    frame.copy(ether::kSrc, rec.src_mac, sizeof rec.src_mac);
    frame.copy(ether::kDst, rec.dst_mac, sizeof rec.dst_mac);
    rec.wrong_fragment = 0;
    rec.land = 0;
    rec.ip_proto = 0;
    rec.src_port = 0;
    rec.dst_port = 0;

    const Reader net = frame.from(link.offset);
    Ip ip;
    if (link.network == Network::ipv4 && ipv4(net, ip)) {
        rec.version = 4;
        std::memcpy(&rec.src_ip, ip.src, 4);
        std::memcpy(&rec.dst_ip, ip.dst, 4);
        rec.wrong_fragment = ip.fragment ? 1 : 0;
    } else if (link.network == Network::ipv6 && ipv6(net, ip)) {
        rec.version = 6;
        std::memcpy(rec.src_ip6, ip.src, 16);
        std::memcpy(rec.dst_ip6, ip.dst, 16);
    } else {
        rec.success = 0;
        return;
    }
    rec.ip_id = static_cast<int32_t>(ip.id);
    rec.ip_proto = ip.proto;

    Transport l4;
    transport(net.from(ip.transport), ip.proto, l4);
    if (is_icmp(ip.proto)) {
        rec.icmp_type = l4.icmp_type;
        rec.icmp_code = l4.icmp_code;
    } else if (ip.proto == proto::kTcp) {
        rec.src_port = l4.src_port;
        rec.dst_port = l4.dst_port;
        rec.tcp_flag = l4.tcp_flags;
        rec.tcp_seq = l4.tcp_seq;
        rec.tcp_ack = l4.tcp_ack;
        rec.urgent = (l4.tcp_flags & transport_field::kTcpUrgent) ? 1 : 0;
        const bool ports_read = l4.has(Transport::kSrcPort) && l4.has(Transport::kDstPort);
        rec.land = features::is_land(rec.version, ip.proto, ports_read, ip.src, ip.dst, rec.src_port, rec.dst_port);
    } else if (ip.proto == proto::kUdp) {
        rec.src_port = l4.src_port;
        rec.dst_port = l4.dst_port;
        rec.udp_length = l4.udp_length;
    }
}

}  // namespace kavrel
