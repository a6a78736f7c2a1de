// A live capture's frames into rows of the connection table, each handed out
// as soon as it is final: without traffic columns when its connection ends;
// with them once its connection and every connection in its two windows have
// ended (TrafficWindows' live mode). The frames are assembled exactly as
// FrameAssembly assembles a file's, so a row equals the file engine's for a
// capture file of the same frames; only the order differs (end order here,
// uid order in a file). Held: the open connections, the ended ones whose rows
// are not yet final, and the final rows not yet in a batch.
#pragma once

#include "capture/frame.hpp"
#include "columnar/arrow_c.hpp"
#include "connections/assembler.hpp"
#include "connections/packet_event.hpp"
#include "connections/traffic.hpp"
#include "decode/packet_view.hpp"
#include "engine/connection_table.hpp"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace kavrel::engine {

struct LiveConnectionSettings {
    std::vector<int> columns;  // indices into kConnectionFields, in the order asked for
    connections::Settings timing;
    connections::TrafficSettings traffic;
};

class LiveConnections {
public:
    explicit LiveConnections(const LiveConnectionSettings& settings)
        : assembler_(settings.timing), windows_(settings.traffic), table_(settings.columns) {
        if (table_.traffic() && windows_.failed()) fail(EINVAL, windows_.error());
    }
    LiveConnections(const LiveConnections&) = delete;
    LiveConnections& operator=(const LiveConnections&) = delete;

    std::vector<columnar::Field> fields() const { return table_.fields(); }

    // One frame, IP or not (its index is the uid of a connection it starts):
    // its time ends the connections it passes, then its packet joins or starts
    // its connection. False once anything failed (error()).
    bool add(const capture::Frame& frame) {
        if (failed_) return false;
        assembler_.advance(frame.time_ns(), Ended{this});
        const decode::Outcome outcome =
            decode::decode_frame(frame.linktype, decode::Reader(frame.data, frame.caplen), view_);
        if (outcome == decode::Outcome::ip && connections::make_event(frame, view_, frame_index_, event_)) {
            const bool added = table_.traffic() ? assembler_.add(event_, Started{this}, Ended{this})
                                                : assembler_.add(event_, Ended{this});
            if (!added) fail(ENOMEM, "out of memory assembling connections");
        }
        ++frame_index_;
        return !failed_;
    }

    // No frame still to come is stamped before `clock_ns`: the connections a
    // frame stamped then would end, end now.
    bool quiet(int64_t clock_ns) {
        if (!failed_) assembler_.advance(clock_ns, Ended{this});
        return !failed_;
    }

    // The capture has ended: every open connection ends, so every row is final.
    bool finish() {
        if (!failed_) assembler_.finish(Ended{this});
        return !failed_;
    }

    // Whether final rows wait for a batch.
    bool ready() const noexcept { return ready_head_ < ready_.size(); }

    bool start(std::size_t rows) noexcept { return table_.start(rows); }
    int64_t rows() const noexcept { return table_.rows(); }

    // Moves final rows into the batch until it holds `most`.
    bool fill(std::size_t most) {
        if (failed_) return false;
        while (ready() && static_cast<std::size_t>(table_.rows()) < most) {
            const LiveRow& r = ready_[ready_head_];
            if (!table_.add(r.connection, table_.traffic() ? &r.features : nullptr)) {
                return fail(ENOMEM, "out of memory");
            }
            ++ready_head_;
            ++rows_made_;
        }
        if (!ready()) {
            ready_.clear();
            ready_head_ = 0;
            // A burst (a quiet link's sweep, the end) does not keep its room.
            if (ready_.capacity() > kReadyRoomKept) std::vector<LiveRow>().swap(ready_);
        }
        return true;
    }

    bool export_batch(ArrowArray* out) noexcept { return table_.export_batch(out); }

    uint64_t frames() const noexcept { return frame_index_; }
    uint64_t rows_made() const noexcept { return rows_made_; }
    std::size_t open_connections() const noexcept { return assembler_.open_connections(); }
    // Ended connections whose rows wait for the connections of their windows.
    std::size_t rows_waiting() const noexcept { return held_count_; }
    const std::string& error() const noexcept { return error_; }
    int os_errno() const noexcept { return failed_; }

private:
    struct LiveRow {
        connections::Connection connection;
        connections::TrafficFeatures features;
    };
    static constexpr std::size_t kReadyRoomKept = 4096;

    // The assembler's callbacks run between two steps of one packet and must
    // not throw: a failure is recorded and stops the capture.
    struct Started {
        LiveConnections* self;
        void operator()(const connections::ConnectionStart& s) const noexcept { self->started(s); }
    };
    struct Ended {
        LiveConnections* self;
        void operator()(const connections::Connection& c) const noexcept { self->ended(c); }
    };

    void started(const connections::ConnectionStart& s) noexcept {
        if (failed_) return;
        connections::TrafficInput in;
        in.uid = s.uid;
        in.ts_ns = s.ts_ns;
        in.resp_version = s.ip_version;
        std::memcpy(in.resp_addr, s.resp_ip, sizeof in.resp_addr);
        in.service = s.service;
        in.has_orig_port = s.has_ports;  // as traffic_input() reads a finished connection
        in.orig_port = s.has_ports ? s.orig_port : 0;
        try {
            if (!windows_.start(in)) fail(windows_.os_errno() ? windows_.os_errno() : EINVAL, windows_.error());
        } catch (const std::bad_alloc&) {
            fail(ENOMEM, "out of memory");
        }
    }

    void ended(const connections::Connection& c) noexcept {
        if (failed_) return;
        try {
            if (!table_.traffic()) {
                ready_.push_back(LiveRow{c, {}});
                return;
            }
            hold(c);
            final_.clear();
            const auto error = connections::error_class(connections::kConnStateNames[static_cast<int>(c.conn_state)]);
            if (!windows_.end(c.uid, error, final_)) {
                fail(windows_.os_errno() ? windows_.os_errno() : EINVAL, windows_.error());
                return;
            }
            for (const connections::TrafficRow& row : final_) {
                const std::size_t at = held_index_.index_of(row.uid);
                const uint32_t slot = held_index_.value_at(at);
                held_index_.erase_at(at);
                ready_.push_back(LiveRow{held_[slot], row.features});
                free_.push_back(slot);
                --held_count_;
            }
        } catch (const std::bad_alloc&) {
            fail(ENOMEM, "out of memory");
        }
    }

    // Keeps an ended connection until its row is final.
    void hold(const connections::Connection& c) {
        uint32_t slot;
        if (free_.empty()) {
            slot = static_cast<uint32_t>(held_.size());
            held_.push_back(c);
            free_.reserve(held_.capacity());  // giving a slot back then cannot fail
        } else {
            slot = free_.back();
            free_.pop_back();
            held_[slot] = c;
        }
        held_index_.find_or_insert(c.uid) = slot;
        ++held_count_;
    }

    bool fail(int err, const std::string& text) noexcept {
        if (!failed_) {
            failed_ = err ? err : EIO;
            try {
                error_ = text;
            } catch (...) {
            }
        }
        return false;
    }

    connections::Assembler assembler_;
    connections::TrafficWindows windows_;
    ConnectionTableBuilder table_;
    decode::PacketView view_;
    connections::PacketEvent event_;
    uint64_t frame_index_ = 0;
    uint64_t rows_made_ = 0;

    std::vector<connections::Connection> held_;  // ended, rows not yet final; slots reused
    std::vector<uint32_t> free_;
    connections::detail::FlatMap<uint64_t, uint32_t> held_index_;  // uid -> slot
    std::size_t held_count_ = 0;
    std::vector<connections::TrafficRow> final_;

    std::vector<LiveRow> ready_;  // final, not yet in a batch, from ready_head_ on
    std::size_t ready_head_ = 0;

    int failed_ = 0;
    std::string error_;
};

}  // namespace kavrel::engine
