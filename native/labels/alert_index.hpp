// Alerts as labels: an index from the microsecond an alert was raised to the
// alerts of that microsecond, and the test that an alert names a packet.
#pragma once

#include "alerts/alert_table.hpp"
#include "decode/packet_view.hpp"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace kavrel::labels {

// The priority of an alert whose rule has none: after every priority a rule can have (0-255).
inline constexpr int32_t kNoPriority = 256;

struct Alert {
    int64_t time_us;
    int16_t protocol;  // IP protocol number
    uint8_t version;   // 4 or 6: the family of both addresses
    uint8_t src[16];
    uint8_t dst[16];
    int32_t src_port;  // -1: the alert has none (for ICMP: the type)
    int32_t dst_port;  // (for ICMP: the code)
    int32_t priority;  // lower is more severe; kNoPriority when the alert has none
    uint32_t order;    // position in the log
    uint32_t gid, sid, rev;
    uint64_t msg_begin, msg_end;  // the message, in the index's text (which may pass 4 GiB)
};

// What labels one packet.
struct Label {
    uint32_t count = 0;             // alerts that name the packet
    const Alert* shown = nullptr;  // the most severe of them, the first in the log among equals
};

// What of a packet an alert is matched against, kept per row until the alerts are in.
struct LabelKey {
    int64_t time_ns;
    uint8_t proto;
    uint8_t version;
    uint8_t present;  // kHasSrcPort, kHasDstPort: which of the two the packet has (captured, its own)
    uint16_t src_port;  // or the ICMP type
    uint16_t dst_port;  // or the ICMP code
    uint8_t src[16];
    uint8_t dst[16];

    static constexpr uint8_t kHasSrcPort = 1;  // or the ICMP type
    static constexpr uint8_t kHasDstPort = 2;  // or the ICMP code

    static LabelKey of(int64_t time_ns, const decode::PacketView& v) noexcept {
        using namespace decode;
        LabelKey k;
        k.time_ns = time_ns;
        k.proto = v.ip.proto;
        k.version = v.ip.version;
        k.present = 0;
        k.src_port = k.dst_port = 0;
        const Transport& t = v.l4;
        if (v.transport_here()) {
            if (v.ip.proto == proto::kTcp || v.ip.proto == proto::kUdp) {
                if (t.has(Transport::kSrcPort)) k.present |= kHasSrcPort, k.src_port = t.src_port;
                if (t.has(Transport::kDstPort)) k.present |= kHasDstPort, k.dst_port = t.dst_port;
            } else if (is_icmp(v.ip.proto)) {
                if (t.has(Transport::kIcmpType)) k.present |= kHasSrcPort, k.src_port = t.icmp_type;
                if (t.has(Transport::kIcmpCode)) k.present |= kHasDstPort, k.dst_port = t.icmp_code;
            }
        }
        std::memcpy(k.src, v.ip.src, 16);
        std::memcpy(k.dst, v.ip.dst, 16);
        return k;
    }
};

// What of a connection an alert is matched against: its protocol, its two
// endpoints, and the span of its first and last packet.
struct ConnectionKey {
    int64_t first_ns;
    int64_t last_ns;
    uint8_t proto;
    uint8_t version;
    bool has_ports;  // TCP/UDP with both ports (an ICMP connection's "ports" are no ports here)
    uint16_t orig_port;
    uint16_t resp_port;
    uint8_t orig[16];
    uint8_t resp[16];
};

// Where a scan is in the index: packets mostly come in time order, so the
// next lookup starts where the last one ended.
struct LabelCursor {
    std::size_t next = 0;
    int64_t last_us = INT64_MIN;
};

inline bool parse_address(std::string_view text, uint8_t version, uint8_t* out) {
    if (version == 4) return alerts::parse_ipv4(text, out);
    char buf[64];
    if (text.size() >= sizeof buf) return false;
    std::memcpy(buf, text.data(), text.size());
    buf[text.size()] = '\0';
    return inet_pton(AF_INET6, buf, out) == 1;
}

class AlertIndex {
public:
    // `msg` is copied into the index's text.
    void add(Alert alert, std::string_view msg) {
        alert.msg_begin = text_.size();
        text_.append(msg);
        alert.msg_end = text_.size();
        alerts_.push_back(alert);
    }
    // An alert that can label nothing (no time, protocol or addresses): counted only.
    void add_unusable() noexcept { ++unusable_; }
    // Every alert given, usable or not.
    std::size_t total() const noexcept { return alerts_.size() + unusable_; }

    // Call once every alert is in; `by_pair` for labelling connections as well.
    void build(bool by_pair = false) {
        std::stable_sort(alerts_.begin(), alerts_.end(),
                         [](const Alert& a, const Alert& b) { return a.time_us < b.time_us; });
        if (!by_pair) return;
        // By address pair, then by time.
        by_pair_.resize(alerts_.size());
        for (std::size_t i = 0; i < by_pair_.size(); ++i) by_pair_[i] = static_cast<uint32_t>(i);
        std::stable_sort(by_pair_.begin(), by_pair_.end(),
                         [this](uint32_t a, uint32_t b) { return pair_of(a) < pair_of(b); });
    }

    std::size_t size() const noexcept { return alerts_.size(); }
    std::string_view msg(const Alert& a) const noexcept {
        return std::string_view(text_).substr(a.msg_begin, a.msg_end - a.msg_begin);
    }

    // The alerts that name the packet seen at `time_ns`; `matched[i]` is set
    // for each alert i that does.
    Label label(const LabelKey& key, LabelCursor& cursor, std::vector<uint8_t>& matched) const {
        Label out;
        const int64_t t = key.time_ns;
        const int64_t us = t >= 0 ? t / 1000 : -((-t + 999) / 1000);
        std::size_t i = cursor.next;
        if (us < cursor.last_us) {
            i = static_cast<std::size_t>(
                std::lower_bound(alerts_.begin(), alerts_.end(), us,
                                 [](const Alert& a, int64_t t) { return a.time_us < t; }) -
                alerts_.begin());
        } else {
            while (i < alerts_.size() && alerts_[i].time_us < us) ++i;
        }
        cursor.next = i;
        cursor.last_us = us;
        for (; i < alerts_.size() && alerts_[i].time_us == us; ++i) {
            const Alert& a = alerts_[i];
            if (!names(a, key)) continue;
            matched[i] = 1;
            ++out.count;
            if (!out.shown || a.priority < out.shown->priority ||
                (a.priority == out.shown->priority && a.order < out.shown->order)) {
                out.shown = &a;
            }
        }
        return out;
    }

    // The alerts that name a connection: its protocol, its endpoints in either direction
    // (the ports where the alert has them; an ICMP alert by the addresses alone), and a
    // time within the span of its first and last packet, to the microsecond. Call
    // build(true) first; `matched[i]` is set for each alert i that does.
    Label label(const ConnectionKey& key, std::vector<uint8_t>& matched) const {
        Label out;
        const PairKey pair = PairKey::of(key.version, key.orig, key.resp);
        auto [begin, end] = std::equal_range(by_pair_.begin(), by_pair_.end(), pair,
                                             [this](const auto& a, const auto& b) { return pair_of(a) < pair_of(b); });
        if (begin == end) return out;
        const int64_t a_us = floor_us(std::min(key.first_ns, key.last_ns));
        const int64_t b_us = floor_us(std::max(key.first_ns, key.last_ns));
        auto from = std::lower_bound(begin, end, a_us, [this](uint32_t i, int64_t t) { return alerts_[i].time_us < t; });
        for (auto it = from; it != end && alerts_[*it].time_us <= b_us; ++it) {
            const Alert& a = alerts_[*it];
            if (!names(a, key)) continue;
            matched[*it] = 1;
            ++out.count;
            if (!out.shown || a.priority < out.shown->priority ||
                (a.priority == out.shown->priority && a.order < out.shown->order)) {
                out.shown = &a;
            }
        }
        return out;
    }

private:
    // The two addresses of an alert or a connection, the lesser first.
    struct PairKey {
        uint8_t version;
        uint8_t lo[16];
        uint8_t hi[16];
        static PairKey of(uint8_t version, const uint8_t* a, const uint8_t* b) noexcept {
            PairKey k{};
            k.version = version;
            const std::size_t len = version == 4 ? 4 : 16;
            const bool a_first = std::memcmp(a, b, len) <= 0;
            std::memcpy(k.lo, a_first ? a : b, len);
            std::memcpy(k.hi, a_first ? b : a, len);
            return k;
        }
        bool operator<(const PairKey& o) const noexcept { return std::memcmp(this, &o, sizeof *this) < 0; }
    };
    static_assert(sizeof(PairKey) == 33);

    PairKey pair_of(uint32_t i) const noexcept { return PairKey::of(alerts_[i].version, alerts_[i].src, alerts_[i].dst); }
    const PairKey& pair_of(const PairKey& k) const noexcept { return k; }

    static int64_t floor_us(int64_t t) noexcept { return t >= 0 ? t / 1000 : -((-t + 999) / 1000); }

    static bool names(const Alert& a, const ConnectionKey& k) noexcept {
        if (a.protocol != k.proto || a.version != k.version) return false;
        const bool ports = a.protocol == decode::proto::kTcp || a.protocol == decode::proto::kUdp;
        const std::size_t len = k.version == 4 ? 4 : 16;
        const auto side = [&](const uint8_t* src, uint16_t sport, const uint8_t* dst, uint16_t dport) {
            if (std::memcmp(a.src, src, len) != 0 || std::memcmp(a.dst, dst, len) != 0) return false;
            if (!ports) return true;
            return (a.src_port < 0 || (k.has_ports && a.src_port == sport)) &&
                   (a.dst_port < 0 || (k.has_ports && a.dst_port == dport));
        };
        return side(k.orig, k.orig_port, k.resp, k.resp_port) || side(k.resp, k.resp_port, k.orig, k.orig_port);
    }

    static bool names(const Alert& a, const LabelKey& k) noexcept {
        const std::size_t len = k.version == 4 ? 4 : 16;
        if (a.protocol != k.proto || a.version != k.version || std::memcmp(a.src, k.src, len) != 0 ||
            std::memcmp(a.dst, k.dst, len) != 0) {
            return false;
        }
        // Ports name a packet only where it has them (TCP, UDP; ICMP type and code).
        return (a.src_port < 0 || ((k.present & LabelKey::kHasSrcPort) && k.src_port == a.src_port)) &&
               (a.dst_port < 0 || ((k.present & LabelKey::kHasDstPort) && k.dst_port == a.dst_port));
    }

    std::vector<Alert> alerts_;
    std::vector<uint32_t> by_pair_;  // indices into alerts_
    std::string text_;
    std::size_t unusable_ = 0;
};

}  // namespace kavrel::labels
