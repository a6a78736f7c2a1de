// The live batch producer: one capture device read into rows of the packets,
// features or connection table, a batch handed over when it is full or old
// enough. Plain C++ (no interpreter): the caller says whether to go on, so
// batches can be pulled by an interpreter's thread or by any consumer of the
// Arrow C stream.
#pragma once

#include "capture/classic_pcap.hpp"
#include "capture/frame.hpp"
#include "columnar/arrow_c.hpp"
#include "decode/packet_view.hpp"
#include "engine/live_connections.hpp"
#include "engine/tables.hpp"
#include "features/destination_table.hpp"
#include "pcap/source.hpp"

#include <pcap/pcap.h>
#include <poll.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kavrel::engine {

// The kernel's capture buffer unless told: 16 times libpcap's default, so that a
// consumer's pause (an hour's file closed and the next opened) costs no frames.
inline constexpr int kDefaultBufferBytes = 32 << 20;

enum class LiveTable : uint8_t { packets, features, connections };

struct LiveSettings {
    std::string device;
    std::string filter;  // a BPF expression; empty: every frame
    int snaplen = static_cast<int>(capture::kMaxCaplen);
    bool promiscuous = true;
    int buffer_bytes = kDefaultBufferBytes;  // 0: libpcap's default
    bool immediate = false;
    std::size_t batch_rows = kDefaultBatchRows;
    int64_t batch_ns = 1'000'000'000;  // a batch's age at which it goes out, from its first row
    LiveTable table = LiveTable::features;
    std::vector<int> packet_columns;         // packets and features
    LiveConnectionSettings connections;      // connections
};

struct LiveStats {
    // pcap_stats, read at every batch and at the end. libpcap's counters are
    // 32-bit and wrap within hours on a busy link: these add up their steps.
    uint64_t received = 0;
    uint64_t dropped = 0;     // by the kernel: the capture buffer was full
    uint64_t if_dropped = 0;  // by the interface or its driver
    uint64_t frames = 0;      // frames read
    uint64_t rows = 0;        // rows built
};

enum class LiveStatus : uint8_t {
    batch,        // `out` holds a batch; the capture goes on
    end,          // stopped (stop() or close()); `out` may hold the rows read before
    interrupted,  // the caller's keep_going() said no; `out` may hold the rows read before
    failed,       // the device failed (error()); `out` may hold the rows read before
};

// What the frames of a live capture become: rows of one table, built into a
// batch at a time. A frame of the packets and features tables is at most one
// row, there at once; connection rows wait for their connections to end.
class LiveRows {
public:
    virtual ~LiveRows() = default;
    virtual std::vector<columnar::Field> fields() const = 0;
    // One frame; false once rows can no longer be made (error()).
    virtual bool add(const capture::Frame& frame) = 0;
    // No frame still to come is stamped before `clock_ns`.
    virtual bool quiet(int64_t clock_ns) = 0;
    virtual bool waits_for_time() const noexcept = 0;  // whether quiet() can make rows
    // The capture has ended.
    virtual bool finish() = 0;
    virtual bool ready() const noexcept = 0;     // rows wait that are not in the batch
    virtual bool fill(std::size_t most) = 0;     // moves them in until it holds `most`
    virtual bool start(std::size_t rows) noexcept = 0;
    virtual int64_t rows() const noexcept = 0;  // in the batch
    virtual bool export_batch(ArrowArray* out) noexcept = 0;
    virtual uint64_t rows_made() const noexcept = 0;
    virtual std::string error() const = 0;
};

class PacketRows final : public LiveRows {
public:
    PacketRows(bool features, std::vector<int> columns) : features_(features), table_(features, std::move(columns)) {}

    std::vector<columnar::Field> fields() const override { return table_.fields(); }
    bool add(const capture::Frame& frame) override {
        decode::PacketView view;
        if (decode::decode_frame(frame.linktype, decode::Reader(frame.data, frame.caplen), view) != decode::Outcome::ip) {
            return true;
        }
        uint32_t count = 0;
        if (features_ && !(count = counts_.count_live(view.ip.version, view.ip.dst, frame.seconds()))) return false;
        if (!table_.add(frame, view, count)) return false;
        ++rows_;
        return true;
    }
    bool quiet(int64_t) override { return true; }
    bool waits_for_time() const noexcept override { return false; }
    bool finish() override { return true; }
    bool ready() const noexcept override { return false; }
    bool fill(std::size_t) override { return true; }
    bool start(std::size_t rows) noexcept override { return table_.start(rows); }
    int64_t rows() const noexcept override { return table_.rows(); }
    bool export_batch(ArrowArray* out) noexcept override { return table_.export_batch(out); }
    uint64_t rows_made() const noexcept override { return rows_; }
    std::string error() const override { return "out of memory"; }

private:
    bool features_;
    TableBuilder table_;
    features::DestinationTable counts_;
    uint64_t rows_ = 0;
};

class ConnectionRows final : public LiveRows {
public:
    explicit ConnectionRows(const LiveConnectionSettings& settings) : connections_(settings) {}

    std::vector<columnar::Field> fields() const override { return connections_.fields(); }
    bool add(const capture::Frame& frame) override { return connections_.add(frame); }
    bool quiet(int64_t clock_ns) override { return connections_.quiet(clock_ns); }
    bool waits_for_time() const noexcept override { return true; }
    bool finish() override { return connections_.finish(); }
    bool ready() const noexcept override { return connections_.ready(); }
    bool fill(std::size_t most) override { return connections_.fill(most); }
    bool start(std::size_t rows) noexcept override { return connections_.start(rows); }
    int64_t rows() const noexcept override { return connections_.rows(); }
    bool export_batch(ArrowArray* out) noexcept override { return connections_.export_batch(out); }
    uint64_t rows_made() const noexcept override { return connections_.rows_made(); }
    std::string error() const override { return connections_.error(); }

private:
    LiveConnections connections_;
};

inline std::unique_ptr<LiveRows> live_rows(const LiveSettings& settings) {
    if (settings.table == LiveTable::connections) return std::make_unique<ConnectionRows>(settings.connections);
    return std::make_unique<PacketRows>(settings.table == LiveTable::features, settings.packet_columns);
}

// The capture's clock while the link is quiet. Frames are stamped by the
// system clock as they arrive and reach this process within a buffer block's
// timeout, so once a read finds nothing, every frame still to come is stamped
// no earlier than a little before that read began. That moment is known two
// ways: by the system clock, and by the latest frame's stamp carried on by
// the monotonic clock. The earlier of the two stays behind every frame to
// come whether the system clock is stepped forward (the carried stamp is then
// the earlier) or back (the system clock is), and whatever clock the device
// stamps by. Ending connections at this clock ends exactly those that the
// next frame would end, unless a frame reaches the capture later than
// `margin_ns` after its stamp.
class QuietClock {
public:
    explicit QuietClock(int64_t margin_ns) noexcept : margin_ns_(margin_ns) {}

    // Frames were read, the last one stamped `stamp_ns`, by `monotonic_ns`.
    void read(int64_t stamp_ns, int64_t monotonic_ns) noexcept {
        stamp_ns_ = stamp_ns;
        read_at_ns_ = monotonic_ns;
        seen_ = true;
    }

    // The clock for a read begun at these times that found nothing.
    int64_t at(int64_t realtime_ns, int64_t monotonic_ns) const noexcept {
        if (!seen_) return std::numeric_limits<int64_t>::min();
        const int64_t carried = stamp_ns_ + (monotonic_ns - read_at_ns_);
        return std::min(realtime_ns, carried) - margin_ns_;
    }

private:
    int64_t margin_ns_;
    int64_t stamp_ns_ = 0;
    int64_t read_at_ns_ = 0;
    bool seen_ = false;
};

class LiveScanner {
public:
    explicit LiveScanner(LiveSettings settings)
        : settings_(std::move(settings)), rows_(live_rows(settings_)), quiet_clock_(late_frame_margin_ns()) {}
    LiveScanner(const LiveScanner&) = delete;
    LiveScanner& operator=(const LiveScanner&) = delete;
    ~LiveScanner() {
        stop();
        std::lock_guard lock(mutex_);
        close_handle();  // nobody is left to take the rows of the connections still open
    }

    // Opens and activates the device and sets the filter, before any frame is
    // read. False with error() (libpcap's words, without the device's name) and
    // open_status(): libpcap's PCAP_ERROR_* code, or kBadFilter when the filter
    // does not compile.
    static constexpr int kBadFilter = 1;
    bool open() {
        std::lock_guard lock(mutex_);
        char errbuf[PCAP_ERRBUF_SIZE], detail[PCAP_ERRBUF_SIZE];
        int status;
        const pcap::LiveOptions options{settings_.snaplen, settings_.promiscuous, block_timeout_ms(),
                                        settings_.buffer_bytes, settings_.immediate, true};
        pcap_t* h = pcap::open_live(settings_.device.c_str(), options, errbuf, &status, detail);
        if (!h) return open_failed(status, detail);
        nanoseconds_ = pcap_get_tstamp_precision(h) == PCAP_TSTAMP_PRECISION_NANO;
        linktype_ = pcap_datalink(h);
        if (!settings_.filter.empty()) {
            bpf_u_int32 net = 0, mask = PCAP_NETMASK_UNKNOWN;
            if (pcap_lookupnet(settings_.device.c_str(), &net, &mask, errbuf) != 0) mask = PCAP_NETMASK_UNKNOWN;
            bpf_program program;
            if (pcap_compile(h, &program, settings_.filter.c_str(), 1, mask) != 0) {
                const std::string text = pcap_geterr(h);
                pcap_close(h);
                return open_failed(kBadFilter, text.c_str());
            }
            const int rc = pcap_setfilter(h, &program);
            pcap_freecode(&program);
            if (rc != 0) {
                const std::string text = pcap_geterr(h);
                pcap_close(h);
                return open_failed(PCAP_ERROR, text.c_str());
            }
        }
        handle_ = h;
        fd_ = pcap_get_selectable_fd(h);
        read_pcap_stats();
        return true;
    }

    std::vector<columnar::Field> fields() const { return rows_->fields(); }
    const std::string& error() const noexcept { return error_; }
    const std::string& device() const noexcept { return settings_.device; }
    int open_status() const noexcept { return open_status_; }
    int linktype() const noexcept { return linktype_; }
    bool nanoseconds() const noexcept { return nanoseconds_; }

    LiveStats stats() {
        std::lock_guard lock(stats_mutex_);
        return stats_;
    }

    // Reads the next batch into `out` (out->release null when no rows came).
    // keep_going() is asked after every wait and at least every
    // kLookEveryMs while frames keep coming; stop() ends the wait from any
    // thread. Batches are pulled one at a time: a second caller waits. Once
    // the capture has ended, the rows it left (the connections open at its
    // end) come a batch at a time without waiting, with the status it ended with.
    template <class KeepGoing>
    LiveStatus next_batch(ArrowArray* out, KeepGoing&& keep_going) {
        std::lock_guard lock(mutex_);
        out->release = nullptr;
        if (!handle_) return rows_left(out);
        if (!rows_->start(settings_.batch_rows) || !rows_->fill(settings_.batch_rows)) {
            return finish_with(rows_failure(), out);
        }
        const int64_t batch_rows = static_cast<int64_t>(settings_.batch_rows);
        int64_t deadline = rows_->rows() > 0 ? monotonic_ns() + settings_.batch_ns : -1;  // from the batch's first row
        int64_t look_at = monotonic_ns() + kLookEveryMs * 1'000'000;
        while (rows_->rows() < batch_rows) {
            if (stopping_.load(std::memory_order_relaxed)) return finish_with(LiveStatus::end, out);
            const bool sweeps = rows_->waits_for_time();
            const int64_t real_before = sweeps ? realtime_ns() : 0, mono_before = sweeps ? monotonic_ns() : 0;
            const int remaining = static_cast<int>(std::min<int64_t>(batch_rows - rows_->rows(), INT32_MAX));
            const int n = pcap_dispatch(handle_, remaining, &LiveScanner::on_frame, reinterpret_cast<u_char*>(this));
            if (rows_failed_) return finish_with(rows_failure(), out);
            if (n == PCAP_ERROR) return finish_with(fail(pcap_geterr(handle_)), out);
            if (sweeps) {
                // Only a read that found nothing tells when the frames still to come were stamped.
                if (n > 0) quiet_clock_.read(last_stamp_ns_, monotonic_ns());
                else if (n == 0 && !rows_->quiet(quiet_clock_.at(real_before, mono_before))) {
                    return finish_with(rows_failure(), out);
                }
                if (!rows_->fill(settings_.batch_rows)) return finish_with(rows_failure(), out);
            }
            const int64_t now = monotonic_ns();
            if (deadline < 0 && rows_->rows() > 0) deadline = now + settings_.batch_ns;
            if (rows_->rows() >= batch_rows || (deadline >= 0 && now >= deadline)) break;
            if (n > 0 && now < look_at) continue;
            if (n <= 0) {
                int64_t wait_ns = kLookEveryMs * 1'000'000;
                if (deadline >= 0) wait_ns = std::min(wait_ns, deadline - now);
                wait(static_cast<int>((wait_ns + 999'999) / 1'000'000));
            }
            if (!keep_going()) return finish_with(LiveStatus::interrupted, out);
            look_at = monotonic_ns() + kLookEveryMs * 1'000'000;
        }
        read_pcap_stats();
        if (!rows_->export_batch(out)) return finish_with(rows_failure("out of memory"), out);
        return LiveStatus::batch;
    }

    // The next batch for a C stream, whose consumer pulls without the interpreter: it
    // waits for as long as the link is quiet and ends only when the device fails or the
    // capture is closed. 0 (out->release null at the end), or EIO with `error` set.
    int next(ArrowArray* out, std::string& error) {
        const LiveStatus status = next_batch(out, [] { return true; });
        if (status == LiveStatus::failed && !out->release) {
            error = error_;
            return EIO;
        }
        return 0;
    }

    // Makes a waiting or later next_batch() end (LiveStatus::end); any thread.
    void stop() noexcept { stopping_.store(true, std::memory_order_relaxed); }

    // Stops and closes the device once no batch is being read; the counters
    // are read a last time, and the connections still open end (their rows
    // come from the next batches). Any thread.
    void close() noexcept {
        stop();
        std::lock_guard lock(mutex_);
        end_capture();
    }

private:
    // Longest wait between two looks at keep_going() and stop().
    static constexpr int64_t kLookEveryMs = 100;
    // How much later than a buffer block's timeout after its stamp a frame may
    // still reach this process; the quiet clock keeps that far behind.
    static constexpr int64_t kLateFrameSlackNs = 1'000'000'000;

    // The kernel hands frames over a block at a time, a block once full or this
    // old: short enough that a quiet link's batch goes out on time, long enough
    // that a quiet link does not fill the buffer's few blocks with a frame each.
    int block_timeout_ms() const noexcept {
        const int64_t quarter = settings_.batch_ns / 4'000'000;
        return static_cast<int>(std::clamp<int64_t>(quarter, 1, 250));
    }
    int64_t late_frame_margin_ns() const noexcept { return block_timeout_ms() * int64_t{1'000'000} + kLateFrameSlackNs; }

    static int64_t monotonic_ns() noexcept {
        timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
    }
    static int64_t realtime_ns() noexcept {  // the clock the kernel stamps frames by
        timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
    }

    void wait(int timeout_ms) noexcept {
        if (fd_ < 0) {
            const timespec pause{0, 10'000'000};
            nanosleep(&pause, nullptr);
            return;
        }
        pollfd pfd{fd_, POLLIN, 0};
        (void)poll(&pfd, 1, timeout_ms);  // a failure shows at the next read (EINTR: a signal to look at)
    }

    static void on_frame(u_char* user, const pcap_pkthdr* header, const u_char* bytes) {
        reinterpret_cast<LiveScanner*>(user)->take(*header, bytes);
    }

    void take(const pcap_pkthdr& header, const u_char* bytes) noexcept {
        if (rows_failed_) return;
        ++frames_;
        capture::Frame frame;
        frame.data = bytes;
        frame.caplen = header.caplen;
        frame.wire_len = header.len;
        frame.epoch_sec = header.ts.tv_sec;
        frame.frac_ns = nanoseconds_ ? header.ts.tv_usec : static_cast<int64_t>(header.ts.tv_usec) * 1000;
        frame.linktype = linktype_;
        last_stamp_ns_ = frame.time_ns();
        bool added;
        try {
            added = rows_->add(frame);
        } catch (const std::bad_alloc&) {
            added = false;
        }
        if (!added) {
            rows_failed_ = true;
            pcap_breakloop(handle_);
        }
    }

    // libpcap's counters, each step added to its 64-bit total.
    void read_pcap_stats() noexcept {
        pcap_stat now{};
        const bool read = handle_ && pcap_stats(handle_, &now) == 0;
        std::lock_guard lock(stats_mutex_);
        if (read) {
            stats_.received += static_cast<uint32_t>(now.ps_recv - last_.ps_recv);
            stats_.dropped += static_cast<uint32_t>(now.ps_drop - last_.ps_drop);
            stats_.if_dropped += static_cast<uint32_t>(now.ps_ifdrop - last_.ps_ifdrop);
            last_ = now;
        }
        stats_.frames = frames_;
        stats_.rows = rows_->rows_made();
    }

    // Ends the capture: the counters read a last time, the device closed, the
    // rows read so far into `out` (unless the rows themselves failed).
    LiveStatus finish_with(LiveStatus status, ArrowArray* out) noexcept {
        if (!end_capture()) status = LiveStatus::failed;
        if (!rows_failed_ && (!rows_->fill(settings_.batch_rows) ||
                              (rows_->rows() > 0 && !rows_->export_batch(out)))) {
            status = rows_failure();
        }
        read_pcap_stats();
        return status;
    }

    // After the end: the rows the capture left, a batch of them, with the status it ended with.
    LiveStatus rows_left(ArrowArray* out) noexcept {
        const LiveStatus status = failed_ ? LiveStatus::failed : LiveStatus::end;
        if (rows_failed_ || !rows_->ready()) return status;
        if (!rows_->start(settings_.batch_rows) || !rows_->fill(settings_.batch_rows) || !rows_->export_batch(out)) {
            out->release = nullptr;
            return rows_failure();
        }
        read_pcap_stats();
        return status;
    }

    // The device closed and every open connection ended; false when the rows failed.
    bool end_capture() noexcept {
        if (!handle_) return !rows_failed_;
        close_handle();
        bool finished;
        try {
            finished = rows_->finish();
        } catch (const std::bad_alloc&) {
            finished = false;
        }
        if (!finished) rows_failure();
        return !rows_failed_;
    }

    void close_handle() noexcept {
        if (!handle_) return;
        read_pcap_stats();
        pcap_close(handle_);
        handle_ = nullptr;
        fd_ = -1;
    }

    // No row can be made any more: the rows' own failure, or `text`.
    LiveStatus rows_failure(const char* text = nullptr) noexcept {
        rows_failed_ = true;
        if (text) return fail(text);
        std::string said;
        try {
            said = rows_->error();
        } catch (...) {
            return fail("out of memory");
        }
        return fail(said);
    }

    LiveStatus fail(const std::string& text) noexcept {
        if (!failed_) {
            try {
                error_ = text;
            } catch (...) {
            }
        }
        failed_ = true;
        return LiveStatus::failed;
    }

    bool open_failed(int status, const char* text) {
        error_ = text;
        open_status_ = status;
        return false;
    }

    LiveSettings settings_;
    std::unique_ptr<LiveRows> rows_;
    QuietClock quiet_clock_;
    pcap_t* handle_ = nullptr;
    int fd_ = -1;
    int linktype_ = -1;
    bool nanoseconds_ = false;
    bool rows_failed_ = false;  // no row can be made any more (error())
    bool failed_ = false;
    uint64_t frames_ = 0;
    int64_t last_stamp_ns_ = 0;
    std::atomic<bool> stopping_{false};
    std::string error_;
    int open_status_ = 0;
    pcap_stat last_{};
    LiveStats stats_;
    std::mutex mutex_;        // held while a batch is read
    std::mutex stats_mutex_;  // held only to read or update stats_
};

}  // namespace kavrel::engine
