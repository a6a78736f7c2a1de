// Ended connections back in uid order. Connections end in any order, but a
// file's table is in uid order: a row is handed on once no open connection
// precedes it (its uid is below the assembler's oldest_open_uid()), which one
// long connection can delay to the end of the capture. Beyond a byte bound
// the rows held go, sorted, to an unlinked temporary file as one run; runs
// of one size are merged eight at a time (so a few dozen runs cover any
// capture) and the released rows come back merged from memory and the runs.
// Memory stays at the bound plus a small buffer per run.
#pragma once

#include "connections/assembler.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace kavrel::connections {

class OrderedRows {
public:
    explicit OrderedRows(std::size_t byte_bound) noexcept : bound_(byte_bound) {}
    OrderedRows(const OrderedRows&) = delete;
    OrderedRows& operator=(const OrderedRows&) = delete;
    ~OrderedRows() {
        if (fd_ >= 0) ::close(fd_);
    }

    // Holds `row` until release() may hand it on. False once writing to or
    // creating the temporary file has failed (os_errno(), error()); the rows
    // stay held in memory then, none is lost.
    bool push(const Connection& row) {
        if (!failed_ && held_bytes() + sizeof row > bound_) spill();
        if (memory_.size() == memory_.capacity()) {
            try {
                memory_.reserve(std::max<std::size_t>(64, 2 * memory_.capacity()));
            } catch (const std::bad_alloc&) {
                // Room comes from writing the rows held so far out, if it can.
                if (failed_ || memory_.empty() || !spill()) return fail_now(ENOMEM, "holding a row");
            }
        }
        memory_.push_back(row);  // room made above
        std::push_heap(memory_.begin(), memory_.end(), LaterUid{});
        return !failed_;
    }

    // Hands every held row with a uid below `bound` to emit(const Connection&),
    // in uid order, `most` of them at the most. False when reading the
    // temporary file back failed.
    template <class Emit>
    bool release(uint64_t bound, Emit&& emit, std::size_t most = SIZE_MAX) {
        for (; most; --most) {
            // The lowest uid held: memory's top or a run's head (every run has one).
            bool any = !memory_.empty();
            uint64_t lowest = any ? memory_.front().uid : 0;
            Run* run = nullptr;
            for (Run& r : runs_) {
                if (!any || r.head().uid < lowest) {
                    lowest = r.head().uid;
                    run = &r;
                    any = true;
                }
            }
            if (!any || lowest >= bound) return true;
            if (!run) {
                std::pop_heap(memory_.begin(), memory_.end(), LaterUid{});
                const Connection row = memory_.back();
                memory_.pop_back();
                emit(static_cast<const Connection&>(row));
                continue;
            }
            const Connection row = run->head();
            if (!advance(*run)) return false;
            emit(static_cast<const Connection&>(row));
        }
        return true;
    }

    // The lowest uid held, UINT64_MAX when none is.
    uint64_t lowest() const noexcept {
        uint64_t out = memory_.empty() ? UINT64_MAX : memory_.front().uid;
        for (const Run& r : runs_) out = std::min(out, r.head().uid);
        return out;
    }

    // Hands on every row still held, in uid order.
    template <class Emit>
    bool finish(Emit&& emit) {
        return release(UINT64_MAX, emit);
    }

    std::size_t held() const noexcept {
        std::size_t n = memory_.size();
        for (const Run& r : runs_) n += static_cast<std::size_t>(r.count - r.next + r.buffered());
        return n;
    }
    std::size_t runs() const noexcept { return runs_.size(); }
    bool failed() const noexcept { return failed_; }
    int os_errno() const noexcept { return errno_; }
    // What failed: "creating the temporary file", "writing ...", "reading ...", "holding a row".
    const char* error() const noexcept { return what_; }

private:
    static constexpr std::size_t kRunBuffer = 64;  // rows read back at a time, per run
    static constexpr std::size_t kFanIn = 8;

    // A sorted stretch of the file: rows [next, count) not yet in the buffer.
    struct Run {
        uint64_t offset = 0;  // of its first row
        uint64_t count = 0;
        uint64_t next = 0;    // rows already read into the buffer
        uint32_t level = 0;   // merged from kFanIn^level spills
        std::vector<Connection> buffer;
        std::size_t pos = 0;  // first unreleased row of the buffer

        std::size_t buffered() const noexcept { return buffer.size() - pos; }
        const Connection& head() const noexcept { return buffer[pos]; }
    };

    struct LaterUid {
        bool operator()(const Connection& a, const Connection& b) const noexcept { return a.uid > b.uid; }
    };

    std::size_t held_bytes() const noexcept { return memory_.size() * sizeof(Connection); }

    bool fail_now(int err, const char* what) noexcept {
        failed_ = true;
        errno_ = err;
        what_ = what;
        return false;
    }

    bool open_file() {
        const char* dir = std::getenv("TMPDIR");
        if (!dir || !*dir) dir = "/tmp";
        fd_ = ::open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        if (fd_ < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
            // A file system without unnamed files: a named one, unlinked at once.
            std::string path = std::string(dir) + "/kavrel-rows-XXXXXX";
            fd_ = ::mkostemp(path.data(), O_CLOEXEC);
            if (fd_ >= 0) ::unlink(path.c_str());
        }
        if (fd_ < 0) return fail_now(errno, "creating the temporary file");
        return true;
    }

    bool write_at(uint64_t offset, const Connection* rows, std::size_t n) noexcept {
        const char* p = reinterpret_cast<const char*>(rows);
        std::size_t left = n * sizeof(Connection);
        while (left) {
            const ssize_t w = ::pwrite(fd_, p, left, static_cast<off_t>(offset));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return fail_now(w < 0 ? errno : ENOSPC, "writing the temporary file");
            p += w;
            offset += static_cast<uint64_t>(w);
            left -= static_cast<std::size_t>(w);
        }
        return true;
    }

    // The next rows of `run` into its buffer (empty at its end).
    bool refill(Run& run) {
        const std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(kRunBuffer, run.count - run.next));
        run.buffer.resize(n);
        run.pos = 0;
        char* p = reinterpret_cast<char*>(run.buffer.data());
        std::size_t left = n * sizeof(Connection);
        uint64_t offset = run.offset + run.next * sizeof(Connection);
        while (left) {
            const ssize_t r = ::pread(fd_, p, left, static_cast<off_t>(offset));
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) return fail_now(r < 0 ? errno : EIO, "reading the temporary file");
            p += r;
            offset += static_cast<uint64_t>(r);
            left -= static_cast<std::size_t>(r);
        }
        run.next += n;
        return true;
    }

    // Past the head of `run`; an exhausted run is dropped and its space given back.
    bool advance(Run& run) {
        if (++run.pos < run.buffer.size()) return true;
        if (run.next < run.count) return refill(run);
        release_space(run);
        runs_.erase(runs_.begin() + (&run - runs_.data()));
        return true;
    }

    void release_space(const Run& run) noexcept {
        const uint64_t bytes = run.count * sizeof(Connection);
        if (bytes) ::fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(run.offset),
                               static_cast<off_t>(bytes));  // a file system that cannot just keeps the bytes
    }

    // The rows in memory out to the file as a run, then runs of one level
    // merged. On failure every row stays where it was.
    bool spill() {
        if (memory_.empty()) return true;
        try {
            if (fd_ < 0 && !open_file()) return false;
            std::sort(memory_.begin(), memory_.end(),
                      [](const Connection& a, const Connection& b) { return a.uid < b.uid; });
            if (!write_at(end_, memory_.data(), memory_.size())) {
                std::make_heap(memory_.begin(), memory_.end(), LaterUid{});
                return false;
            }
            Run run;
            run.offset = end_;
            run.count = memory_.size();
            end_ += run.count * sizeof(Connection);
            runs_.push_back(std::move(run));
            memory_.clear();
            if (!refill(runs_.back())) return false;
            while (runs_.size() >= kFanIn) {
                const std::size_t first = runs_.size() - kFanIn;
                if (runs_[first].level != runs_.back().level) break;
                bool same = true;
                for (std::size_t i = first; i < runs_.size(); ++i) same = same && runs_[i].level == runs_.back().level;
                if (!same || !merge(first)) break;
            }
        } catch (const std::bad_alloc&) {
            return fail_now(ENOMEM, "holding a row");
        }
        return !failed_;
    }

    // Runs [first, end) merged into one run of the next level at the file's end.
    bool merge(std::size_t first) {
        std::vector<Connection> out;
        out.reserve(kRunBuffer * kFanIn);
        const uint64_t offset = end_;
        uint64_t written = 0;
        const uint32_t level = runs_.back().level + 1;
        // Merge from copies of the runs' cursors: on a failure the runs themselves are untouched.
        std::vector<Run> from(runs_.begin() + static_cast<std::ptrdiff_t>(first), runs_.end());
        for (;;) {
            Run* min = nullptr;
            for (Run& r : from) {
                if (r.buffered() && (!min || r.head().uid < min->head().uid)) min = &r;
            }
            if (!min || out.size() == out.capacity()) {
                if (!write_at(offset + written * sizeof(Connection), out.data(), out.size())) return false;
                written += out.size();
                out.clear();
                if (!min) break;
            }
            out.push_back(min->head());
            if (++min->pos == min->buffer.size() && min->next < min->count && !refill(*min)) return false;
        }
        for (std::size_t i = first; i < runs_.size(); ++i) release_space(runs_[i]);
        runs_.resize(first);
        Run merged;
        merged.offset = offset;
        merged.count = written;
        merged.level = level;
        end_ = offset + written * sizeof(Connection);
        runs_.push_back(std::move(merged));
        return refill(runs_.back());  // the runs merged held rows: so does this one
    }

    std::size_t bound_;
    std::vector<Connection> memory_;  // a heap, the lowest uid on top
    std::vector<Run> runs_;
    int fd_ = -1;
    uint64_t end_ = 0;  // where the next run is written
    bool failed_ = false;
    int errno_ = 0;
    const char* what_ = "";
};

}  // namespace kavrel::connections
