// A reader of classic pcap files that walks the records itself, in place (see
// ByteWindow). It reads records exactly as libpcap does (byte order,
// microsecond or nanosecond magic, the snapshot length cap, lengths swapped by
// old writers) and tells a file cut short from a failed read. Plain C++; the
// bytes are untrusted and every length is checked.
#pragma once

#include "capture/byte_window.hpp"
#include "capture/frame.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace kavrel::capture {

inline constexpr uint32_t kMagicMicro = 0xA1B2C3D4;
inline constexpr uint32_t kMagicNano = 0xA1B23C4D;
inline constexpr uint32_t kFileHeaderLen = 24;
inline constexpr uint32_t kRecordHeaderLen = 16;
// libpcap's largest sane record for the link types kavrel decodes.
inline constexpr uint32_t kMaxCaplen = 262144;

inline uint32_t bswap32(uint32_t v) noexcept { return __builtin_bswap32(v); }
inline uint16_t bswap16(uint16_t v) noexcept { return __builtin_bswap16(v); }

struct FileHeader {
    bool swapped = false;     // written in the other byte order
    bool nanosecond = false;  // fractions are nanoseconds
    uint16_t version_major = 0;
    uint16_t version_minor = 0;
    uint32_t snapshot = 0;    // records longer than this are cut to it
    uint32_t linktype = 0;    // LINKTYPE_* (the low 26 bits of the field)
};

// Reads the first 4 bytes of a capture: whether they are a classic pcap magic.
inline bool is_classic_magic(const uint8_t* b) noexcept {
    uint32_t m;
    std::memcpy(&m, b, 4);
    return m == kMagicMicro || m == kMagicNano || bswap32(m) == kMagicMicro || bswap32(m) == kMagicNano;
}

// Parses a 24-byte file header; false (with `why`) when it is not one libpcap reads.
inline bool parse_file_header(const uint8_t* b, FileHeader& h, const char*& why) noexcept {
    uint32_t words[6];
    std::memcpy(words, b, sizeof words);
    uint32_t magic = words[0];
    if (magic != kMagicMicro && magic != kMagicNano) {
        magic = bswap32(magic);
        if (magic != kMagicMicro && magic != kMagicNano) {
            why = "unknown file format";
            return false;
        }
        h.swapped = true;
    }
    h.nanosecond = magic == kMagicNano;
    uint16_t version[2];
    std::memcpy(version, b + 4, 4);
    h.version_major = h.swapped ? bswap16(version[0]) : version[0];
    h.version_minor = h.swapped ? bswap16(version[1]) : version[1];
    if (h.version_major < 2) {
        why = "archaic pcap savefile format";
        return false;
    }
    if (h.version_major != 2 || h.version_minor > 4) {
        why = "unsupported pcap savefile version";
        return false;
    }
    const uint32_t snaplen = h.swapped ? bswap32(words[4]) : words[4];
    const uint32_t linktype = h.swapped ? bswap32(words[5]) : words[5];
    h.linktype = linktype & 0x03FFFFFF;
    // A snapshot length of 0, or one past the sane maximum, means the maximum.
    h.snapshot = snaplen == 0 || snaplen > kMaxCaplen ? kMaxCaplen : snaplen;
    return true;
}

// The record header's two lengths as libpcap takes them: writers before
// version 2.3 stored them the other way round, and 2.3 files may have either
// order (the captured length is never the larger).
inline void record_lengths(const FileHeader& h, uint32_t stored_caplen, uint32_t stored_len, uint32_t& caplen,
                           uint32_t& wire_len) noexcept {
    caplen = stored_caplen;
    wire_len = stored_len;
    if (h.version_minor < 3 || (h.version_minor == 3 && caplen > wire_len)) std::swap(caplen, wire_len);
}

// The record header at `at`, in host order: seconds, fraction, stored caplen, stored length.
inline void record_header(const uint8_t* at, const FileHeader& h, uint32_t out[4]) noexcept {
    std::memcpy(out, at, 4 * sizeof(uint32_t));
    if (h.swapped) {
        for (int i = 0; i < 4; ++i) out[i] = bswap32(out[i]);
    }
}

// What a guessed record start must look like, besides sane lengths.
inline constexpr int kGuessChain = 8;                         // records in a row
inline constexpr uint32_t kGuessMaxWireLen = 64u << 20;       // no link carries more in one frame
inline constexpr uint32_t kGuessMaxSecondsApart = 86400u;     // records of one chain lie within a day

// The first byte offset in [from, to) where a record plausibly starts: its
// header and the next several (or all up to the end of the file) have sane
// lengths and times close to one another. A guess, for cutting a file where
// no walk from its start has been made: whoever uses it checks it against one.
inline uint64_t find_record_start(const uint8_t* data, uint64_t size, const FileHeader& h, uint64_t from,
                                  uint64_t to) noexcept {
    const uint32_t max_frac = h.nanosecond ? 1000000000u : 1000000u;
    auto header_at = [&](uint64_t at, uint32_t& sec, uint32_t& caplen) {
        uint32_t w[4], wire;
        record_header(data + at, h, w);
        record_lengths(h, w[2], w[3], caplen, wire);
        sec = w[0];
        return w[1] < max_frac && caplen <= kMaxCaplen && wire >= caplen && wire <= kGuessMaxWireLen;
    };
    for (uint64_t p = from; p < to && p + kRecordHeaderLen <= size; ++p) {
        uint64_t at = p;
        uint32_t first_sec = 0;
        int good = 0;
        for (; good < kGuessChain && at + kRecordHeaderLen <= size; ++good) {
            uint32_t sec, caplen;
            if (!header_at(at, sec, caplen)) break;
            if (good == 0) first_sec = sec;
            else if (sec - first_sec + kGuessMaxSecondsApart > 2 * kGuessMaxSecondsApart) break;
            at += kRecordHeaderLen + caplen;
        }
        if (good == kGuessChain || (good > 0 && at == size)) return p;
    }
    return UINT64_MAX;
}

class ClassicPcapReader {
public:
    ClassicPcapReader() = default;
    ClassicPcapReader(const ClassicPcapReader&) = delete;
    ClassicPcapReader& operator=(const ClassicPcapReader&) = delete;

    // Starts reading `fd` (not owned) whose file header is `header`, with the
    // next record at byte `offset`; `limit` is where to stop (a record that
    // starts at or past it is not read), UINT64_MAX for the whole file.
    // `fd` is positioned at `offset`. With `guess`, `offset` is only near a
    // record: reading starts at the first plausible record start at or after
    // it (found_start(); none before `limit`: nothing is read). Reads of a
    // pipe give up once `cancel` is set.
    bool start(int fd, const FileHeader& header, uint64_t offset, uint64_t limit = UINT64_MAX, bool guess = false,
               const CancelFlag* cancel = nullptr) {
        header_ = header;
        limit_ = limit;
        found_start_ = guess ? UINT64_MAX : offset;
        if (!window_.open(fd, offset, cancel)) return false;
        if (!guess) return true;
        if (window_.mapped()) {
            found_start_ = find_record_start(window_.file_data(), window_.file_size(), header, offset, limit);
        }
        // No record found, or a stream (which cannot be searched): nothing is read.
        window_.seek(found_start_ == UINT64_MAX ? limit : found_start_);
        return !window_.faulted();
    }

    void stop() noexcept { window_.close(); }

    const FileHeader& header() const noexcept { return header_; }
    // Where reading started (UINT64_MAX: a guess found no record).
    uint64_t found_start() const noexcept { return found_start_; }
    // Byte offset of the next record; after damage, of the damaged one.
    uint64_t offset() const noexcept { return window_.offset(); }
    const char* error() const noexcept { return error_; }
    int os_errno() const noexcept { return window_.faulted() ? EIO : window_.os_errno(); }

    ReadStatus next(Frame& out) {
        if (window_.offset() >= limit_) return ReadStatus::end;
        if (!window_.fill(kRecordHeaderLen)) {
            if (window_.os_errno()) return fail();
            if (window_.available() == 0) return ReadStatus::end;
            std::snprintf(error_, sizeof error_,
                          "truncated dump file; tried to read %u header bytes, only got %zu", kRecordHeaderLen,
                          window_.available());
            return ReadStatus::damaged;
        }
        uint32_t h[4], caplen, wire_len;
        record_header(window_.data(), header_, h);
        record_lengths(header_, h[2], h[3], caplen, wire_len);
        if (caplen > kMaxCaplen) {
            if (caplen > header_.snapshot) {
                std::snprintf(error_, sizeof error_, "invalid packet capture length %u, bigger than snaplen of %u",
                              caplen, header_.snapshot);
            } else {
                std::snprintf(error_, sizeof error_, "invalid packet capture length %u, bigger than maximum of %u",
                              caplen, kMaxCaplen);
            }
            return ReadStatus::damaged;
        }
        if (!window_.fill(kRecordHeaderLen + caplen)) {
            if (window_.os_errno()) return fail();
            std::snprintf(error_, sizeof error_, "truncated dump file; tried to read %u captured bytes, only got %zu",
                          caplen, window_.available() - kRecordHeaderLen);
            return ReadStatus::damaged;
        }
        if (!window_.readable(kRecordHeaderLen + caplen)) {
            std::snprintf(error_, sizeof error_, "error reading dump file: the file shrank or its device failed");
            return ReadStatus::failed;
        }
        out.data = window_.data() + kRecordHeaderLen;
        out.caplen = caplen < header_.snapshot ? caplen : header_.snapshot;
        out.wire_len = wire_len;
        out.epoch_sec = h[0];
        // libpcap reads the fraction as signed, but a swapped one as unsigned: the same here,
        // so that both readers (and the per-packet records) agree on out-of-range fractions.
        const auto frac =
            header_.swapped ? static_cast<int64_t>(h[1]) : static_cast<int64_t>(static_cast<int32_t>(h[1]));
        out.frac_ns = header_.nanosecond ? frac : frac * 1000;
        out.linktype = static_cast<int>(header_.linktype);
        window_.consume(kRecordHeaderLen + caplen);
        return ReadStatus::frame;
    }

private:
    ReadStatus fail() {
        std::snprintf(error_, sizeof error_, "error reading dump file: %s", std::strerror(window_.os_errno()));
        return ReadStatus::failed;
    }

    FileHeader header_;
    ByteWindow window_;
    uint64_t limit_ = UINT64_MAX;
    uint64_t found_start_ = 0;
    char error_[160] = {};
};

}  // namespace kavrel::capture
