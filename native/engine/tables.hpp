// The engine's two tables and how one decoded frame becomes a row of each:
// the packets table (every field, nulls where a field does not apply) and the
// features table (the per-packet features with the 2-second count).
#pragma once

#include "capture/frame.hpp"
#include "columnar/columns.hpp"
#include "columnar/text.hpp"
#include "decode/packet_view.hpp"
#include "features/packet_features.hpp"
#include "labels/alert_index.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace kavrel::engine {

using columnar::Field;
using columnar::Type;
using columnar::kDefaultBatchRows;

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

// Feature columns, in table order.
enum FeatureColumn : int {
    kFeatTimestamp, kFeatSrcPort, kFeatDstPort, kFeatProtocolType, kFeatSrcBytes, kFeatLand, kFeatWrongFragment,
    kFeatCount, kFeatureColumnCount
};

inline const Field kFeatureFields[kFeatureColumnCount] = {
    {"timestamp", Type::f64, false},      {"src_port", Type::u16, false},
    {"dst_port", Type::u16, false},
    {"protocol_type", Type::dictionary_utf8, false, features::kProtocolTypes, features::kProtocolTypeCount},
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

// Builds batches of one table: the feature columns (for the features table)
// followed by the chosen packet columns.
class TableBuilder {
public:
    // Columns built in `arena` (nullptr: the heap).
    TableBuilder(bool features, std::vector<int> packet_columns, std::shared_ptr<columnar::Arena> arena = {})
        : features_(features), packet_columns_(std::move(packet_columns)), columns_(std::move(arena)) {
        if (features_) {
            for (const Field& f : kFeatureFields) columns_.add(f);
        }
        for (int c : packet_columns_) columns_.add(kPacketFields[c]);
    }

    std::vector<Field> fields() const { return columns_.fields(); }
    bool features() const noexcept { return features_; }
    int64_t rows() const noexcept { return columns_.rows(); }
    bool start(std::size_t rows) noexcept { return columns_.start(rows); }

    // Appends one row; false when memory ran out.
    bool add(const capture::Frame& frame, const decode::PacketView& v, uint32_t count) noexcept {
        std::size_t i = 0;
        if (features_) {
            const features::PacketFeatures f = features::features_of(frame, v);
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
        return true;
    }

    bool export_batch(ArrowArray* out) noexcept { return columns_.export_batch(out); }

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
            const bool has = c == kSrcMac ? v.link.has_src_mac : v.link.has_dst_mac;
            if (!has) {
                col.push_null();
                return true;
            }
            char* out = col.text_space(columnar::kMacTextLen);
            if (!out) return false;
            col.commit_text(columnar::format_mac(c == kSrcMac ? v.link.src_mac : v.link.dst_mac, out));
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
    columnar::ColumnSet columns_;
};

// The label columns of a batch, built once its rows' alerts are known.
class LabelBuilder {
public:
    explicit LabelBuilder(const labels::AlertIndex& alerts, std::shared_ptr<columnar::Arena> arena = {})
        : alerts_(alerts), columns_(std::move(arena)) {
        for (const Field& f : kLabelFields) columns_.add(f);
    }
    static std::vector<Field> fields() { return std::vector<Field>(std::begin(kLabelFields), std::end(kLabelFields)); }

    bool start(std::size_t rows) noexcept { return columns_.start(rows); }

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

    bool export_batch(ArrowArray* out) noexcept { return columns_.export_batch(out); }

private:
    const labels::AlertIndex& alerts_;
    columnar::ColumnSet columns_;
};

}  // namespace kavrel::engine
