// Addresses as text, written straight into a column's bytes: MAC addresses
// as aa:bb:cc:dd:ee:ff, IPv4 dotted decimal, IPv6 exactly as inet_ntop writes it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kavrel::columnar {

inline constexpr std::size_t kMacTextLen = 17;
inline constexpr std::size_t kMaxIpv6TextLen = 45;  // INET6_ADDRSTRLEN without its NUL

inline std::size_t format_mac(const uint8_t* mac, char* out) noexcept {
    constexpr char hex[] = "0123456789abcdef";
    for (int i = 0; i < 6; ++i) {
        out[3 * i] = hex[mac[i] >> 4];
        out[3 * i + 1] = hex[mac[i] & 0x0F];
        if (i < 5) out[3 * i + 2] = ':';
    }
    return kMacTextLen;
}

inline std::size_t format_ipv4(const uint8_t* addr, char* out) noexcept {
    char* p = out;
    for (int i = 0; i < 4; ++i) {
        const unsigned v = addr[i];
        if (v >= 100) *p++ = static_cast<char>('0' + v / 100);
        if (v >= 10) *p++ = static_cast<char>('0' + v / 10 % 10);
        *p++ = static_cast<char>('0' + v % 10);
        if (i < 3) *p++ = '.';
    }
    return static_cast<std::size_t>(p - out);
}

// The rules of glibc's inet_ntop for AF_INET6: the first longest run of two or
// more zero groups becomes "::"; groups in lower-case hex without leading
// zeros; an IPv4-compatible (::a.b.c.d) or IPv4-mapped (::ffff:a.b.c.d)
// address ends in dotted decimal.
inline std::size_t format_ipv6(const uint8_t* addr, char* out) noexcept {
    constexpr char hex[] = "0123456789abcdef";
    uint16_t words[8];
    for (int i = 0; i < 8; ++i) words[i] = static_cast<uint16_t>(addr[2 * i] << 8 | addr[2 * i + 1]);
    int best_base = -1, best_len = 0;
    for (int i = 0; i < 8;) {
        if (words[i] != 0) {
            ++i;
            continue;
        }
        int j = i;
        while (j < 8 && words[j] == 0) ++j;
        if (j - i > best_len) {
            best_base = i;
            best_len = j - i;
        }
        i = j;
    }
    if (best_len < 2) best_base = -1;

    char* p = out;
    for (int i = 0; i < 8; ++i) {
        if (best_base != -1 && i >= best_base && i < best_base + best_len) {
            if (i == best_base) *p++ = ':';
            continue;
        }
        if (i != 0) *p++ = ':';
        if (i == 6 && best_base == 0 && (best_len == 6 || (best_len == 5 && words[5] == 0xFFFF))) {
            p += format_ipv4(addr + 12, p);
            return static_cast<std::size_t>(p - out);
        }
        const unsigned w = words[i];
        bool started = false;
        for (int shift = 12; shift >= 0; shift -= 4) {
            const unsigned digit = (w >> shift) & 0xF;
            if (digit || started || shift == 0) {
                *p++ = hex[digit];
                started = true;
            }
        }
    }
    if (best_base != -1 && best_base + best_len == 8) *p++ = ':';
    return static_cast<std::size_t>(p - out);
}

}  // namespace kavrel::columnar
