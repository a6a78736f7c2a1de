// Alerts as labels: an index from the microsecond an alert was raised to the
// alerts of that microsecond, and the test that an alert names a packet.
#pragma once

#include "decode/packet_view.hpp"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kavrel::labels {

struct Alert {
    int64_t time_us;
    int16_t protocol;  // IP protocol number
    uint8_t version;   // 4 or 6: the family of both addresses
    uint8_t src[16];
    uint8_t dst[16];
    int32_t src_port;  // -1: the alert has none (for ICMP: the type)
    int32_t dst_port;  // (for ICMP: the code)
    int32_t priority;  // lower is more severe; 256 when the alert has none
    uint32_t order;    // position in the log
    std::string sid;   // gid:sid:rev
    std::string msg;
};

// What labels one packet.
struct Label {
    uint32_t count = 0;             // alerts that name the packet
    const Alert* shown = nullptr;  // the most severe of them, the first in the log among equals
};

inline bool parse_address(std::string_view text, uint8_t version, uint8_t* out) {
    char buf[64];
    if (text.size() >= sizeof buf) return false;
    std::memcpy(buf, text.data(), text.size());
    buf[text.size()] = '\0';
    return inet_pton(version == 4 ? AF_INET : AF_INET6, buf, out) == 1;
}

class AlertIndex {
public:
    void add(Alert alert) { alerts_.push_back(std::move(alert)); }
    // An alert that can label nothing (no time, protocol or addresses): counted only.
    void add_unusable() noexcept { ++unusable_; }
    // Every alert given, usable or not.
    std::size_t total() const noexcept { return alerts_.size() + unusable_; }

    // Call once every alert is in.
    void build() {
        std::stable_sort(alerts_.begin(), alerts_.end(),
                         [](const Alert& a, const Alert& b) { return a.time_us < b.time_us; });
        by_time_.reserve(alerts_.size());
        for (uint32_t i = 0; i < alerts_.size(); ++i) {
            auto [it, added] = by_time_.try_emplace(alerts_[i].time_us, Range{i, i + 1});
            if (!added) it->second.end = i + 1;
        }
    }

    std::size_t size() const noexcept { return alerts_.size(); }
    const Alert& at(std::size_t i) const noexcept { return alerts_[i]; }

    // The alerts that name the packet seen at `time_ns`; `matched[i]` is set
    // for each alert i that does.
    Label label(int64_t time_ns, const decode::PacketView& v, std::vector<uint8_t>& matched) const {
        Label out;
        if (by_time_.empty()) return out;
        const int64_t us = time_ns >= 0 ? time_ns / 1000 : -((-time_ns + 999) / 1000);
        const auto it = by_time_.find(us);
        if (it == by_time_.end()) return out;
        for (uint32_t i = it->second.begin; i < it->second.end; ++i) {
            const Alert& a = alerts_[i];
            if (!names(a, v)) continue;
            matched[i] = 1;
            ++out.count;
            if (!out.shown || a.priority < out.shown->priority ||
                (a.priority == out.shown->priority && a.order < out.shown->order)) {
                out.shown = &a;
            }
        }
        return out;
    }

private:
    struct Range {
        uint32_t begin, end;
    };

    static bool names(const Alert& a, const decode::PacketView& v) noexcept {
        using namespace decode;
        const std::size_t len = v.ip.version == 4 ? 4 : 16;
        if (a.protocol != v.ip.proto || a.version != v.ip.version || std::memcmp(a.src, v.ip.src, len) != 0 ||
            std::memcmp(a.dst, v.ip.dst, len) != 0) {
            return false;
        }
        if (a.src_port < 0 && a.dst_port < 0) return true;
        const Transport& t = v.l4;
        const bool here = v.transport_here();
        if (v.ip.proto == proto::kTcp || v.ip.proto == proto::kUdp) {
            return here && (a.src_port < 0 || (t.has(Transport::kSrcPort) && t.src_port == a.src_port)) &&
                   (a.dst_port < 0 || (t.has(Transport::kDstPort) && t.dst_port == a.dst_port));
        }
        if (is_icmp(v.ip.proto)) {
            return here && (a.src_port < 0 || (t.has(Transport::kIcmpType) && t.icmp_type == a.src_port)) &&
                   (a.dst_port < 0 || (t.has(Transport::kIcmpCode) && t.icmp_code == a.dst_port));
        }
        return false;  // ports on a protocol that has none name no packet
    }

    std::vector<Alert> alerts_;
    std::size_t unusable_ = 0;
    std::unordered_map<int64_t, Range> by_time_;
};

}  // namespace kavrel::labels
