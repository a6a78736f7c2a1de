// libFuzzer target for the decoder steps one by one (every link layer, the
// IPv4 and IPv6 headers, the IPv6 extension walk, the transport fields), then
// the whole frame through decode_frame into a row of both engine tables and
// into a connection (the event, its bucket, the assembler and its saved state).
// Input: one byte choosing the link type, then the frame. The frame is copied
// into a heap block of exactly its size, so AddressSanitizer catches any read
// past the captured bytes.
#include "connections/assembler.hpp"
#include "connections/packet_event.hpp"
#include "decode/ip.hpp"
#include "decode/link.hpp"
#include "decode/packet_view.hpp"
#include "decode/reader.hpp"
#include "decode/transport.hpp"
#include "engine/tables.hpp"

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

using namespace kavrel::decode;

constexpr int kLinkTypes[] = {
    linktype::kEthernet, linktype::kLinuxSll, linktype::kLinuxSll2, linktype::kRaw,  linktype::kRawDlt12,
    linktype::kRawDlt14, linktype::kIpv4,     linktype::kIpv6,      linktype::kNull, linktype::kLoop,
    147,  // a link type without a decoder
};

void check(bool ok) {
    if (!ok) std::abort();
}

// One row of the features table with every packet column after it.
void build_row(const kavrel::capture::Frame& frame, const PacketView& view) {
    using namespace kavrel::engine;
    std::vector<int> all;
    for (int c = 0; c < kPacketColumnCount; ++c) all.push_back(c);
    TableBuilder table(true, all);
    check(table.start(1) && table.add(frame, view, 1) && table.rows() == 1);
    ArrowArray batch;
    check(table.export_batch(&batch) && batch.length == 1);
    batch.release(&batch);
}

// The packet as a connection of its own: every count is the event's.
void build_connection(const kavrel::capture::Frame& frame, const PacketView& view) {
    using namespace kavrel::connections;
    PacketEvent event;
    check(make_event(frame, view, 7, event));
    check(event.payload <= event.ip_length);
    check((event.kind == KeyKind::later_fragment) == view.ip.later_fragment);
    check(event.kind != KeyKind::ports || (view.l4.has(Transport::kSrcPort) && view.l4.has(Transport::kDstPort)));
    check(event.kind != KeyKind::echo || view.l4.has(Transport::kIcmpId));
    // Both directions share a bucket.
    PacketEvent reply = event;
    std::memcpy(reply.src, event.dst, sizeof reply.src);
    std::memcpy(reply.dst, event.src, sizeof reply.dst);
    std::swap(reply.src_port, reply.dst_port);
    check(bucket_of(reply) == bucket_of(event));

    Assembler assembler;
    int rows = 0;
    const auto ended = [&](const Connection& c) {
        ++rows;
        // A lone SYN+ACK is turned round: its sender is the responder.
        const bool turned = c.history[0] == '^';
        check(c.uid == 7 && c.orig_pkts == !turned && c.resp_pkts == turned &&
              c.orig_ip_bytes + c.resp_ip_bytes == event.ip_length && c.src_bytes + c.dst_bytes == event.payload &&
              c.end_reason != EndReason::idle && c.history[kHistoryLen - 1] == 0);
    };
    assembler.advance(event.ts_ns, ended);
    check(assembler.add(event, ended) && assembler.open_connections() == 1 && assembler.oldest_open_uid() == 7);
    const std::string state = assembler.save();
    Assembler loaded;
    check(loaded.load(state.data(), state.size()) && loaded.save() == state);
    loaded.finish(ended);
    check(rows == 1 && loaded.open_connections() == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 0xFFFF) return 0;
    const int type = kLinkTypes[data[0] % (sizeof kLinkTypes / sizeof kLinkTypes[0])];
    const auto caplen = static_cast<uint32_t>(size - 1);
    std::unique_ptr<uint8_t[]> copy(new uint8_t[caplen ? caplen : 1]);
    std::memcpy(copy.get(), data + 1, caplen);
    const Reader frame(caplen ? copy.get() : nullptr, caplen);

    PacketView view;
    const Outcome outcome = decode_frame(type, frame, view);
    if (outcome == Outcome::ip) {
        kavrel::capture::Frame f;
        f.data = caplen ? copy.get() : nullptr;
        f.caplen = f.wire_len = caplen;
        build_row(f, view);
        build_connection(f, view);
    }

    const Link link = find_network(type, frame);
    check(link_supported(type) || link.network == Network::other);
    if (link.network == Network::cut) return 0;
    check(link.offset <= caplen);
    // A link address is read only where the link layer has one, and only when captured whole.
    const int src_at = type == linktype::kEthernet ? 6 : type == linktype::kLinuxSll ? 6
                       : type == linktype::kLinuxSll2 ? 12 : -1;
    check(!link.has_src_mac || (src_at >= 0 && frame.has(src_at, 6) && std::memcmp(link.src_mac, copy.get() + src_at, 6) == 0));
    check(!link.has_dst_mac || (type == linktype::kEthernet && std::memcmp(link.dst_mac, copy.get(), 6) == 0));
    const Link untagged = ethernet_untagged(frame);
    check(untagged.network == Network::cut || caplen >= ether::kHeaderLen);

    const Reader net = frame.from(link.offset);
    Ip ip;
    bool found = false;
    if (link.network == Network::ipv4) {
        found = ipv4(net, ip);
        check(!found || net.has(0, ipv4_field::kFixedLen));
    } else if (link.network == Network::ipv6) {
        found = ipv6(net, ip);
        check(!found || net.has(0, ipv6_field::kFixedLen));
        if (found) {
            const uint8_t fixed_next = ip.next_header;
            follow_ipv6_extensions(net, ip);
            check(ip.next_header == fixed_next && ip.transport >= ipv6_field::kFixedLen);
            check(!ip.later_fragment || ip.fragment);
            // A fragment is known only from a fragment header captured whole.
            check(!ip.fragment || ip.fragment_header);
            check(!ip.fragment_header || ip.transport >= ipv6_field::kFixedLen + ipv6_field::kFragmentLen);
        }
    }
    if (!found) return 0;
    check(ip.length == net.be16(ip.version == 4 ? ipv4_field::kTotalLength : ipv6_field::kPayloadLength));
    check(ip.fragment_header || ip.fragment_id == 0);
    check(ip.version == 6 || !ip.fragment_header);
    const Reader at = net.from(ip.transport);
    Transport l4;
    transport(at, ip.proto, l4);
    // A field the capture did not hold reads as 0.
    check(l4.has(Transport::kSrcPort) || l4.src_port == 0);
    check(l4.has(Transport::kTcpAck) || l4.tcp_ack == 0);
    check(l4.has(Transport::kIcmpCode) || l4.icmp_code == 0);
    check(l4.has(Transport::kTcpDataOffset) ? at.has(transport_field::kTcpDataOffset, 1) : l4.tcp_data_offset == 0);
    check(l4.has(Transport::kIcmpId) ? at.has(transport_field::kIcmpId, 2) : l4.icmp_id == 0);
    check(!l4.has(Transport::kTcpDataOffset) || ip.proto == proto::kTcp);
    check(!l4.has(Transport::kIcmpId) || is_icmp(ip.proto));
    return 0;
}
