// The batch producer of the connection table in one pass: a capture's frames
// (frame_source.hpp) assembled into connections (frame_assembly.hpp), handed
// on in uid order into batches (connection_batches.hpp). Pipelined, the frames
// are decoded on a thread of their own (event_pipe.hpp) while this one
// assembles: the same rows, on two cores. Plain C++; the batches may be pulled
// from any thread.
#pragma once

#include "capture/frame.hpp"
#include "columnar/arrow_c.hpp"
#include "engine/connection_batches.hpp"
#include "engine/event_pipe.hpp"
#include "engine/frame_assembly.hpp"
#include "engine/frame_source.hpp"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace kavrel::engine {

class ConnectionScanner {
public:
    ConnectionScanner(std::vector<Source> sources, capture::ReadWith how, const ConnectionOptions& options,
                      bool pipelined = false)
        : frames_(std::move(sources), how), assembly_(options.timing, options.hold_bytes), batches_(options) {
        if (pipelined) pipe_ = std::make_unique<EventPipe>(frames_);
    }

    bool prepare() { return frames_.prepare(); }
    bool opens_a_stream() const noexcept { return frames_.opens_a_stream(); }
    std::vector<columnar::Field> fields() const { return batches_.fields(); }
    const std::string& error() const noexcept { return error_.empty() ? frames_.error() : error_; }
    const std::string& error_path() const noexcept { return frames_.error_path(); }
    int os_errno() const noexcept { return frames_.os_errno(); }

    // The alerts that label the rows (the first batch waits for them); nullptr
    // with `why` when they could not be read (the scan then fails).
    void set_alerts(std::shared_ptr<const labels::AlertIndex> alerts, const std::string& why = {}) {
        {
            std::lock_guard lock(mutex_);
            if (alerts) batches_.set_alerts(std::move(alerts));
            else alerts_failed_ = why.empty() ? std::string("the alerts could not be read") : why;
        }
        alerts_ready_.notify_all();
    }

    Stats stats() {
        std::lock_guard lock(mutex_);
        // Pipelined, the decoding thread's counts while it reads; before it starts and once the
        // capture is done the source is this thread's.
        const bool decoding = pipe_started_ && !capture_done_;
        Stats s = pipe_ && pipe_started_ ? pipe_->stats() : stats_;
        if (!decoding) frames_.fill(s);
        s.rows = stats_.rows;
        return s;
    }
    std::vector<Damage> damage() {
        std::lock_guard lock(mutex_);
        if (pipe_ && !capture_done_) return pipe_->damage();
        return frames_.damage();
    }
    uint64_t unmatched_alerts() {
        std::lock_guard lock(mutex_);
        return batches_.unmatched_alerts();
    }
    std::vector<uint8_t> matched_alerts() {
        std::lock_guard lock(mutex_);
        return batches_.matched_alerts();
    }

    // As Scanner::failure: the errno that ended the scan (0: none), its text; for
    // a failed read, the text without the file's name, the file and the offset.
    int failure(std::string& text, std::string& path, uint64_t& offset) {
        std::lock_guard lock(mutex_);
        if (failed_ && failed_ == frames_.failure_errno() && error_.empty()) {
            text = frames_.error_detail();
            path = frames_.error_path();
            offset = frames_.error_offset();
        } else if (failed_) {
            text = error();
        }
        return failed_;
    }

    void cancel() noexcept {
        frames_.cancel();
        alerts_ready_.notify_all();
    }

    // The next batch into `out` (out->release null when the table is done);
    // 0, or an errno with `error` set, after the rows before the failure.
    int next(ArrowArray* out, std::string& error) {
        std::unique_lock lock(mutex_);
        const int rc = produce(out, lock);
        if (rc) error = this->error();
        return rc;
    }

private:
    int produce(ArrowArray* out, std::unique_lock<std::mutex>& lock) {
        out->release = nullptr;
        if (failed_) return failed_;
        if (batches_.labelled()) {
            while (!batches_.has_alerts()) {
                if (!alerts_failed_.empty()) return fail(EINVAL, alerts_failed_);
                if (frames_.cancelled()) return fail(ECANCELED, "cancelled");
                alerts_ready_.wait_for(lock, std::chrono::milliseconds(capture::kCancelLookMs));
            }
        }
        for (;;) {
            if (pending_) {
                const ConnectionBatches::Added added = batches_.add(*pending_);
                if (added == ConnectionBatches::Added::failed) return fail(batches_.failed(), batches_.error());
                if (added == ConnectionBatches::Added::full) return take(out);
                pending_.reset();
                ++stats_.rows;
                continue;
            }
            if (assembly_.releasable()) {
                if (!assembly_.release([this](const connections::Connection& c) { pending_ = c; }, 1)) {
                    return fail(assembly_.os_errno(), assembly_.error());
                }
                if (pending_) continue;
            }
            if (capture_done_) return take(out);
            if (!(pipe_ ? read_block() : read_frame())) return failed_;
        }
    }

    // One more frame into the assembly; false with failed_ set.
    bool read_frame() {
        const Stop stop = frames_.next(frame_);
        if (stop == Stop::cancelled) return failing(ECANCELED, "cancelled");
        if (stop == Stop::frame) {
            return assembly_.add(frame_, stats_) || failing(assembly_.os_errno(), assembly_.error());
        }
        // The capture ended, or a read failed: the connections read so far end, their
        // rows come first and the failure after them.
        if (stop == Stop::failed) read_failure_ = frames_.failure_errno();
        capture_done_ = true;
        return assembly_.finish() || failing(assembly_.os_errno(), assembly_.error());
    }

    // One more block of decoded packets into the assembly; false with failed_ set.
    bool read_block() {
        if (!pipe_started_) {
            if (!pipe_->start()) return failing(EAGAIN, "the decoding thread could not be started");
            pipe_started_ = true;
        }
        // The decoding thread may have read to the end already: a cancel is looked at here too.
        const EventPipe::Block* block = pipe_->next([this] { return frames_.cancelled(); });
        if (!block || frames_.cancelled()) {
            if (block) pipe_->release();
            return failing(ECANCELED, "cancelled");
        }
        bool ok = true;
        for (const connections::PacketEvent& e : block->events) {
            if (!(ok = assembly_.add_event(e))) break;
        }
        const bool last = block->last;
        const Stop stop = block->stop;
        const int64_t tail = block->tail;
        pipe_->release();
        if (!ok) return failing(assembly_.os_errno(), assembly_.error());
        if (!last) return true;
        if (stop == Stop::cancelled) return failing(ECANCELED, "cancelled");
        if (stop == Stop::failed) read_failure_ = frames_.failure_errno();
        capture_done_ = true;
        if (tail != connections::kNoTime) assembly_.advance(tail);
        return assembly_.finish() || failing(assembly_.os_errno(), assembly_.error());
    }

    int take(ArrowArray* out) {
        if (const int rc = batches_.take(out)) return fail(rc, batches_.error());
        if (!out->release && capture_done_ && read_failure_) failed_ = read_failure_;
        return out->release ? 0 : failed_;
    }

    // A failure of the scan's own (a failed read is frames_'s, and says so itself).
    int fail(int err, const std::string& text) {
        if (!failed_) {
            failed_ = err ? err : EIO;
            error_ = text;
        }
        return failed_;
    }
    bool failing(int err, const std::string& text) {
        fail(err, text);
        return false;
    }

    FrameSource frames_;
    std::unique_ptr<EventPipe> pipe_;  // declared after frames_: it stops reading them before they go
    bool pipe_started_ = false;
    FrameAssembly assembly_;
    ConnectionBatches batches_;
    Stats stats_;
    capture::Frame frame_;
    std::optional<connections::Connection> pending_;  // released, not yet in a batch
    bool capture_done_ = false;
    int read_failure_ = 0;
    int failed_ = 0;
    std::string error_;
    std::string alerts_failed_;
    std::condition_variable alerts_ready_;
    std::mutex mutex_;
};

}  // namespace kavrel::engine
