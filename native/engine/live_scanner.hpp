// The live batch producer: one capture device read into rows of the packets or
// features table, a batch handed over when it is full or old enough. Plain C++
// (no interpreter): the caller says whether to go on, so batches can be pulled
// by an interpreter's thread or by any consumer of the Arrow C stream.
#pragma once

#include "capture/classic_pcap.hpp"
#include "capture/frame.hpp"
#include "columnar/arrow_c.hpp"
#include "decode/packet_view.hpp"
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
#include <mutex>
#include <string>
#include <vector>

namespace kavrel::engine {

// The kernel's capture buffer unless told: 16 times libpcap's default, so that a
// consumer's pause (an hour's file closed and the next opened) costs no frames.
inline constexpr int kDefaultBufferBytes = 32 << 20;

struct LiveSettings {
    std::string device;
    std::string filter;  // a BPF expression; empty: every frame
    int snaplen = static_cast<int>(capture::kMaxCaplen);
    bool promiscuous = true;
    int buffer_bytes = kDefaultBufferBytes;  // 0: libpcap's default
    bool immediate = false;
    std::size_t batch_rows = kDefaultBatchRows;
    int64_t batch_ns = 1'000'000'000;  // a batch's age at which it goes out, from its first row
    bool features = true;
    std::vector<int> packet_columns;
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

class LiveScanner {
public:
    explicit LiveScanner(LiveSettings settings)
        : settings_(std::move(settings)), table_(settings_.features, settings_.packet_columns) {}
    LiveScanner(const LiveScanner&) = delete;
    LiveScanner& operator=(const LiveScanner&) = delete;
    ~LiveScanner() { close(); }

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

    std::vector<columnar::Field> fields() const { return table_.fields(); }
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
    // thread. Batches are pulled one at a time: a second caller waits.
    template <class KeepGoing>
    LiveStatus next_batch(ArrowArray* out, KeepGoing&& keep_going) {
        std::lock_guard lock(mutex_);
        out->release = nullptr;
        if (!handle_) return failed_ ? LiveStatus::failed : LiveStatus::end;
        if (!table_.start(settings_.batch_rows)) return finish_with(fail("out of memory"), out);
        const int64_t batch_rows = static_cast<int64_t>(settings_.batch_rows);
        int64_t deadline = -1;  // from the batch's first row
        int64_t look_at = monotonic_ns() + kLookEveryMs * 1'000'000;
        for (;;) {
            if (stopping_.load(std::memory_order_relaxed)) return finish_with(LiveStatus::end, out);
            const int remaining = static_cast<int>(std::min<int64_t>(batch_rows - table_.rows(), INT32_MAX));
            const int n = pcap_dispatch(handle_, remaining, &LiveScanner::on_frame, reinterpret_cast<u_char*>(this));
            if (out_of_memory_) return finish_with(fail("out of memory"), out);
            if (n == PCAP_ERROR) return finish_with(fail(pcap_geterr(handle_)), out);
            const int64_t now = monotonic_ns();
            if (deadline < 0 && table_.rows() > 0) deadline = now + settings_.batch_ns;
            if (table_.rows() >= batch_rows || (deadline >= 0 && now >= deadline)) break;
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
        if (!table_.export_batch(out)) return finish_with(fail("out of memory"), out);
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
    // are read a last time. Any thread.
    void close() noexcept {
        stop();
        std::lock_guard lock(mutex_);
        close_handle();
    }

private:
    // Longest wait between two looks at keep_going() and stop().
    static constexpr int64_t kLookEveryMs = 100;

    // The kernel hands frames over a block at a time, a block once full or this
    // old: short enough that a quiet link's batch goes out on time, long enough
    // that a quiet link does not fill the buffer's few blocks with a frame each.
    int block_timeout_ms() const noexcept {
        const int64_t quarter = settings_.batch_ns / 4'000'000;
        return static_cast<int>(std::clamp<int64_t>(quarter, 1, 250));
    }

    static int64_t monotonic_ns() noexcept {
        timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
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
        if (out_of_memory_) return;
        ++frames_;
        capture::Frame frame;
        frame.data = bytes;
        frame.caplen = header.caplen;
        frame.wire_len = header.len;
        frame.epoch_sec = header.ts.tv_sec;
        frame.frac_ns = nanoseconds_ ? header.ts.tv_usec : static_cast<int64_t>(header.ts.tv_usec) * 1000;
        frame.linktype = linktype_;
        decode::PacketView view;
        if (decode::decode_frame(frame.linktype, decode::Reader(frame.data, frame.caplen), view) != decode::Outcome::ip) {
            return;
        }
        uint32_t count = 0;
        if (settings_.features && !(count = counts_.count_live(view.ip.version, view.ip.dst, frame.seconds()))) {
            out_of_memory_ = true;
        } else if (!table_.add(frame, view, count)) {
            out_of_memory_ = true;
        } else {
            ++rows_;
        }
        if (out_of_memory_) pcap_breakloop(handle_);
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
        stats_.rows = rows_;
    }

    // Ends the capture: the counters read a last time, the device closed, the
    // rows read so far into `out`.
    LiveStatus finish_with(LiveStatus status, ArrowArray* out) noexcept {
        close_handle();
        if (status != LiveStatus::failed || !out_of_memory_) {
            if (table_.rows() > 0 && !table_.export_batch(out)) status = fail("out of memory");
        }
        return status;
    }

    void close_handle() noexcept {
        if (!handle_) return;
        read_pcap_stats();
        pcap_close(handle_);
        handle_ = nullptr;
        fd_ = -1;
    }

    LiveStatus fail(const char* text) {
        error_ = text;
        failed_ = true;
        return LiveStatus::failed;
    }

    bool open_failed(int status, const char* text) {
        error_ = text;
        open_status_ = status;
        return false;
    }

    LiveSettings settings_;
    TableBuilder table_;
    features::DestinationTable counts_;
    pcap_t* handle_ = nullptr;
    int fd_ = -1;
    int linktype_ = -1;
    bool nanoseconds_ = false;
    bool out_of_memory_ = false;
    bool failed_ = false;
    uint64_t frames_ = 0;
    uint64_t rows_ = 0;
    std::atomic<bool> stopping_{false};
    std::string error_;
    int open_status_ = 0;
    pcap_stat last_{};
    LiveStats stats_;
    std::mutex mutex_;        // held while a batch is read
    std::mutex stats_mutex_;  // held only to read or update stats_
};

}  // namespace kavrel::engine
