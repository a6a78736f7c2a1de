// The unread bytes of a capture file, for the readers that walk its records
// themselves: a regular file is mapped whole (see MappedFile) and walked in
// place, its pages given back behind the reader; anything else (a pipe,
// standard input) is read(2) into a buffer that grows to the largest record.
// Plain C++; the bytes are untrusted: callers ask for what they need first.
#pragma once

#include "capture/mapped_file.hpp"
#include "capture/stream_read.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace kavrel::capture {

class ByteWindow {
public:
    static constexpr std::size_t kBufferSize = 4 << 20;
    // A mapped file's pages behind the reader are given back in steps this large,
    // keeping a margin that the frame handed out last lies in.
    static constexpr std::size_t kReleaseEvery = 32 << 20;
    static constexpr std::size_t kReleaseMargin = 1 << 20;
    // The hardware prefetcher stops at page boundaries, and each new page of the
    // file then costs a wait; asking two pages ahead hides most of it.
    static constexpr std::size_t kPrefetchAhead = 8192;

    ByteWindow() = default;
    ByteWindow(const ByteWindow&) = delete;
    ByteWindow& operator=(const ByteWindow&) = delete;
    ~ByteWindow() { std::free(owned_); }

    // Starts at byte `offset` of `fd` (not owned; positioned there when it is
    // not a regular file), whose next `seen` bytes a stream gave already into
    // `head`. False with os_errno() when memory ran out.
    bool open(int fd, uint64_t offset, const CancelFlag* cancel = nullptr, const uint8_t* head = nullptr,
              std::size_t seen = 0) {
        fd_ = fd;
        cancel_ = cancel;
        offset_ = offset;
        os_errno_ = 0;
        struct stat st;
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) > offset &&
            map_.map(fd, static_cast<uint64_t>(st.st_size))) {
            buf_ = const_cast<uint8_t*>(map_.data());
            begin_ = released_ = offset;
            end_ = map_.size();
            eof_ = true;
            return true;
        }
        map_.unmap();
        if (!owned_) {
            if (!(owned_ = static_cast<uint8_t*>(std::malloc(kBufferSize)))) {
                os_errno_ = ENOMEM;
                return false;
            }
            capacity_ = kBufferSize;
        }
        buf_ = owned_;
        begin_ = 0;
        end_ = seen < capacity_ ? seen : capacity_;
        if (end_) std::memcpy(buf_, head, end_);
        eof_ = false;
        return true;
    }

    void close() noexcept { map_.unmap(); }

    bool mapped() const noexcept { return map_.mapped(); }
    // The whole mapped file (mapped() only): for searching it.
    const uint8_t* file_data() const noexcept { return map_.data(); }
    uint64_t file_size() const noexcept { return map_.size(); }
    // Moves the window to byte `offset`: a mapped file is read on from there
    // (nothing when it is past the end); a stream, which cannot move, ends.
    void seek(uint64_t offset) noexcept {
        offset_ = offset;
        if (map_.mapped()) {
            begin_ = released_ = offset < map_.size() ? offset : map_.size();
        } else {
            begin_ = end_ = 0;
            eof_ = true;
        }
    }

    // Byte offset in the file of the next unread byte.
    uint64_t offset() const noexcept { return offset_; }
    const uint8_t* data() const noexcept { return buf_ + begin_; }
    std::size_t available() const noexcept { return end_ - begin_; }
    int os_errno() const noexcept { return os_errno_; }
    // Whether a mapped page could not be read.
    bool faulted() const noexcept { return map_.faulted(); }

    // Makes `need` bytes available from data(); false at the end of the file
    // (os_errno() 0: fewer are left) or when a read failed (os_errno() set).
    // `limit` caps how large the read buffer may grow for one record.
    bool fill(std::size_t need, std::size_t limit = kBufferSize) {
        if (end_ - begin_ >= need) return true;
        if (map_.mapped()) return false;  // the whole file is in view
        if (begin_ > 0) {
            std::memmove(buf_, buf_ + begin_, end_ - begin_);
            end_ -= begin_;
            begin_ = 0;
        }
        if (need > capacity_ && need <= limit) {
            auto* bigger = static_cast<uint8_t*>(std::realloc(owned_, need));
            if (!bigger) {
                os_errno_ = ENOMEM;
                return false;
            }
            buf_ = owned_ = bigger;
            capacity_ = need;
        }
        while (end_ < need && !eof_ && end_ < capacity_) {
            const ssize_t n = read_some(fd_, buf_ + end_, capacity_ - end_, cancel_);
            if (n < 0) {
                os_errno_ = errno;
                return false;
            }
            if (n == 0) eof_ = true;
            end_ += static_cast<std::size_t>(n);
        }
        return end_ - begin_ >= need;
    }

    // Touches every page of the next `len` bytes (mapped only), so that one the
    // kernel cannot deliver is known before a record in it is handed out: one
    // byte a page is enough, and the first is one the reader reads anyway.
    bool readable(std::size_t len) const noexcept {
        if (!map_.mapped() || len == 0) return true;
        static const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        const volatile uint8_t* p = buf_;
        const std::size_t at = begin_;
        for (std::size_t off = at - at % page; off < at + len; off += page) (void)p[off < at ? at : off];
        return !map_.faulted();
    }

    // The next `n` bytes are read: the window moves past them. Data handed out
    // before stays valid until the next fill().
    void consume(std::size_t n) noexcept {
        const std::size_t from = begin_;
        begin_ += n;
        offset_ += n;
        if (!map_.mapped()) return;
        if (end_ - begin_ > kPrefetchAhead) {
            for (std::size_t at = (from + kPrefetchAhead) & ~std::size_t{63}; at < begin_ + kPrefetchAhead; at += 64) {
                __builtin_prefetch(buf_ + at);
            }
        }
        if (begin_ - released_ >= kReleaseEvery) {
            // What lies a good way behind the frame just handed out is done with.
            map_.release(released_, begin_ - kReleaseMargin);
            released_ = begin_ - kReleaseMargin;
        }
    }

private:
    int fd_ = -1;
    const CancelFlag* cancel_ = nullptr;
    MappedFile map_;
    uint8_t* owned_ = nullptr;  // the read(2) buffer
    std::size_t capacity_ = 0;
    uint8_t* buf_ = nullptr;    // the mapping, or owned_
    std::size_t begin_ = 0;     // the unread bytes are buf_[begin_, end_)
    std::size_t end_ = 0;
    uint64_t offset_ = 0;
    std::size_t released_ = 0;  // mapped pages before this were given back
    bool eof_ = false;
    int os_errno_ = 0;
};

}  // namespace kavrel::capture
