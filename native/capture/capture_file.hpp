// A capture file as a stream of frames: classic pcap files are walked by
// ClassicPcapReader and pcapng files by PcapngReader; anything else, and
// every file when libpcap is asked for by name, is read by libpcap with
// nanosecond timestamps. "-" is standard input.
#pragma once

#include "capture/classic_pcap.hpp"
#include "capture/frame.hpp"
#include "capture/pcapng.hpp"
#include "capture/stream_read.hpp"

#include <fcntl.h>
#include <pcap/pcap.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <new>
#include <string>

namespace kavrel::capture {

// Who walks the records: automatic is kavrel's own readers for classic pcap
// and pcapng files and libpcap for the rest; libpcap can also be asked for by
// name (the reference the own readers are tested against).
enum class ReadWith : uint8_t { automatic, libpcap };

class CaptureFile {
public:
    CaptureFile() = default;
    CaptureFile(const CaptureFile&) = delete;
    CaptureFile& operator=(const CaptureFile&) = delete;
    ~CaptureFile() { close(); }

    // Opens `path`, positioned at its first record, or at `start` (a record
    // boundary of a classic file) when not 0; records starting at or after
    // `limit` are not read. False with error() set: os_errno() non-zero when
    // the system refused, 0 when the file is not a capture.
    // With `guess`, `start` is only near a record (see ClassicPcapReader::start).
    bool open(const std::string& path, ReadWith how = ReadWith::automatic, uint64_t start = 0,
              uint64_t limit = UINT64_MAX, bool guess = false) {
        close();
        os_errno_ = 0;
        error_.clear();
        path_ = path;
        limit_ = limit;
        stdin_ = path == "-";
        fd_ = stdin_ ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0) return system_error(errno);
        struct stat st;
        if (::fstat(fd_, &st) == 0) {
            if (S_ISDIR(st.st_mode)) return system_error(EISDIR);
            size_ = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
        }
        uint8_t head[kFileHeaderLen];
        const std::size_t got = read_fully(head, sizeof head);
        if (os_errno_) return system_error(os_errno_);
        FileHeader header;
        const char* why = nullptr;
        if (how == ReadWith::automatic && got == sizeof head && is_classic_magic(head) &&
            parse_file_header(head, header, why)) {
            linktype_ = static_cast<int>(header.linktype);
            const uint64_t first = start ? start : kFileHeaderLen;
            if (first != kFileHeaderLen && ::lseek(fd_, static_cast<off_t>(first), SEEK_SET) < 0) return system_error(errno);
            if (!classic_.start(fd_, header, first, limit, guess, cancel_)) return system_error(classic_.os_errno());
            walker_ = Walker::classic;
            return true;
        }
        if (how == ReadWith::automatic && got >= 4 && pcapng::is_magic(head) && start == 0) {
            // A stream cannot go back: the bytes already taken from it are handed on.
            const bool rewound = ::lseek(fd_, 0, SEEK_SET) == 0;
            const bool opened = pcapng_.start(fd_, head, rewound ? 0 : got, cancel_);
            walker_ = Walker::pcapng;  // so that close() stops it
            if (!opened) {
                if (pcapng_.os_errno()) return system_error(pcapng_.os_errno());
                error_ = pcapng_.error();
                close();
                return false;
            }
            linktype_ = pcapng_.linktype();
            return true;
        }
        return open_libpcap(head, got, start);
    }

    // Reads of a pipe or terminal give up (a failure with ECANCELED) once
    // `cancel` is set; set before open().
    void set_cancel(const CancelFlag* cancel) noexcept { cancel_ = cancel; }

    void close() noexcept {
        classic_.stop();
        pcapng_.stop();
        if (pcap_) pcap_close(pcap_);  // closes the FILE and with it fd_
        else if (fd_ >= 0 && !stdin_) ::close(fd_);
        pcap_ = nullptr;
        fd_ = -1;
        walker_ = Walker::libpcap;
        damaged_at_ = UINT64_MAX;
    }

    const std::string& path() const noexcept { return path_; }
    // Where the first record read starts (a guessed start: where it was found;
    // UINT64_MAX when none was).
    uint64_t found_start() const noexcept { return walker_ == Walker::classic ? classic_.found_start() : 0; }
    // The link type of the file (of its first interface, for pcapng); every frame carries its own.
    int linktype() const noexcept { return linktype_; }
    uint64_t size() const noexcept { return size_; }  // 0 when not a regular file
    const char* error() const noexcept { return error_.c_str(); }
    int os_errno() const noexcept { return os_errno_; }

    // Bytes of the file consumed so far (where the next record starts); after
    // damage, where the damaged record starts.
    uint64_t offset() const noexcept {
        if (walker_ == Walker::classic) return classic_.offset();
        if (walker_ == Walker::pcapng) return pcapng_.offset();
        if (damaged_at_ != UINT64_MAX) return damaged_at_;
        if (pcap_) {
            const long pos = std::ftell(pcap_file(pcap_));
            return pos < 0 ? 0 : static_cast<uint64_t>(pos);
        }
        return 0;
    }

    ReadStatus next(Frame& out) {
        if (walker_ == Walker::classic) return walked(classic_.next(out), classic_);
        if (walker_ == Walker::pcapng) return walked(pcapng_.next(out), pcapng_);
        // libpcap leaves the stream wherever a bad record stopped it: where it began is kept.
        const uint64_t at = offset();
        if (limit_ != UINT64_MAX && at >= limit_) return ReadStatus::end;
        pcap_pkthdr* header;
        const u_char* bytes;
        const int rc = pcap_next_ex(pcap_, &header, &bytes);
        if (rc == 1) {
            out.data = bytes;
            out.caplen = header->caplen;
            out.wire_len = header->len;
            // libpcap widens a classic file's 32-bit field with its sign; pcapng's is 64-bit.
            out.epoch_sec = libpcap_classic_ ? static_cast<uint32_t>(header->ts.tv_sec)
                                             : static_cast<int64_t>(header->ts.tv_sec);
            out.frac_ns = header->ts.tv_usec;  // nanoseconds: opened at that precision
            out.linktype = linktype_;
            return ReadStatus::frame;
        }
        if (rc == PCAP_ERROR_BREAK) return ReadStatus::end;
        const int saved = errno;
        error_ = pcap_geterr(pcap_);
        // libpcap says "error reading dump file" when the stream failed, not the file's content.
        if (std::ferror(pcap_file(pcap_))) {
            os_errno_ = saved ? saved : EIO;
            return ReadStatus::failed;
        }
        damaged_at_ = at;
        return ReadStatus::damaged;
    }

private:
    enum class Walker : uint8_t { libpcap, classic, pcapng };

    template <class Reader>
    ReadStatus walked(ReadStatus s, const Reader& reader) {
        if (s == ReadStatus::damaged || s == ReadStatus::failed) {
            error_ = reader.error();
            os_errno_ = reader.os_errno();
        }
        return s;
    }

    bool system_error(int err) {
        os_errno_ = err;
        error_ = std::strerror(err);
        close();
        return false;
    }

    std::size_t read_fully(uint8_t* out, std::size_t n) {
        std::size_t got = 0;
        while (got < n) {
            const ssize_t r = read_some(fd_, out + got, n - got, cancel_);
            if (r < 0) {
                os_errno_ = errno;
                break;
            }
            if (r == 0) break;
            got += static_cast<std::size_t>(r);
        }
        return got;
    }

    // libpcap reads what is not a classic file, from the start: a regular file
    // is rewound; a pipe replays the bytes already taken from it.
    bool open_libpcap(const uint8_t* head, std::size_t got, uint64_t start) {
        FILE* fp = nullptr;
        if (!stdin_ && ::lseek(fd_, 0, SEEK_SET) == 0) {
            fp = ::fdopen(fd_, "rb");
        } else {
            fp = replaying_stream(head, got);
        }
        if (!fp) return system_error(errno ? errno : ENOMEM);
        char errbuf[PCAP_ERRBUF_SIZE] = {};
        pcap_ = pcap_fopen_offline_with_tstamp_precision(fp, PCAP_TSTAMP_PRECISION_NANO, errbuf);
        if (!pcap_) {
            std::fclose(fp);  // and with it fd_
            fd_ = -1;
            error_ = errbuf;
            os_errno_ = 0;
            return false;
        }
        linktype_ = pcap_datalink(pcap_);
        libpcap_classic_ = got >= 4 && is_classic_magic(head);
        if (start && std::fseek(pcap_file(pcap_), static_cast<long>(start), SEEK_SET) != 0) return system_error(errno);
        return true;
    }

    // A stream that first gives `head`, then reads fd_.
    FILE* replaying_stream(const uint8_t* head, std::size_t got) {
        struct Replay {
            int fd;
            const CancelFlag* cancel;
            uint8_t head[kFileHeaderLen];
            std::size_t len, pos;
        };
        auto* r = new (std::nothrow) Replay{fd_, cancel_, {}, got, 0};
        if (!r) return nullptr;
        std::memcpy(r->head, head, got);
        cookie_io_functions_t io{};
        io.read = [](void* c, char* buf, size_t size) -> ssize_t {
            auto* rp = static_cast<Replay*>(c);
            if (rp->pos < rp->len) {
                const std::size_t n = std::min(size, rp->len - rp->pos);
                std::memcpy(buf, rp->head + rp->pos, n);
                rp->pos += n;
                return static_cast<ssize_t>(n);
            }
            return read_some(rp->fd, buf, size, rp->cancel);
        };
        io.close = [](void* c) -> int {
            delete static_cast<Replay*>(c);
            return 0;
        };
        FILE* fp = ::fopencookie(r, "rb", io);
        if (!fp) delete r;
        return fp;
    }

    std::string path_;
    bool stdin_ = false;
    int fd_ = -1;
    uint64_t size_ = 0;
    uint64_t limit_ = UINT64_MAX;
    int linktype_ = -1;
    Walker walker_ = Walker::libpcap;
    const CancelFlag* cancel_ = nullptr;
    bool libpcap_classic_ = false;  // a classic file read by libpcap
    uint64_t damaged_at_ = UINT64_MAX;  // where libpcap met a bad record
    ClassicPcapReader classic_;
    PcapngReader pcapng_;
    pcap_t* pcap_ = nullptr;
    std::string error_;
    int os_errno_ = 0;
};

}  // namespace kavrel::capture
