// One fast-alert line read into its eight texts: time, rule id, message, the
// optional classification and priority, protocol, source and destination.
//
// The line is matched as this search would match it, with the same choices
// wherever the lazy and optional parts leave one:
//   (?P<ts>\d+/\d+(?:/\d+)?-\d+:\d+:\d+\.\d+)\s+\[\*\*\]\s+\[(?P<sid>\d+:\d+:\d+)\]\s+
//   (?P<msg>.*?) \[\*\*\]\s+(?:\[Classification: (?P<class>.*?)\]\s+)?(?:\[Priority: (?P<pri>\d+)\]\s+)?
//   {(?P<proto>[^}]+)}\s+(?P<src>.*?) -> ?(?P<dst>.*)
// on a line that holds no line break (\d, \s Unicode; "." any character).
// Each greedy part is followed by a character it cannot take, so only the
// lazy parts and two whitespace runs ever give anything back; the functions
// below try the candidates in the order backtracking would.
#pragma once

#include "alerts/text.hpp"

#include <cstddef>
#include <cstdint>

namespace kavrel::alerts {

struct Span {
    uint32_t begin = 0;
    uint32_t end = 0;
    bool present = false;  // the group took part in the match
};

struct FastAlert {
    Span ts, sid, msg, cls, pri, proto, src, dst;
    bool ts_has_year = false;
};

// `Char` is char32_t for code points, or uint8_t for a line that is all ASCII.
template <class Char>
class FastAlertMatcher {
public:
    // Matches code points [0, n) of `s`; false when the line is no fast alert.
    bool match(const Char* s, std::size_t n, FastAlert& out) noexcept {
        s_ = s;
        n_ = n;
        std::size_t tried_end = SIZE_MAX;  // what follows the time depends only on where it ends
        for (std::size_t start = 0; start < n; ++start) {
            if (!is_decimal(s[start])) continue;
            std::size_t end;
            bool year;
            if (!timestamp(start, end, year)) continue;
            if (end == tried_end) continue;
            if (after_time(end, out)) {
                out.ts = {static_cast<uint32_t>(start), static_cast<uint32_t>(end), true};
                out.ts_has_year = year;
                return true;
            }
            tried_end = end;
        }
        return false;
    }

private:
    char32_t at(std::size_t i) const noexcept { return i < n_ ? static_cast<char32_t>(s_[i]) : 0; }
    bool space(std::size_t i) const noexcept { return i < n_ && is_space(s_[i]); }
    std::size_t digits(std::size_t i) const noexcept {
        while (i < n_ && is_decimal(s_[i])) ++i;
        return i;
    }
    std::size_t spaces(std::size_t i) const noexcept {
        while (i < n_ && is_space(s_[i])) ++i;
        return i;
    }
    bool literal(std::size_t i, const char* text) const noexcept {
        for (; *text; ++text, ++i) {
            if (at(i) != static_cast<char32_t>(static_cast<unsigned char>(*text))) return false;
        }
        return true;
    }
    // One or more digits then `sep`; i moves past both.
    bool digits_then(std::size_t& i, char32_t sep) const noexcept {
        const std::size_t e = digits(i);
        if (e == i || at(e) != sep) return false;
        i = e + 1;
        return true;
    }

    // \d+/\d+(?:/\d+)?-\d+:\d+:\d+\.\d+ at `i`.
    bool timestamp(std::size_t i, std::size_t& end, bool& year) const noexcept {
        if (!digits_then(i, '/')) return false;
        std::size_t e = digits(i);
        if (e == i) return false;
        year = false;
        if (at(e) == '/') {
            std::size_t y = e + 1;
            if (!digits_then(y, '-')) return false;  // without the year a '-' would be needed here
            year = true;
            i = y;
        } else if (at(e) == '-') {
            i = e + 1;
        } else {
            return false;
        }
        if (!digits_then(i, ':') || !digits_then(i, ':') || !digits_then(i, '.')) return false;
        end = digits(i);
        return end > i;
    }

    // \s+\[\*\*\]\s+\[sid\]\s+ then the message and the rest.
    bool after_time(std::size_t i, FastAlert& out) noexcept {
        std::size_t j = spaces(i);
        if (j == i || !literal(j, "[**]")) return false;
        i = j + 4;
        j = spaces(i);
        if (j == i || at(j) != '[') return false;
        const std::size_t sid_begin = j + 1;
        i = sid_begin;
        if (!digits_then(i, ':') || !digits_then(i, ':')) return false;
        const std::size_t sid_end = digits(i);
        if (sid_end == i || at(sid_end) != ']') return false;
        out.sid = {static_cast<uint32_t>(sid_begin), static_cast<uint32_t>(sid_end), true};
        i = sid_end + 1;
        const std::size_t m = spaces(i);
        if (m == i) return false;
        // The message: each " [**]\s+" from its start in turn, shortest first.
        for (std::size_t k = m; k < n_; ++k) {
            if (closes_message(k) && after_message(k + 5, out)) {
                out.msg = {static_cast<uint32_t>(m), static_cast<uint32_t>(k), true};
                return true;
            }
        }
        // Then the whitespace before it gives back its last character, which
        // can only help an empty message right before "[**]".
        if (m - i >= 2 && closes_message(m - 1) && after_message(m + 4, out)) {
            out.msg = {static_cast<uint32_t>(m - 1), static_cast<uint32_t>(m - 1), true};
            return true;
        }
        return false;
    }

    bool closes_message(std::size_t k) const noexcept {
        return k + 5 < n_ && s_[k] == ' ' && s_[k + 1] == '[' && literal(k + 2, "**]") && is_space(s_[k + 5]);
    }

    // From the whitespace after " [**]": classification, priority, protocol, addresses.
    bool after_message(std::size_t i, FastAlert& out) noexcept {
        const std::size_t b = spaces(i);
        if (literal(b, "[Classification: ")) {
            const std::size_t q = b + 17;
            for (std::size_t e = q; e < n_; ++e) {
                if (s_[e] == ']' && space(e + 1) && after_classification(spaces(e + 1), out)) {
                    out.cls = {static_cast<uint32_t>(q), static_cast<uint32_t>(e), true};
                    return true;
                }
            }
            return false;  // without it, "[" is neither a priority nor the protocol
        }
        out.cls = {};
        return after_classification(b, out);
    }

    bool after_classification(std::size_t i, FastAlert& out) noexcept {
        if (literal(i, "[Priority: ")) {
            std::size_t p = i + 11;
            const std::size_t e = digits(p);
            if (e == p || at(e) != ']' || !space(e + 1)) return false;
            if (!protocol_and_addresses(spaces(e + 1), out)) return false;
            out.pri = {static_cast<uint32_t>(p), static_cast<uint32_t>(e), true};
            return true;
        }
        out.pri = {};
        return protocol_and_addresses(i, out);
    }

    // {proto}\s+ src -> ?dst
    bool protocol_and_addresses(std::size_t p, FastAlert& out) noexcept {
        if (at(p) != '{') return false;
        std::size_t c = p + 1;
        while (c < n_ && s_[c] != '}') ++c;
        if (c == p + 1 || c >= n_) return false;
        const std::size_t t = c + 1;
        const std::size_t w = spaces(t) - t;
        if (w == 0) return false;
        std::size_t src = t + w, arrow = find_arrow(src);
        if (arrow == SIZE_MAX) {
            // The whitespace gives back its last character: an empty source right before "->".
            if (w >= 2 && at(t + w - 1) == ' ' && literal(t + w, "->")) {
                src = arrow = t + w - 1;
            } else {
                return false;
            }
        }
        std::size_t dst = arrow + 3;
        if (at(dst) == ' ') ++dst;
        out.proto = {static_cast<uint32_t>(p + 1), static_cast<uint32_t>(c), true};
        out.src = {static_cast<uint32_t>(src), static_cast<uint32_t>(arrow), true};
        out.dst = {static_cast<uint32_t>(dst < n_ ? dst : n_), static_cast<uint32_t>(n_), true};
        return true;
    }

    std::size_t find_arrow(std::size_t from) const noexcept {
        for (std::size_t k = from; k + 3 <= n_; ++k) {
            if (s_[k] == ' ' && s_[k + 1] == '-' && s_[k + 2] == '>') return k;
        }
        return SIZE_MAX;
    }

    const Char* s_ = nullptr;
    std::size_t n_ = 0;
};

}  // namespace kavrel::alerts
