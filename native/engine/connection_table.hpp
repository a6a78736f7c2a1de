// The connection table: one row per connection, the KDD'99 traffic columns
// after the connection's own, and how a finished connection becomes a row.
#pragma once

#include "columnar/columns.hpp"
#include "columnar/text.hpp"
#include "connections/assembler.hpp"
#include "connections/traffic.hpp"
#include "engine/tables.hpp"

#include <cstdint>
#include <cstring>
#include <vector>

namespace kavrel::engine {

// Connection columns, in table order: the connection's own, then the traffic features.
enum ConnectionColumn : int {
    kConnUid, kConnTs, kConnLastTs, kConnDuration, kConnIpVersion, kConnProtocolType, kConnIpProto, kConnOrigIp,
    kConnRespIp, kConnOrigPort, kConnRespPort, kConnVlan, kConnService, kConnState, kConnHistory, kConnEndReason,
    kConnOrigPkts, kConnRespPkts, kConnOrigIpBytes, kConnRespIpBytes, kConnSrcBytes, kConnDstBytes, kConnLand,
    kConnWrongFragment, kConnUrgent,
    kTrafficCount, kTrafficSrvCount, kTrafficSerrorRate, kTrafficSrvSerrorRate, kTrafficRerrorRate,
    kTrafficSrvRerrorRate, kTrafficSameSrvRate, kTrafficDiffSrvRate, kTrafficSrvDiffHostRate, kTrafficDstHostCount,
    kTrafficDstHostSrvCount, kTrafficDstHostSameSrvRate, kTrafficDstHostDiffSrvRate, kTrafficDstHostSameSrcPortRate,
    kTrafficDstHostSrvDiffHostRate, kTrafficDstHostSerrorRate, kTrafficDstHostSrvSerrorRate,
    kTrafficDstHostRerrorRate, kTrafficDstHostSrvRerrorRate,
    kConnectionColumnCount
};
inline constexpr int kFirstTrafficColumn = kTrafficCount;

inline const Field kConnectionFields[kConnectionColumnCount] = {
    {"uid", Type::u64, false},             {"ts", Type::timestamp_ns_utc, false},
    {"last_ts", Type::timestamp_ns_utc, false}, {"duration", Type::f64, false},
    {"ip_version", Type::u8, false},       {"protocol_type", Type::utf8, false},
    {"ip_proto", Type::u8, false},         {"orig_ip", Type::utf8, false},
    {"resp_ip", Type::utf8, false},        {"orig_port", Type::u16, true},
    {"resp_port", Type::u16, true},        {"vlan", Type::u16, true},
    {"service", Type::utf8, false},        {"conn_state", Type::utf8, false},
    {"history", Type::utf8, false},        {"end_reason", Type::utf8, false},
    {"orig_pkts", Type::u64, false},       {"resp_pkts", Type::u64, false},
    {"orig_ip_bytes", Type::u64, false},   {"resp_ip_bytes", Type::u64, false},
    {"src_bytes", Type::u64, false},       {"dst_bytes", Type::u64, false},
    {"land", Type::u8, false},             {"wrong_fragment", Type::u32, false},
    {"urgent", Type::u32, false},
    {"count", Type::u32, false},           {"srv_count", Type::u32, false},
    {"serror_rate", Type::f64, false},     {"srv_serror_rate", Type::f64, false},
    {"rerror_rate", Type::f64, false},     {"srv_rerror_rate", Type::f64, false},
    {"same_srv_rate", Type::f64, false},   {"diff_srv_rate", Type::f64, false},
    {"srv_diff_host_rate", Type::f64, false}, {"dst_host_count", Type::u32, false},
    {"dst_host_srv_count", Type::u32, false}, {"dst_host_same_srv_rate", Type::f64, false},
    {"dst_host_diff_srv_rate", Type::f64, false}, {"dst_host_same_src_port_rate", Type::f64, false},
    {"dst_host_srv_diff_host_rate", Type::f64, false}, {"dst_host_serror_rate", Type::f64, false},
    {"dst_host_srv_serror_rate", Type::f64, false}, {"dst_host_rerror_rate", Type::f64, false},
    {"dst_host_srv_rerror_rate", Type::f64, false},
};

// KDD'99's 28 features that are not about content, in KDD's order, as the
// table names them (its `flag` is conn_state).
inline constexpr int kKddColumns[] = {
    kConnDuration, kConnProtocolType, kConnService, kConnState, kConnSrcBytes, kConnDstBytes, kConnLand,
    kConnWrongFragment, kConnUrgent, kTrafficCount, kTrafficSrvCount, kTrafficSerrorRate, kTrafficSrvSerrorRate,
    kTrafficRerrorRate, kTrafficSrvRerrorRate, kTrafficSameSrvRate, kTrafficDiffSrvRate, kTrafficSrvDiffHostRate,
    kTrafficDstHostCount, kTrafficDstHostSrvCount, kTrafficDstHostSameSrvRate, kTrafficDstHostDiffSrvRate,
    kTrafficDstHostSameSrcPortRate, kTrafficDstHostSrvDiffHostRate, kTrafficDstHostSerrorRate,
    kTrafficDstHostSrvSerrorRate, kTrafficDstHostRerrorRate, kTrafficDstHostSrvRerrorRate,
};

inline bool is_traffic_column(int c) noexcept { return c >= kFirstTrafficColumn && c < kConnectionColumnCount; }

// What the traffic windows take of a finished connection.
inline connections::TrafficInput traffic_input(const connections::Connection& c) noexcept {
    connections::TrafficInput in;
    in.uid = c.uid;
    in.ts_ns = c.ts_ns;
    in.resp_version = c.ip_version;
    std::memcpy(in.resp_addr, c.resp_ip, sizeof in.resp_addr);
    in.service = c.service;
    // The orig_port column as it reads (an ICMP connection's holds its first type), null equal to null.
    in.has_orig_port = c.has_ports;
    in.orig_port = c.has_ports ? c.orig_port : 0;
    in.error = connections::error_class(connections::kConnStateNames[static_cast<int>(c.conn_state)]);
    return in;
}

// Batches of the chosen connection columns, in the order asked for.
class ConnectionTableBuilder {
public:
    explicit ConnectionTableBuilder(std::vector<int> columns, std::shared_ptr<columnar::Arena> arena = {})
        : chosen_(std::move(columns)), columns_(std::move(arena)) {
        for (int c : chosen_) {
            columns_.add(kConnectionFields[c]);
            traffic_ = traffic_ || is_traffic_column(c);
        }
    }

    std::vector<Field> fields() const { return columns_.fields(); }
    // Whether a traffic column was asked for: only then do the windows run.
    bool traffic() const noexcept { return traffic_; }
    int64_t rows() const noexcept { return columns_.rows(); }
    bool start(std::size_t rows) noexcept { return columns_.start(rows); }
    bool export_batch(ArrowArray* out) noexcept { return columns_.export_batch(out); }

    // Appends one row (`t`: its traffic features, when traffic()); false when memory ran out.
    bool add(const connections::Connection& c, const connections::TrafficFeatures* t) noexcept {
        for (std::size_t i = 0; i < chosen_.size(); ++i) {
            if (!add_value(columns_[i], chosen_[i], c, t)) return false;
        }
        return true;
    }

private:
    static bool text(columnar::Column& col, const char* s) noexcept { return col.push_text(s, std::strlen(s)); }
    static bool address(columnar::Column& col, uint8_t version, const uint8_t* addr) noexcept {
        char* out = col.text_space(columnar::kMaxIpv6TextLen);
        if (!out) return false;
        col.commit_text(version == 4 ? columnar::format_ipv4(addr, out) : columnar::format_ipv6(addr, out));
        return true;
    }

    static bool add_value(columnar::Column& col, int column, const connections::Connection& c,
                          const connections::TrafficFeatures* t) noexcept {
        using namespace connections;
        switch (column) {
        case kConnUid: col.push<uint64_t>(c.uid); return true;
        case kConnTs: col.push<int64_t>(c.ts_ns); return true;
        case kConnLastTs: col.push<int64_t>(c.last_ts_ns); return true;
        case kConnDuration: col.push<double>(c.duration()); return true;
        case kConnIpVersion: col.push<uint8_t>(c.ip_version); return true;
        case kConnProtocolType: return text(col, kProtocolTypeNames[static_cast<int>(c.protocol_type)]);
        case kConnIpProto: col.push<uint8_t>(c.ip_proto); return true;
        case kConnOrigIp: return address(col, c.ip_version, c.orig_ip);
        case kConnRespIp: return address(col, c.ip_version, c.resp_ip);
        case kConnOrigPort:
        case kConnRespPort:
            if (c.has_ports) col.push<uint16_t>(column == kConnOrigPort ? c.orig_port : c.resp_port);
            else col.push_null();
            return true;
        case kConnVlan:
            if (c.has_vlan) col.push<uint16_t>(c.vlan);
            else col.push_null();
            return true;
        case kConnService: return text(col, kServiceNames[c.service]);
        case kConnState: return text(col, kConnStateNames[static_cast<int>(c.conn_state)]);
        case kConnHistory: return text(col, c.history);
        case kConnEndReason: return text(col, kEndReasonNames[static_cast<int>(c.end_reason)]);
        case kConnOrigPkts: col.push<uint64_t>(c.orig_pkts); return true;
        case kConnRespPkts: col.push<uint64_t>(c.resp_pkts); return true;
        case kConnOrigIpBytes: col.push<uint64_t>(c.orig_ip_bytes); return true;
        case kConnRespIpBytes: col.push<uint64_t>(c.resp_ip_bytes); return true;
        case kConnSrcBytes: col.push<uint64_t>(c.src_bytes); return true;
        case kConnDstBytes: col.push<uint64_t>(c.dst_bytes); return true;
        case kConnLand: col.push<uint8_t>(c.land); return true;
        case kConnWrongFragment: col.push<uint32_t>(c.wrong_fragment); return true;
        case kConnUrgent: col.push<uint32_t>(c.urgent); return true;
        default: break;
        }
        const TrafficFeatures f = t ? *t : TrafficFeatures{};
        switch (column) {
        case kTrafficCount: col.push<uint32_t>(f.count); return true;
        case kTrafficSrvCount: col.push<uint32_t>(f.srv_count); return true;
        case kTrafficSerrorRate: col.push<double>(f.serror_rate); return true;
        case kTrafficSrvSerrorRate: col.push<double>(f.srv_serror_rate); return true;
        case kTrafficRerrorRate: col.push<double>(f.rerror_rate); return true;
        case kTrafficSrvRerrorRate: col.push<double>(f.srv_rerror_rate); return true;
        case kTrafficSameSrvRate: col.push<double>(f.same_srv_rate); return true;
        case kTrafficDiffSrvRate: col.push<double>(f.diff_srv_rate); return true;
        case kTrafficSrvDiffHostRate: col.push<double>(f.srv_diff_host_rate); return true;
        case kTrafficDstHostCount: col.push<uint32_t>(f.dst_host_count); return true;
        case kTrafficDstHostSrvCount: col.push<uint32_t>(f.dst_host_srv_count); return true;
        case kTrafficDstHostSameSrvRate: col.push<double>(f.dst_host_same_srv_rate); return true;
        case kTrafficDstHostDiffSrvRate: col.push<double>(f.dst_host_diff_srv_rate); return true;
        case kTrafficDstHostSameSrcPortRate: col.push<double>(f.dst_host_same_src_port_rate); return true;
        case kTrafficDstHostSrvDiffHostRate: col.push<double>(f.dst_host_srv_diff_host_rate); return true;
        case kTrafficDstHostSerrorRate: col.push<double>(f.dst_host_serror_rate); return true;
        case kTrafficDstHostSrvSerrorRate: col.push<double>(f.dst_host_srv_serror_rate); return true;
        case kTrafficDstHostRerrorRate: col.push<double>(f.dst_host_rerror_rate); return true;
        case kTrafficDstHostSrvRerrorRate: col.push<double>(f.dst_host_srv_rerror_rate); return true;
        default: col.push_null(); return true;
        }
    }

    std::vector<int> chosen_;
    columnar::ColumnSet columns_;
    bool traffic_ = false;
};

}  // namespace kavrel::engine
