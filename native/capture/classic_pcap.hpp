// A reader of classic pcap files that walks the records itself, in place: a
// regular file is mapped (see MappedFile), anything else is read(2) into a
// large buffer. It reads records exactly as
// libpcap does (byte order, microsecond or nanosecond magic, the snapshot
// length cap, lengths swapped by old writers) and tells a file cut short from
// a failed read. Plain C++; the bytes are untrusted and every length is checked.
#pragma once

#include "capture/frame.hpp"
#include "capture/mapped_file.hpp"

#include <sys/stat.h>
#include <unistd.h>

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

// The first byte offset in [from, to) where a record plausibly starts: its
// header and the next several (or all up to the end of the file) have sane
// lengths and times close to one another. A guess, for cutting a file where
// no walk from its start has been made: whoever uses it checks it against one.
inline uint64_t find_record_start(const uint8_t* data, uint64_t size, const FileHeader& h, uint64_t from,
                                  uint64_t to) noexcept {
    constexpr int kChain = 8;
    const uint32_t max_frac = h.nanosecond ? 1000000000u : 1000000u;
    auto header_at = [&](uint64_t at, uint32_t& sec, uint32_t& caplen) {
        uint32_t w[4];
        std::memcpy(w, data + at, sizeof w);
        if (h.swapped) {
            for (uint32_t& v : w) v = bswap32(v);
        }
        caplen = w[2];
        uint32_t wire = w[3];
        if (h.version_minor < 3 || (h.version_minor == 3 && caplen > wire)) std::swap(caplen, wire);
        sec = w[0];
        return w[1] < max_frac && caplen <= kMaxCaplen && wire >= caplen && wire <= (64u << 20);
    };
    for (uint64_t p = from; p < to && p + kRecordHeaderLen <= size; ++p) {
        uint64_t at = p;
        uint32_t first_sec = 0;
        int good = 0;
        for (; good < kChain && at + kRecordHeaderLen <= size; ++good) {
            uint32_t sec, caplen;
            if (!header_at(at, sec, caplen)) break;
            if (good == 0) first_sec = sec;
            else if (sec - first_sec + 86400u > 2 * 86400u) break;  // more than a day apart
            at += kRecordHeaderLen + caplen;
        }
        if (good == kChain || (good > 0 && at == size)) return p;
    }
    return UINT64_MAX;
}

class ClassicPcapReader {
public:
    static constexpr std::size_t kBufferSize = 4 << 20;
    // A mapped file's pages behind the reader are given back in steps this large,
    // keeping a margin that the frame handed out last lies in.
    static constexpr std::size_t kReleaseEvery = 32 << 20;
    static constexpr std::size_t kReleaseMargin = 1 << 20;
    static constexpr std::size_t kPrefetchAhead = 8192;

    ClassicPcapReader() = default;
    ClassicPcapReader(const ClassicPcapReader&) = delete;
    ClassicPcapReader& operator=(const ClassicPcapReader&) = delete;
    ~ClassicPcapReader() { std::free(owned_); }

    // Starts reading `fd` (not owned) whose file header is `header`, with the
    // next record at byte `offset`; `limit` is where to stop (a record that
    // starts at or past it is not read), UINT64_MAX for the whole file.
    // `fd` is positioned at `offset`. With `guess`, `offset` is only near a
    // record: reading starts at the first plausible record start at or after
    // it (found_start(); none before `limit`: nothing is read).
    bool start(int fd, const FileHeader& header, uint64_t offset, uint64_t limit = UINT64_MAX, bool guess = false) {
        fd_ = fd;
        header_ = header;
        offset_ = offset;
        limit_ = limit;
        os_errno_ = 0;
        found_start_ = guess ? UINT64_MAX : offset;
        struct stat st;
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) > offset &&
            map_.map(fd, static_cast<uint64_t>(st.st_size))) {
            buf_ = const_cast<uint8_t*>(map_.data());
            if (guess) {
                found_start_ = find_record_start(buf_, map_.size(), header, offset, limit);
                offset_ = found_start_ == UINT64_MAX ? limit : found_start_;
                if (map_.faulted()) {
                    os_errno_ = EIO;
                    return false;
                }
            }
            begin_ = offset_ < map_.size() ? offset_ : map_.size();
            released_ = begin_;
            end_ = map_.size();
            eof_ = true;
            return true;
        }
        if (guess) offset_ = limit_;  // a stream cannot be searched: nothing is read
        map_.unmap();
        if (!owned_ && !(owned_ = static_cast<uint8_t*>(std::malloc(kBufferSize)))) {
            os_errno_ = ENOMEM;
            return false;
        }
        buf_ = owned_;
        begin_ = end_ = 0;
        eof_ = false;
        return true;
    }

    void stop() noexcept { map_.unmap(); }

    const FileHeader& header() const noexcept { return header_; }
    // Where reading started (UINT64_MAX: a guess found no record).
    uint64_t found_start() const noexcept { return found_start_; }
    // Byte offset of the next record; after damage, of the damaged one.
    uint64_t offset() const noexcept { return offset_; }
    const char* error() const noexcept { return error_; }
    int os_errno() const noexcept { return os_errno_; }

    ReadStatus next(Frame& out) {
        if (offset_ >= limit_) return ReadStatus::end;
        if (!fill(kRecordHeaderLen)) {
            if (os_errno_) return fail();
            if (end_ == begin_) return ReadStatus::end;
            std::snprintf(error_, sizeof error_,
                          "truncated dump file; tried to read %u header bytes, only got %zu", kRecordHeaderLen,
                          end_ - begin_);
            return ReadStatus::damaged;
        }
        uint32_t h[4];
        std::memcpy(h, buf_ + begin_, sizeof h);
        if (header_.swapped) {
            for (uint32_t& w : h) w = bswap32(w);
        }
        uint32_t caplen = h[2];
        uint32_t wire_len = h[3];
        // Writers before version 2.3 stored the two lengths the other way round;
        // 2.3 files may have either order.
        if (header_.version_minor < 3 || (header_.version_minor == 3 && caplen > wire_len)) {
            const uint32_t t = caplen;
            caplen = wire_len;
            wire_len = t;
        }
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
        if (!fill(kRecordHeaderLen + caplen)) {
            if (os_errno_) return fail();
            std::snprintf(error_, sizeof error_, "truncated dump file; tried to read %u captured bytes, only got %zu",
                          caplen, end_ - begin_ - kRecordHeaderLen);
            return ReadStatus::damaged;
        }
        if (map_.mapped()) {
            // The hardware prefetcher stops at page boundaries, and each new page of
            // the file then costs a wait; asking two pages ahead hides most of it.
            if (end_ - begin_ > kPrefetchAhead) __builtin_prefetch(buf_ + begin_ + kPrefetchAhead);
            if (!pages_readable(begin_, kRecordHeaderLen + caplen)) {
                os_errno_ = EIO;
                std::snprintf(error_, sizeof error_, "error reading dump file: the file shrank or its device failed");
                return ReadStatus::failed;
            }
        }
        out.data = buf_ + begin_ + kRecordHeaderLen;
        out.caplen = caplen < header_.snapshot ? caplen : header_.snapshot;
        out.wire_len = wire_len;
        out.epoch_sec = h[0];
        // libpcap reads the fraction as signed, but a swapped one as unsigned: the same here,
        // so that both readers (and the per-packet records) agree on out-of-range fractions.
        const auto frac =
            header_.swapped ? static_cast<int64_t>(h[1]) : static_cast<int64_t>(static_cast<int32_t>(h[1]));
        out.frac_ns = header_.nanosecond ? frac : frac * 1000;
        begin_ += kRecordHeaderLen + caplen;
        offset_ += kRecordHeaderLen + caplen;
        if (map_.mapped() && begin_ - released_ >= kReleaseEvery) {
            // What lies a good way behind the frame just handed out is done with.
            map_.release(released_, begin_ - kReleaseMargin);
            released_ = begin_ - kReleaseMargin;
        }
        return ReadStatus::frame;
    }

private:
    ReadStatus fail() {
        std::snprintf(error_, sizeof error_, "error reading dump file: %s", std::strerror(os_errno_));
        return ReadStatus::failed;
    }

    // Touches every page of a record, so that one the kernel cannot deliver is
    // known before the record is handed out.
    bool pages_readable(std::size_t at, std::size_t len) const noexcept {
        static const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        const volatile uint8_t* p = buf_;
        for (std::size_t off = at - at % page; off < at + len; off += page) (void)p[off < at ? at : off];
        (void)p[at + len - 1];
        return !map_.faulted();
    }

    // Makes `need` bytes from begin_ available; false at the end of the file
    // (os_errno_ 0) or when a read failed (os_errno_ set).
    bool fill(std::size_t need) {
        if (end_ - begin_ >= need) return true;
        if (map_.mapped()) return false;  // the whole file is in view
        if (begin_ > 0) {
            std::memmove(buf_, buf_ + begin_, end_ - begin_);
            end_ -= begin_;
            begin_ = 0;
        }
        while (end_ < need && !eof_) {
            const ssize_t n = ::read(fd_, buf_ + end_, kBufferSize - end_);
            if (n < 0) {
                if (errno == EINTR) continue;
                os_errno_ = errno;
                return false;
            }
            if (n == 0) eof_ = true;
            end_ += static_cast<std::size_t>(n);
        }
        return end_ >= need;
    }

    int fd_ = -1;
    FileHeader header_;
    MappedFile map_;
    uint8_t* owned_ = nullptr;  // the read(2) buffer
    uint8_t* buf_ = nullptr;    // the mapping, or owned_
    std::size_t begin_ = 0;  // the unread bytes are buf_[begin_, end_)
    std::size_t end_ = 0;
    uint64_t offset_ = 0;
    uint64_t limit_ = UINT64_MAX;
    uint64_t found_start_ = 0;
    std::size_t released_ = 0;  // mapped pages before this were given back
    bool eof_ = false;
    int os_errno_ = 0;
    char error_[160] = {};
};

}  // namespace kavrel::capture
