// Fast-alert lines into the rows of the alerts table: the eight texts of each
// alert and what they mean as typed values (time, rule numbers, priority,
// addresses alone, ports).
#pragma once

#include "alerts/fast_alert.hpp"
#include "alerts/text.hpp"
#include "columnar/columns.hpp"
#include "columnar/text.hpp"

#include <arpa/inet.h>

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace kavrel::alerts {

using columnar::Field;
using columnar::Type;

enum AlertColumn : int {
    kWallTime, kTsText, kGid, kSid, kRev, kMsg, kClassification, kPriority, kProtocol, kSrcIp, kDstIp, kSrcPort,
    kDstPort, kAlertColumnCount
};

// `timestamp` leaves here as the wall-clock time the sensor wrote, in
// microseconds as if it were UTC; the caller applies the sensor's zone.
inline const Field kAlertFields[kAlertColumnCount] = {
    {"timestamp", Type::i64, true},     {"ts_text", Type::utf8, false},        {"gid", Type::u32, true},
    {"sid", Type::u32, true},           {"rev", Type::u32, true},              {"msg", Type::utf8, false},
    {"classification", Type::utf8, true}, {"priority", Type::u8, true},        {"protocol", Type::utf8, false},
    {"src_ip", Type::utf8, true},       {"dst_ip", Type::utf8, true},          {"src_port", Type::u16, true},
    {"dst_port", Type::u16, true},
};

enum class DateOrder : uint8_t { automatic, mdy, ymd };

// How a time without a year is placed: `year`, or the year after it for a
// month before `rollover_month` (a capture that runs over New Year); 0: never.
struct YearRule {
    int year;
    int rollover_month = 0;
};

// Days from 1970-01-01 to y-m-d (proleptic Gregorian).
inline int64_t days_from_civil(int64_t y, unsigned m, unsigned d) noexcept {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

inline unsigned days_in_month(int64_t y, unsigned m) noexcept {
    static const unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return m == 2 && leap ? 29 : days[m - 1];
}

// The time of a ts text (code points [b, e) of `s`, already matched) as
// wall-clock microseconds; false when it names no real time.
template <class Char>
bool wall_time(const Char* s, std::size_t b, std::size_t e, bool has_year, YearRule rule, DateOrder order,
               int64_t& out) noexcept {
    // The digit runs: month/day[/year]-hour:minute:second.fraction, or year first.
    int64_t v[7] = {};
    int nd[7] = {};
    int64_t micros = 0;
    int count = 0;
    for (std::size_t i = b; i < e && count < 7;) {
        if (digit_value(s[i]) < 0) {
            ++i;
            continue;
        }
        const bool fraction = count == (has_year ? 6 : 5);
        for (int d; i < e && (d = digit_value(s[i])) >= 0; ++i) {
            if (fraction) {
                if (nd[count] < 6) micros = micros * 10 + d;
            } else if (nd[count] < 10) {
                v[count] = v[count] * 10 + d;
            }
            ++nd[count];
        }
        if (fraction) {
            for (int n = nd[count]; n < 6; ++n) micros *= 10;
        }
        ++count;
    }
    if (count != (has_year ? 7 : 6)) return false;
    const int t = has_year ? 3 : 2;  // first time field
    for (int i = 0; i < t + 3; ++i) {
        if (nd[i] > 9) return false;
    }
    int64_t year, month, day;
    if (!has_year) {
        month = v[0];
        day = v[1];
        year = rule.year + (rule.rollover_month && month < rule.rollover_month ? 1 : 0);
    } else if (order == DateOrder::ymd || (order == DateOrder::automatic && v[0] > 12)) {
        year = v[0] + (nd[0] <= 2 ? 2000 : 0);
        month = v[1];
        day = v[2];
    } else {
        month = v[0];
        day = v[1];
        year = v[2] + (nd[2] <= 2 ? 2000 : 0);
    }
    const int64_t hour = v[t], minute = v[t + 1], second = v[t + 2];
    if (month < 1 || month > 12 || year < 1 || year > 9999 || day < 1 ||
        day > days_in_month(year, static_cast<unsigned>(month)) || hour > 23 || minute > 59 || second > 59) {
        return false;
    }
    const int64_t days = days_from_civil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
    out = ((days * 24 + hour) * 60 + minute) * 60 * 1'000'000 + second * 1'000'000 + micros;
    return true;
}

// A decimal number of ASCII or other digits up to `max`; false when it is larger.
template <class Char>
bool number(const Char* s, std::size_t b, std::size_t e, uint64_t max, uint64_t& out) noexcept {
    uint64_t v = 0;
    for (std::size_t i = b; i < e; ++i) {
        v = v * 10 + static_cast<uint64_t>(digit_value(s[i]));
        if (v > max) return false;
    }
    out = v;
    return true;
}

// An address with or without its port, as each sensor writes it:
// "a.b.c.d:p"; "[v6]:p"; for TCP and UDP an unbracketed "v6:p" whose last
// group is the port; otherwise text that parses as an address is the address.
struct Endpoint {
    int family = 0;       // AF_INET, AF_INET6, or 0 when the text is no address
    uint8_t addr[16] = {};
    int port = -1;        // -1: none
};

inline bool ascii_port(std::string_view p, int& port) noexcept {
    if (p.empty() || p.size() > 5) return false;
    int v = 0;
    for (const char c : p) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    if (v > 65535) return false;
    port = v;
    return true;
}

// Dotted decimal as inet_pton reads it: four parts of 0-255, no leading zeros.
inline bool parse_ipv4(std::string_view t, uint8_t* out) noexcept {
    int part = 0, value = 0, digits = 0;
    for (const char c : t) {
        if (c >= '0' && c <= '9') {
            if (digits && value == 0) return false;
            value = value * 10 + (c - '0');
            if (value > 255 || ++digits > 3) return false;
        } else if (c == '.' && digits && part < 3) {
            out[part++] = static_cast<uint8_t>(value);
            value = digits = 0;
        } else {
            return false;
        }
    }
    if (part != 3 || !digits) return false;
    out[3] = static_cast<uint8_t>(value);
    return true;
}

inline bool parse_address(std::string_view text, Endpoint& out) noexcept {
    if (parse_ipv4(text, out.addr)) {
        out.family = AF_INET;
        return true;
    }
    char buf[64];
    if (text.size() >= sizeof buf || text.find(':') == std::string_view::npos) return false;
    std::memcpy(buf, text.data(), text.size());
    buf[text.size()] = '\0';
    if (inet_pton(AF_INET6, buf, out.addr) == 1) {
        out.family = AF_INET6;
        return true;
    }
    return false;
}

inline Endpoint parse_endpoint(std::string_view text, bool ports_expected) noexcept {
    Endpoint ep;
    if (text.empty()) return ep;
    if (text[0] == '[') {
        const std::size_t close = text.find("]:");
        int port;
        if (close != std::string_view::npos && ascii_port(text.substr(close + 2), port) &&
            parse_address(text.substr(1, close - 1), ep)) {
            ep.port = port;
            return ep;
        }
    }
    const std::size_t colon = text.rfind(':');
    const bool one_colon = colon != std::string_view::npos && text.find(':') == colon;
    auto split = [&]() {
        int port;
        Endpoint e;
        if (colon == std::string_view::npos || !ascii_port(text.substr(colon + 1), port) ||
            !parse_address(text.substr(0, colon), e)) {
            return false;
        }
        // Only an IPv4 address takes a port after its single colon.
        if (one_colon != (e.family == AF_INET)) return false;
        ep = e;
        ep.port = port;
        return true;
    };
    if ((one_colon || ports_expected) && split()) return ep;
    if (parse_address(text, ep)) return ep;
    if (!one_colon && !ports_expected) split();
    return ep;
}

// A stripped line as the matcher saw it: its code points, and where each
// starts in the line's valid UTF-8 (nullptr when the line is ASCII and they are
// its bytes).
template <class Char>
struct LineView {
    const Char* chars;
    std::size_t size;
    const char* utf8;
    const uint32_t* starts;

    std::string_view text(const Span& span) const noexcept {
        const uint32_t b = starts ? starts[span.begin] - starts[0] : span.begin;
        const uint32_t e = starts ? starts[span.end] - starts[0] : span.end;
        return std::string_view(utf8 + b, e - b);
    }
};

// Appends `alert` of `line` as one row.
class AlertTableBuilder {
public:
    explicit AlertTableBuilder(YearRule rule, DateOrder order) : rule_(rule), order_(order) {
        for (const Field& f : kAlertFields) columns_.add(f);
    }
    std::vector<Field> fields() const { return columns_.fields(); }
    int64_t rows() const noexcept { return columns_.rows(); }
    bool start(std::size_t rows) noexcept { return columns_.start(rows); }
    bool export_batch(ArrowArray* out) noexcept { return columns_.export_batch(out); }

    // Whether the texts of a line of `bytes` bytes fit in this batch below `limit`:
    // every text column takes at most the line, or an address.
    bool fits(std::size_t bytes, std::size_t limit) const noexcept {
        const std::size_t most = bytes > columnar::kMaxIpv6TextLen ? bytes : columnar::kMaxIpv6TextLen;
        for (const auto& c : columns_) {
            if (c.field().type == columnar::Type::utf8 && !c.text_fits(most, limit)) return false;
        }
        return true;
    }

    template <class Char>
    bool add(const LineView<Char>& line, const FastAlert& a) noexcept {
        const Char* s = line.chars;
        int64_t wall;
        if (wall_time(s, a.ts.begin, a.ts.end, a.ts_has_year, rule_, order_, wall)) {
            columns_[kWallTime].push<int64_t>(wall);
        } else {
            columns_[kWallTime].push_null();
        }
        if (!text(kTsText, line.text(a.ts))) return false;
        // gid:sid:rev
        std::size_t c1 = a.sid.begin;
        while (s[c1] != ':') ++c1;
        std::size_t c2 = c1 + 1;
        while (s[c2] != ':') ++c2;
        const std::size_t from[3] = {a.sid.begin, c1 + 1, c2 + 1}, to[3] = {c1, c2, a.sid.end};
        for (int k = 0; k < 3; ++k) {
            uint64_t v;
            if (number(s, from[k], to[k], UINT32_MAX, v)) columns_[kGid + k].push<uint32_t>(static_cast<uint32_t>(v));
            else columns_[kGid + k].push_null();
        }
        if (!text(kMsg, line.text(a.msg))) return false;
        if (a.cls.present) {
            if (!text(kClassification, line.text(a.cls))) return false;
        } else {
            columns_[kClassification].push_null();
        }
        uint64_t priority;
        if (a.pri.present && number(s, a.pri.begin, a.pri.end, UINT8_MAX, priority)) {
            columns_[kPriority].push<uint8_t>(static_cast<uint8_t>(priority));
        } else {
            columns_[kPriority].push_null();
        }
        const std::string_view proto = line.text(a.proto);
        if (!text(kProtocol, proto)) return false;
        const bool ports_expected = proto == "TCP" || proto == "UDP";
        for (int k = 0; k < 2; ++k) {
            const std::string_view raw = line.text(k == 0 ? a.src : a.dst);
            const Endpoint ep = parse_endpoint(raw, ports_expected);
            columnar::Column& ip = columns_[k == 0 ? kSrcIp : kDstIp];
            if (ep.family) {
                char* out = ip.text_space(columnar::kMaxIpv6TextLen);
                if (!out) return false;
                ip.commit_text(ep.family == AF_INET ? columnar::format_ipv4(ep.addr, out)
                                                    : columnar::format_ipv6(ep.addr, out));
            } else if (raw.empty()) {
                ip.push_null();
            } else if (!text(k == 0 ? kSrcIp : kDstIp, raw)) {  // not an address: kept as written
                return false;
            }
            columnar::Column& port = columns_[k == 0 ? kSrcPort : kDstPort];
            if (ep.port >= 0) port.push<uint16_t>(static_cast<uint16_t>(ep.port));
            else port.push_null();
        }
        return true;
    }

private:
    bool text(int column, std::string_view t) noexcept { return columns_[column].push_text(t.data(), t.size()); }

    YearRule rule_;
    DateOrder order_;
    columnar::ColumnSet columns_;
};

}  // namespace kavrel::alerts
