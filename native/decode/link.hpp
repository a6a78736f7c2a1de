// Link-layer steps: from the first byte of a frame to where its network header
// starts, and what the link layer says about it (addresses, VLAN tags).
#pragma once

#include "decode/reader.hpp"

#include <cstdint>

namespace kavrel::decode {

// Link types as libpcap reports them (pcap_datalink) and as files store them.
namespace linktype {
inline constexpr int kNull = 0;         // BSD loopback: 4-byte address family, host byte order
inline constexpr int kEthernet = 1;
inline constexpr int kRawDlt12 = 12;    // DLT_RAW on most systems
inline constexpr int kRawDlt14 = 14;    // DLT_RAW on OpenBSD
inline constexpr int kRaw = 101;        // LINKTYPE_RAW
inline constexpr int kLoop = 108;       // OpenBSD loopback: address family in network byte order
inline constexpr int kLinuxSll = 113;
inline constexpr int kIpv4 = 228;
inline constexpr int kIpv6 = 229;
inline constexpr int kLinuxSll2 = 276;
}  // namespace linktype

namespace ethertype {
inline constexpr uint16_t kIpv4 = 0x0800;
inline constexpr uint16_t kIpv6 = 0x86DD;
inline constexpr uint16_t kVlan = 0x8100;     // 802.1Q
inline constexpr uint16_t kQinQ = 0x88A8;     // 802.1ad
inline constexpr uint16_t kQinQOld = 0x9100;  // pre-standard stacked tag
}  // namespace ethertype

enum class Network : uint8_t {
    ipv4,
    ipv6,
    other,  // the frame carries something else (ARP, LLDP, ...)
    cut,    // the link layer itself was not wholly captured
};

struct Link {
    Network network = Network::cut;
    uint32_t offset = 0;       // first byte of the network header
    bool has_src_mac = false;  // the link layer names 6-byte addresses (as read below)
    bool has_dst_mac = false;
    uint8_t src_mac[6] = {};
    uint8_t dst_mac[6] = {};
    uint8_t vlan_tags = 0;     // tags stacked in front of the network header
    uint16_t vlan[2] = {0, 0};  // VIDs of the outermost two

    // Reads the 6-byte addresses at `src` and `dst` (negative: the link layer has none there).
    void read_macs(Reader frame, int src, int dst) noexcept {
        has_src_mac = src >= 0 && frame.copy(static_cast<uint32_t>(src), src_mac, 6);
        has_dst_mac = dst >= 0 && frame.copy(static_cast<uint32_t>(dst), dst_mac, 6);
    }
};

namespace ether {
inline constexpr uint32_t kDst = 0;
inline constexpr uint32_t kSrc = 6;
inline constexpr uint32_t kType = 12;
inline constexpr uint32_t kHeaderLen = 14;
inline constexpr uint32_t kTagLen = 4;       // TCI, then the next EtherType
inline constexpr uint16_t kVidMask = 0x0FFF;
}  // namespace ether

inline Network network_of(uint16_t type) noexcept {
    return type == ethertype::kIpv4 ? Network::ipv4 : type == ethertype::kIpv6 ? Network::ipv6 : Network::other;
}

inline bool is_vlan_tag(uint16_t type) noexcept {
    return type == ethertype::kVlan || type == ethertype::kQinQ || type == ethertype::kQinQOld;
}

// Ethernet II read as a fixed 14-byte header whatever its EtherType: tagged
// frames come out as `other`.
inline Link ethernet_untagged(Reader frame) noexcept {
    Link link;
    if (!frame.has(0, ether::kHeaderLen)) return link;
    link.network = network_of(frame.be16(ether::kType));
    link.offset = ether::kHeaderLen;
    link.read_macs(frame, ether::kSrc, ether::kDst);
    return link;
}

// Follows any stack of VLAN tags. `type` was read just before `pos`, where the
// first tag's TCI would be (each tag: TCI, then the next EtherType).
inline void follow_tags(Reader frame, uint16_t type, uint32_t pos, Link& link) noexcept {
    while (is_vlan_tag(type)) {
        if (!frame.has(pos, ether::kTagLen)) {
            link.network = Network::cut;
            return;
        }
        if (link.vlan_tags < 2) link.vlan[link.vlan_tags] = frame.be16(pos) & ether::kVidMask;
        if (link.vlan_tags < UINT8_MAX) ++link.vlan_tags;
        type = frame.be16(pos + 2);
        pos += ether::kTagLen;
    }
    link.network = network_of(type);
    link.offset = pos;
}

inline Link ethernet(Reader frame) noexcept {
    Link link;
    if (!frame.has(0, ether::kHeaderLen)) return link;
    link.read_macs(frame, ether::kSrc, ether::kDst);
    follow_tags(frame, frame.be16(ether::kType), ether::kHeaderLen, link);
    return link;
}

// Linux cooked captures (`-i any`): a fixed header holding the protocol (an
// EtherType) and the sender's link address; a VLAN tag libpcap put back
// follows the header.
struct CookedLayout {
    uint32_t protocol;   // offset of the 16-bit protocol
    uint32_t addr_len;   // offset of the address length
    bool wide_addr_len;  // 16-bit (v1) or 8-bit (v2) address length
    uint32_t addr;       // offset of the 8 address bytes
    uint32_t header_len;
};
// v1: packet type, ARPHRD type, address length, address, protocol.
inline constexpr CookedLayout kSll{14, 4, true, 6, 16};
// v2: protocol, reserved, interface index, ARPHRD type, packet type, address length, address.
inline constexpr CookedLayout kSll2{0, 11, false, 12, 20};

inline Link linux_cooked(Reader frame, const CookedLayout& layout) noexcept {
    Link link;
    if (!frame.has(0, layout.header_len)) return link;
    const unsigned addr_len = layout.wide_addr_len ? frame.be16(layout.addr_len) : frame.u8(layout.addr_len);
    link.read_macs(frame, addr_len == 6 ? static_cast<int>(layout.addr) : -1, -1);
    follow_tags(frame, frame.be16(layout.protocol), layout.header_len, link);
    return link;
}

// No link header: the IP version nibble says which network layer follows.
inline Link raw_ip(Reader frame) noexcept {
    Link link;
    if (!frame.has(0, 1)) return link;
    const uint8_t version = frame.u8(0) >> 4;
    link.network = version == 4 ? Network::ipv4 : version == 6 ? Network::ipv6 : Network::other;
    return link;
}

// A link type that carries one IP version only: a frame whose version nibble
// says otherwise is not that protocol.
inline Link fixed_network(Reader frame, Network network) noexcept {
    Link link = raw_ip(frame);
    if (link.network != Network::cut && link.network != network) link.network = Network::other;
    return link;
}

// BSD null and loopback: a 4-byte address family, written in the byte order of
// whichever host made the capture (DLT_NULL) or in network order (DLT_LOOP).
inline Link bsd_loopback(Reader frame) noexcept {
    constexpr uint32_t kHeaderLen = 4;
    Link link;
    if (!frame.has(0, kHeaderLen)) return link;
    const uint32_t families[] = {frame.le32(0), frame.be32(0)};
    link.network = Network::other;
    for (const uint32_t family : families) {
        if (family == 2) link.network = Network::ipv4;
        // AF_INET6 on Linux, NetBSD/OpenBSD, FreeBSD, macOS
        if (family == 10 || family == 24 || family == 28 || family == 30) link.network = Network::ipv6;
    }
    link.offset = kHeaderLen;
    return link;
}

inline bool link_supported(int type) noexcept {
    switch (type) {
    case linktype::kNull: case linktype::kEthernet: case linktype::kRawDlt12: case linktype::kRawDlt14:
    case linktype::kRaw: case linktype::kLoop: case linktype::kLinuxSll: case linktype::kIpv4:
    case linktype::kIpv6: case linktype::kLinuxSll2:
        return true;
    default:
        return false;
    }
}

// Where the network header of a frame of link type `type` starts; `other` for
// a link type link_supported() refuses.
inline Link find_network(int type, Reader frame) noexcept {
    switch (type) {
    case linktype::kEthernet: return ethernet(frame);
    case linktype::kLinuxSll: return linux_cooked(frame, kSll);
    case linktype::kLinuxSll2: return linux_cooked(frame, kSll2);
    case linktype::kRaw: case linktype::kRawDlt12: case linktype::kRawDlt14: return raw_ip(frame);
    case linktype::kIpv4: return fixed_network(frame, Network::ipv4);
    case linktype::kIpv6: return fixed_network(frame, Network::ipv6);
    case linktype::kNull: case linktype::kLoop: return bsd_loopback(frame);
    default: {
        Link link;
        link.network = Network::other;
        return link;
    }
    }
}

}  // namespace kavrel::decode
