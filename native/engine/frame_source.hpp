// Capture files read in order as one capture, frame by frame: every file opened
// first (so that what cannot be read is refused before any row), damage noted
// at its byte offset and the next file read, a failed read ending the capture
// after the frames before it. Every table the engine builds reads its frames
// from one of these. Plain C++; not thread-safe (its owner locks).
#pragma once

#include "capture/capture_file.hpp"
#include "capture/frame.hpp"
#include "capture/stream_read.hpp"
#include "decode/packet_view.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace kavrel::engine {

struct Source {
    std::string path;  // "-": standard input
    uint64_t start = 0;  // first record's byte offset; 0: the file's first record
    uint64_t limit = UINT64_MAX;  // records starting here or later belong to someone else
    bool guess = false;  // `start` is only near a record: the first plausible one is found
};

// A file the capture could not be read to its end in: the frames before stand.
struct Damage {
    std::string path;
    uint64_t offset;   // byte offset of the unreadable record
    std::string text;  // libpcap's words for it
};

// What the frames of a capture were, and how far it is read.
struct Stats {
    uint64_t frames = 0;            // frames read
    uint64_t rows = 0;              // rows built
    uint64_t not_ip = 0;            // skipped: the link layer carries something else
    uint64_t unsupported_link = 0;  // skipped: no decoder for the file's link type
    uint64_t cut = 0;               // skipped: cut inside the link or fixed IP header
    uint64_t bytes_done = 0;        // bytes of the files read so far
    uint64_t bytes_total = 0;       // size of the regular files among them
    uint64_t files_done = 0;
};

// A frame that decoded to no IP packet, counted by why.
inline void count_skipped(Stats& s, decode::Outcome outcome) noexcept {
    switch (outcome) {
    case decode::Outcome::not_ip: ++s.not_ip; break;
    case decode::Outcome::cut: ++s.cut; break;
    case decode::Outcome::unsupported_link: ++s.unsupported_link; break;
    case decode::Outcome::ip: break;
    }
}

// Why reading stopped: the capture ended, a read failed, or the reader was cancelled.
enum class Stop : uint8_t { frame, end, failed, cancelled };

class FrameSource {
public:
    FrameSource(std::vector<Source> sources, capture::ReadWith how) : sources_(std::move(sources)), how_(how) {}

    // Opens every source once, so that a missing file or one that is not a
    // capture is refused before any row is built; the first stays open. False
    // with error_path(), error() and os_errno() set.
    bool prepare() {
        // Standard input cannot be opened twice: it comes first or not at all.
        for (std::size_t i = 1; i < sources_.size(); ++i) {
            if (sources_[i].path == "-") {
                error_ = "standard input can only be the first capture";
                error_path_ = sources_[i].path;
                return false;
            }
        }
        for (std::size_t i = 0; i < sources_.size(); ++i) {
            const Source& s = sources_[i];
            capture::CaptureFile probe;
            capture::CaptureFile& f = i == 0 ? file_ : probe;
            f.set_cancel(&cancel_);
            if (!f.open(s.path, how_, s.start, s.limit, s.guess)) {
                error_ = f.error();
                os_errno_ = f.os_errno();
                error_path_ = s.path;
                file_.close();
                return false;
            }
            bytes_total_ += s.limit != UINT64_MAX ? s.limit - s.start : f.size();
        }
        current_ = 0;
        first_start_ = file_.found_start();
        return true;
    }

    // Whether opening may wait: a source is standard input, a pipe or a device, whose first
    // bytes come when they come (a regular file's are there).
    bool opens_a_stream() const noexcept {
        for (const Source& s : sources_) {
            struct stat st;
            if (s.path == "-" || (::stat(s.path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))) return true;
        }
        return false;
    }

    // The next frame of the capture (valid until the next call). Damage is noted
    // and the next file read; a failed read stops it (error(), failure_errno()).
    Stop next(capture::Frame& frame) {
        while (current_ < sources_.size()) {
            const capture::ReadStatus status = file_.next(frame);
            if (status == capture::ReadStatus::frame) {
                if ((++frames_ & kCancelLookEvery) == 0 && cancelled()) return Stop::cancelled;
                return Stop::frame;
            }
            if (status == capture::ReadStatus::failed) {
                failure_ = file_.os_errno() ? file_.os_errno() : EIO;
                failed_at(sources_[current_].path, file_.error(), file_.offset());
                if (failure_ == ECANCELED && cancelled()) return Stop::cancelled;
                finish_current();
                current_ = sources_.size();
                return Stop::failed;
            }
            if (status == capture::ReadStatus::damaged) {
                damage_.push_back({sources_[current_].path, file_.offset(), file_.error()});
            }
            if (!advance()) return failure_ ? Stop::failed : Stop::end;
        }
        return failure_ ? Stop::failed : Stop::end;
    }

    // Makes a read, and every later one, stop (Stop::cancelled) as soon as it can;
    // a read waiting on a pipe gives up within capture::kCancelLookMs. Any thread.
    void cancel() noexcept { cancel_.store(true, std::memory_order_relaxed); }
    bool cancelled() const noexcept { return cancel_.load(std::memory_order_relaxed); }

    // Frames read so far, and the bytes of the files: into a Stats.
    void fill(Stats& s) const noexcept {
        s.frames = frames_;
        s.bytes_total = bytes_total_;
        s.files_done = files_done_;
        s.bytes_done = bytes_done_;
        if (current_ < sources_.size()) s.bytes_done += file_.offset() - sources_[current_].start;
    }
    uint64_t frames() const noexcept { return frames_; }
    const std::vector<Damage>& damage() const noexcept { return damage_; }

    // Where the first source's records began and where its reading ended (the
    // next record's offset, or where the file ended or was damaged): a shard's bounds.
    std::pair<uint64_t, uint64_t> bounds() const noexcept { return {first_start_, first_end_}; }

    const std::string& error() const noexcept { return error_; }
    const std::string& error_path() const noexcept { return error_path_; }
    // What went wrong with the read that failed, without the file's name.
    const std::string& error_detail() const noexcept { return error_detail_; }
    uint64_t error_offset() const noexcept { return error_offset_; }
    int os_errno() const noexcept { return os_errno_; }
    // The errno of the read that failed (0: none did).
    int failure_errno() const noexcept { return failure_; }

private:
    // Frames between two looks at the cancel flag: a mapped file reads this many in well under a millisecond.
    static constexpr uint64_t kCancelLookEvery = 4095;

    void finish_current() noexcept {
        if (current_ == 0) first_end_ = file_.offset();
        bytes_done_ += file_.offset() - sources_[current_].start;
        ++files_done_;
        file_.close();
    }

    // The current file is done: opens the next one. False when none is left
    // or the next cannot be opened (a failure then).
    bool advance() {
        finish_current();
        if (++current_ >= sources_.size()) return false;
        const Source& s = sources_[current_];
        file_.set_cancel(&cancel_);
        if (!file_.open(s.path, how_, s.start, s.limit, s.guess)) {
            failure_ = file_.os_errno() ? file_.os_errno() : EINVAL;
            failed_at(s.path, file_.error(), 0);
            current_ = sources_.size();
            return false;
        }
        return true;
    }

    // error() "path: text (at byte N)", error_detail() the same without "path: "; no
    // offset when `offset` is 0.
    void failed_at(const std::string& path, const char* text, uint64_t offset) {
        char at[48] = "";
        if (offset) std::snprintf(at, sizeof at, " (at byte %llu)", static_cast<unsigned long long>(offset));
        error_detail_.assign(text).append(at);
        error_.assign(path).append(": ").append(error_detail_);
        error_path_ = path;
        error_offset_ = offset;
    }

    std::vector<Source> sources_;
    capture::ReadWith how_;
    capture::CaptureFile file_;
    std::size_t current_ = 0;
    uint64_t first_start_ = 0;
    uint64_t first_end_ = UINT64_MAX;
    uint64_t frames_ = 0;
    uint64_t bytes_total_ = 0;
    uint64_t bytes_done_ = 0;
    uint64_t files_done_ = 0;
    std::vector<Damage> damage_;
    capture::CancelFlag cancel_{false};
    std::string error_;
    std::string error_path_;
    std::string error_detail_;
    uint64_t error_offset_ = 0;
    int os_errno_ = 0;
    int failure_ = 0;
};

}  // namespace kavrel::engine
