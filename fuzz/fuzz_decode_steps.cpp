// libFuzzer target for the decoder steps one by one (every link layer, the
// IPv4 and IPv6 headers, the IPv6 extension walk, the transport fields), then
// the whole frame through decode_frame into a row of both engine tables.
// Input: one byte choosing the link type, then the frame. The frame is copied
// into a heap block of exactly its size, so AddressSanitizer catches any read
// past the captured bytes.
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
        }
    }
    if (!found) return 0;
    Transport l4;
    transport(net.from(ip.transport), ip.proto, l4);
    // A field the capture did not hold reads as 0.
    check(l4.has(Transport::kSrcPort) || l4.src_port == 0);
    check(l4.has(Transport::kTcpAck) || l4.tcp_ack == 0);
    check(l4.has(Transport::kIcmpCode) || l4.icmp_code == 0);
    return 0;
}
