// Alert logs as text, the way Python's text mode reads them: lines end at
// "\n", "\r\n" or "\r"; UTF-8 whose invalid bytes are dropped (the "ignore"
// error handler) or replaced by U+FFFD (the "replace" handler); Unicode
// whitespace and decimal digits as str.isspace() and str.isdecimal() define
// them (Unicode 15.1, the tables of Python 3.13).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace kavrel::alerts {

inline bool is_space(char32_t c) noexcept {
    if (c < 0x80) return c == ' ' || (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x1F);
    return c == 0x85 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 ||
           c == 0x202F || c == 0x205F || c == 0x3000;
}

// The first code point of every run of ten decimal digits 0-9.
inline constexpr char32_t kDigitZeros[] = {
    0x30,    0x660,   0x6f0,   0x7c0,   0x966,   0x9e6,   0xa66,   0xae6,   0xb66,   0xbe6,   0xc66,   0xce6,
    0xd66,   0xde6,   0xe50,   0xed0,   0xf20,   0x1040,  0x1090,  0x17e0,  0x1810,  0x1946,  0x19d0,  0x1a80,
    0x1a90,  0x1b50,  0x1bb0,  0x1c40,  0x1c50,  0xa620,  0xa8d0,  0xa900,  0xa9d0,  0xa9f0,  0xaa50,  0xabf0,
    0xff10,  0x104a0, 0x10d30, 0x11066, 0x110f0, 0x11136, 0x111d0, 0x112f0, 0x11450, 0x114d0, 0x11650, 0x116c0,
    0x11730, 0x118e0, 0x11950, 0x11c50, 0x11d50, 0x11da0, 0x11f50, 0x16a60, 0x16ac0, 0x16b50, 0x1d7ce, 0x1d7d8,
    0x1d7e2, 0x1d7ec, 0x1d7f6, 0x1e140, 0x1e2f0, 0x1e4f0, 0x1e950, 0x1fbf0,
};

// The value of a decimal digit, or -1 for any other code point.
inline int digit_value(char32_t c) noexcept {
    if (c < 0x80) return c >= '0' && c <= '9' ? static_cast<int>(c - '0') : -1;
    std::size_t lo = 0, hi = sizeof kDigitZeros / sizeof kDigitZeros[0];
    while (lo < hi) {  // the last run starting at or below c
        const std::size_t mid = (lo + hi) / 2;
        if (kDigitZeros[mid] <= c) lo = mid + 1;
        else hi = mid;
    }
    if (lo == 0) return -1;
    const char32_t zero = kDigitZeros[lo - 1];
    return c - zero < 10 ? static_cast<int>(c - zero) : -1;
}
inline bool is_decimal(char32_t c) noexcept { return digit_value(c) >= 0; }

// One line decoded: its code points, and where each starts in `utf8` (the
// line's UTF-8 as decoded); starts[n] is utf8's size.
struct Line {
    std::vector<char32_t> chars;
    std::vector<uint32_t> starts;
    std::vector<char> utf8;
    bool had_invalid = false;  // some bytes were no UTF-8

    std::size_t size() const noexcept { return chars.size(); }
};

// What becomes of bytes that are no UTF-8, as Python's error handlers name it.
enum class Invalid : uint8_t { ignore, replace };

// Decodes `n` bytes as UTF-8. Each maximal invalid sequence (a byte that leads
// nothing, or the valid start of a sequence cut short) is dropped, or becomes
// one U+FFFD, exactly as Python's "ignore" and "replace" handlers do.
inline void decode_line(const uint8_t* b, std::size_t n, Line& out, Invalid invalid = Invalid::ignore) {
    out.chars.clear();
    out.starts.clear();
    out.utf8.clear();
    out.had_invalid = false;
    auto bad = [&] {
        out.had_invalid = true;
        if (invalid == Invalid::ignore) return;
        static constexpr char kReplacement[] = "\xEF\xBF\xBD";
        out.starts.push_back(static_cast<uint32_t>(out.utf8.size()));
        out.chars.push_back(0xFFFD);
        out.utf8.insert(out.utf8.end(), kReplacement, kReplacement + 3);
    };
    std::size_t i = 0;
    while (i < n) {
        const uint8_t c0 = b[i];
        char32_t cp;
        std::size_t len;
        if (c0 < 0x80) {
            cp = c0;
            len = 1;
        } else {
            // Lead byte: how many continuation bytes, and the allowed range of the first
            // (no overlong forms, no surrogates, nothing past U+10FFFF).
            uint8_t lo = 0x80, hi = 0xBF;
            if (c0 >= 0xC2 && c0 <= 0xDF) len = 2;
            else if (c0 >= 0xE0 && c0 <= 0xEF) {
                len = 3;
                if (c0 == 0xE0) lo = 0xA0;
                if (c0 == 0xED) hi = 0x9F;
            } else if (c0 >= 0xF0 && c0 <= 0xF4) {
                len = 4;
                if (c0 == 0xF0) lo = 0x90;
                if (c0 == 0xF4) hi = 0x8F;
            } else {
                ++i;  // not a lead byte
                bad();
                continue;
            }
            cp = c0 & (len == 2 ? 0x1F : len == 3 ? 0x0F : 0x07);
            std::size_t k = 1;
            for (; k < len && i + k < n; ++k) {
                const uint8_t c = b[i + k];
                if (c < (k == 1 ? lo : 0x80) || c > (k == 1 ? hi : 0xBF)) break;
                cp = cp << 6 | (c & 0x3F);
            }
            if (k < len) {
                i += k;  // the bytes that were valid so far go with the error
                bad();
                continue;
            }
        }
        out.starts.push_back(static_cast<uint32_t>(out.utf8.size()));
        out.chars.push_back(cp);
        out.utf8.insert(out.utf8.end(), b + i, b + i + len);
        i += len;
    }
    out.starts.push_back(static_cast<uint32_t>(out.utf8.size()));
}

// Strips leading and trailing whitespace: [begin, end) of the `n` code points.
template <class Char>
void strip(const Char* chars, std::size_t n, std::size_t& begin, std::size_t& end) noexcept {
    begin = 0;
    end = n;
    while (begin < end && is_space(static_cast<char32_t>(chars[begin]))) ++begin;
    while (end > begin && is_space(static_cast<char32_t>(chars[end - 1]))) --end;
}

inline bool all_ascii(const uint8_t* b, std::size_t n) noexcept {
    uint8_t any = 0;
    for (std::size_t i = 0; i < n; ++i) any |= b[i];
    return any < 0x80;
}

// Calls f(bytes, n) for each line of `data`, as text mode splits them. A line
// that runs past the end of `data` is held back unless `last`; returns how
// many bytes were consumed.
template <class F>
std::size_t for_each_line(const uint8_t* data, std::size_t size, bool last, F&& f) {
    std::size_t begin = 0;
    while (begin < size) {
        const void* lf = std::memchr(data + begin, '\n', size - begin);
        const std::size_t lf_at = lf ? static_cast<std::size_t>(static_cast<const uint8_t*>(lf) - data) : size;
        // A lone "\r" ends a line too.
        const void* cr = std::memchr(data + begin, '\r', lf_at - begin);
        if (cr) {
            const std::size_t cr_at = static_cast<std::size_t>(static_cast<const uint8_t*>(cr) - data);
            if (cr_at + 1 == size && !last) break;  // "\r\n" may straddle the chunk
            f(data + begin, cr_at - begin);
            begin = cr_at + 1 < size && data[cr_at + 1] == '\n' ? cr_at + 2 : cr_at + 1;
            continue;
        }
        if (!lf) {
            if (last) {
                f(data + begin, size - begin);
                begin = size;
            }
            break;
        }
        f(data + begin, lf_at - begin);
        begin = lf_at + 1;
    }
    return begin;
}

}  // namespace kavrel::alerts
