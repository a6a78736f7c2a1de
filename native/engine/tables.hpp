// The engine's two tables and how one decoded frame becomes a row of each:
// the packets table (every field, nulls where a field does not apply) and the
// features table (the per-packet features with the 2-second count).
#pragma once

#include "capture/frame.hpp"
#include "columnar/columns.hpp"
#include "columnar/text.hpp"
#include "decode/packet_view.hpp"
#include "labels/alert_index.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace kavrel::engine {

using columnar::Field;
using columnar::Type;

// Packet columns, in table order.
enum PacketColumn : int {
    kTimestamp, kFrameLength, kCapturedLength, kSrcMac, kDstMac, kVlan, kInnerVlan, kIpVersion, kSrcIp, kDstIp,
    kTtl, kIpId, kIpProto, kFragment, kSrcPort, kDstPort, kTcpFlags, kTcpSeq, kTcpAck, kUdpLength, kIcmpType,
    kIcmpCode, kPacketColumnCount
};

inline const Field kPacketFields[kPacketColumnCount] = {
    {"timestamp", Type::timestamp_ns_utc, false}, {"frame_length", Type::u32, false},
    {"captured_length", Type::u32, false},        {"src_mac", Type::utf8, true},
    {"dst_mac", Type::utf8, true},                {"vlan", Type::u16, true},
    {"inner_vlan", Type::u16, true},              {"ip_version", Type::u8, false},
    {"src_ip", Type::utf8, false},                {"dst_ip", Type::utf8, false},
    {"ttl", Type::u8, false},                     {"ip_id", Type::u32, false},
    {"ip_proto", Type::u8, false},                {"fragment", Type::boolean, false},
    {"src_port", Type::u16, true},                {"dst_port", Type::u16, true},
    {"tcp_flags", Type::u8, true},                {"tcp_seq", Type::u32, true},
    {"tcp_ack", Type::u32, true},                 {"udp_length", Type::u16, true},
    {"icmp_type", Type::u8, true},                {"icmp_code", Type::u8, true},
};

inline const char* const kProtocolTypes[] = {"TCP", "UDP", "ICMP"};

// Feature columns, in table order.
enum FeatureColumn : int {
    kFeatTimestamp, kFeatSrcPort, kFeatDstPort, kFeatProtocolType, kFeatSrcBytes, kFeatLand, kFeatWrongFragment,
    kFeatCount, kFeatureColumnCount
};

inline const Field kFeatureFields[kFeatureColumnCount] = {
    {"timestamp", Type::f64, false},      {"src_port", Type::u16, false},
    {"dst_port", Type::u16, false},       {"protocol_type", Type::dictionary_utf8, false, kProtocolTypes, 3},
    {"src_bytes", Type::u32, false},      {"land", Type::u8, false},
    {"wrong_fragment", Type::u8, false},  {"count", Type::u32, false},
};

// Label columns, after the others when alerts label the table.
enum LabelColumn : int { kAlertCount, kAlertSid, kAlertMsg, kAlertPriority, kLabelColumnCount };

inline const Field kLabelFields[kLabelColumnCount] = {
    {"alert_count", Type::u16, false},
    {"alert_sid", Type::utf8, true},
    {"alert_msg", Type::utf8, true},
    {"alert_priority", Type::u8, true},
};

// The feature values of one packet that do not depend on the count.
struct Features {
    double timestamp;
    uint16_t src_port;
    uint16_t dst_port;
    int8_t protocol_type;  // index into kProtocolTypes
    uint32_t src_bytes;
    uint8_t land;
    uint8_t wrong_fragment;
};

// The features of a decoded packet, defined as the per-packet feature
// dictionaries define them. The transport header of an IPv4 packet is taken
// where its IHL puts it, fragment or not; an IPv6 packet's lies after its
// extension headers, and a later IPv6 fragment has no ports.
inline Features features_of(const capture::Frame& frame, const decode::PacketView& v) noexcept {
    using namespace decode;
    Features f{};
    f.timestamp = frame.seconds();
    f.src_bytes = frame.wire_len;
    const uint8_t p = v.ip.proto;
    f.protocol_type = p == proto::kTcp ? 0 : p == proto::kUdp ? 1 : 2;
    const bool ports_apply = (p == proto::kTcp || p == proto::kUdp) && (v.ip.version == 4 || v.transport_here());
    if (ports_apply) {
        f.src_port = v.l4.src_port;
        f.dst_port = v.l4.dst_port;
    }
    f.wrong_fragment = v.ip.fragment ? 1 : 0;
    if (v.ip.version == 4 && p == proto::kTcp && v.l4.has(Transport::kSrcPort) && v.l4.has(Transport::kDstPort) &&
        std::memcmp(v.ip.src, v.ip.dst, 4) == 0 && f.src_port == f.dst_port) {
        f.land = 1;
    }
    return f;
}

// Builds batches of one table: the feature columns (for the features table)
// followed by the chosen packet columns.
class TableBuilder {
public:
    TableBuilder(bool features, std::vector<int> packet_columns)
        : features_(features), packet_columns_(std::move(packet_columns)) {
        if (features_) {
            for (const Field& f : kFeatureFields) columns_.emplace_back(f);
        }
        for (int c : packet_columns_) columns_.emplace_back(kPacketFields[c]);
    }

    std::vector<Field> fields() const {
        std::vector<Field> out;
        for (const auto& c : columns_) out.push_back(c.field());
        return out;
    }
    bool features() const noexcept { return features_; }
    int64_t rows() const noexcept { return columns_.empty() ? rows_ : columns_[0].length(); }

    bool start(std::size_t rows) noexcept {
        rows_ = 0;
        for (auto& c : columns_) {
            if (!c.start(rows)) return false;
        }
        return true;
    }

    // Appends one row; false when memory ran out.
    bool add(const capture::Frame& frame, const decode::PacketView& v, uint32_t count) noexcept {
        std::size_t i = 0;
        if (features_) {
            const Features f = features_of(frame, v);
            columns_[kFeatTimestamp].push<double>(f.timestamp);
            columns_[kFeatSrcPort].push<uint16_t>(f.src_port);
            columns_[kFeatDstPort].push<uint16_t>(f.dst_port);
            columns_[kFeatProtocolType].push<int8_t>(f.protocol_type);
            columns_[kFeatSrcBytes].push<uint32_t>(f.src_bytes);
            columns_[kFeatLand].push<uint8_t>(f.land);
            columns_[kFeatWrongFragment].push<uint8_t>(f.wrong_fragment);
            columns_[kFeatCount].push<uint32_t>(count);
            i = kFeatureColumnCount;
        }
        for (const int c : packet_columns_) {
            if (!add_packet_value(columns_[i++], c, frame, v)) return false;
        }
        ++rows_;
        return true;
    }

    bool export_batch(ArrowArray* out) noexcept { return columnar::export_batch(columns_, out); }

private:
    static bool add_packet_value(columnar::Column& col, int c, const capture::Frame& frame,
                                 const decode::PacketView& v) noexcept {
        using namespace decode;
        const Transport& t = v.l4;
        const bool here = v.transport_here();
        const uint8_t p = v.ip.proto;
        const bool tcp = here && p == proto::kTcp;
        const bool udp = here && p == proto::kUdp;
        const bool icmp = here && is_icmp(p);
        auto opt16 = [&](bool apply, Transport::Field f, uint16_t value) {
            if (apply && t.has(f)) col.push<uint16_t>(value);
            else col.push_null();
        };
        auto opt8 = [&](bool apply, Transport::Field f, uint8_t value) {
            if (apply && t.has(f)) col.push<uint8_t>(value);
            else col.push_null();
        };
        switch (c) {
        case kTimestamp: col.push<int64_t>(frame.time_ns()); return true;
        case kFrameLength: col.push<uint32_t>(frame.wire_len); return true;
        case kCapturedLength: col.push<uint32_t>(frame.caplen); return true;
        case kSrcMac:
        case kDstMac: {
            const int16_t at = c == kSrcMac ? v.link.src_mac : v.link.dst_mac;
            if (at < 0) {
                col.push_null();
                return true;
            }
            char* out = col.text_space(columnar::kMacTextLen);
            if (!out) return false;
            col.commit_text(columnar::format_mac(frame.data + at, out));
            return true;
        }
        case kVlan:
        case kInnerVlan: {
            const unsigned depth = c == kVlan ? 1 : 2;
            if (v.link.vlan_tags >= depth) col.push<uint16_t>(v.link.vlan[depth - 1]);
            else col.push_null();
            return true;
        }
        case kIpVersion: col.push<uint8_t>(v.ip.version); return true;
        case kSrcIp:
        case kDstIp: {
            const uint8_t* addr = c == kSrcIp ? v.ip.src : v.ip.dst;
            char* out = col.text_space(columnar::kMaxIpv6TextLen);
            if (!out) return false;
            col.commit_text(v.ip.version == 4 ? columnar::format_ipv4(addr, out) : columnar::format_ipv6(addr, out));
            return true;
        }
        case kTtl: col.push<uint8_t>(v.ip.ttl); return true;
        case kIpId: col.push<uint32_t>(v.ip.id); return true;
        case kIpProto: col.push<uint8_t>(p); return true;
        case kFragment: col.push_bool(v.ip.fragment); return true;
        case kSrcPort: opt16(tcp || udp, Transport::kSrcPort, t.src_port); return true;
        case kDstPort: opt16(tcp || udp, Transport::kDstPort, t.dst_port); return true;
        case kTcpFlags: opt8(tcp, Transport::kTcpFlags, t.tcp_flags); return true;
        case kTcpSeq:
        case kTcpAck: {
            const Transport::Field f = c == kTcpSeq ? Transport::kTcpSeq : Transport::kTcpAck;
            if (tcp && t.has(f)) col.push<uint32_t>(c == kTcpSeq ? t.tcp_seq : t.tcp_ack);
            else col.push_null();
            return true;
        }
        case kUdpLength: opt16(udp, Transport::kUdpLength, t.udp_length); return true;
        case kIcmpType: opt8(icmp, Transport::kIcmpType, t.icmp_type); return true;
        case kIcmpCode: opt8(icmp, Transport::kIcmpCode, t.icmp_code); return true;
        default: col.push_null(); return true;
        }
    }

    bool features_;
    std::vector<int> packet_columns_;
    std::vector<columnar::Column> columns_;
    int64_t rows_ = 0;
};

// The column a shard adds for mending its counts (see shards.hpp): a row's
// destination id in the shard while the row is in that destination's first
// chain there, else kNotFirstChain.
inline const Field kShardFields[] = {
    {"__mend", Type::u32, false},
};

// The label columns of a batch, built once its rows' alerts are known.
class LabelBuilder {
public:
    explicit LabelBuilder(const labels::AlertIndex& alerts) : alerts_(alerts) {
        for (const Field& f : kLabelFields) columns_.emplace_back(f);
    }
    static std::vector<Field> fields() { return std::vector<Field>(std::begin(kLabelFields), std::end(kLabelFields)); }

    bool start(std::size_t rows) noexcept {
        for (auto& c : columns_) {
            if (!c.start(rows)) return false;
        }
        return true;
    }

    bool add(const labels::Label& label) noexcept {
        columns_[kAlertCount].push<uint16_t>(static_cast<uint16_t>(std::min<uint32_t>(label.count, UINT16_MAX)));
        const labels::Alert* a = label.shown;
        if (!a) {
            for (int k = kAlertSid; k < kLabelColumnCount; ++k) columns_[k].push_null();
            return true;
        }
        char* sid = columns_[kAlertSid].text_space(32);
        if (!sid) return false;
        columns_[kAlertSid].commit_text(
            static_cast<std::size_t>(std::snprintf(sid, 32, "%u:%u:%u", a->gid, a->sid, a->rev)));
        const std::string_view msg = alerts_.msg(*a);
        if (!columns_[kAlertMsg].push_text(msg.data(), msg.size())) return false;
        if (a->priority <= UINT8_MAX) columns_[kAlertPriority].push<uint8_t>(static_cast<uint8_t>(a->priority));
        else columns_[kAlertPriority].push_null();
        return true;
    }

    bool export_batch(ArrowArray* out) noexcept { return columnar::export_batch(columns_, out); }

private:
    const labels::AlertIndex& alerts_;
    std::vector<columnar::Column> columns_;
};

}  // namespace kavrel::engine
