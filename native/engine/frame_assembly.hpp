// Every frame of a capture, in capture order, into connections: each frame's
// time advances the capture clock (ending the connections it passes), each IP
// packet joins or starts its connection, and finished connections are held
// until no open connection precedes them, then handed on in uid order.
#pragma once

#include "capture/frame.hpp"
#include "connections/assembler.hpp"
#include "connections/ordered_rows.hpp"
#include "connections/packet_event.hpp"
#include "decode/packet_view.hpp"
#include "engine/frame_source.hpp"

#include <cerrno>
#include <cstdint>
#include <string>

namespace kavrel::engine {

class FrameAssembly {
public:
    FrameAssembly(const connections::Settings& timing, std::size_t hold_bytes)
        : assembler_(timing), ordered_(hold_bytes) {}

    // One frame, IP or not, counted in `stats`. False when memory ran out or
    // finished rows could not be held (error(), os_errno()).
    bool add(const capture::Frame& frame, Stats& stats) {
        assembler_.advance(frame.time_ns(), held());
        const decode::Outcome outcome =
            decode::decode_frame(frame.linktype, decode::Reader(frame.data, frame.caplen), view_);
        if (outcome != decode::Outcome::ip) {
            count_skipped(stats, outcome);
        } else if (connections::make_event(frame, view_, frame_index_, event_) && !assembler_.add(event_, held())) {
            return fail(ENOMEM, "out of memory assembling connections", false);
        }
        ++frame_index_;
        return !failed_;
    }

    // One IP packet already decoded (EventPipe): the clock advanced to its
    // clock_ns first, as add() advances it frame by frame.
    bool add_event(const connections::PacketEvent& e) {
        assembler_.advance(e.clock_ns, held());
        if (!assembler_.add(e, held())) return fail(ENOMEM, "out of memory assembling connections", false);
        return !failed_;
    }
    // The clock at `clock_ns` (the frames after the last packet).
    void advance(int64_t clock_ns) { assembler_.advance(clock_ns, held()); }

    // The capture has ended: every open connection ends.
    bool finish() {
        assembler_.finish(held());
        return !failed_;
    }

    // Whether a finished row precedes every open connection (release() has one to
    // hand on). That changes only when a connection ends, so it is looked at only then.
    bool releasable() noexcept {
        if (!ended_) return false;
        if (ordered_.lowest() < assembler_.oldest_open_uid()) return true;
        ended_ = false;
        return false;
    }

    // Hands emit(const Connection&) the finished rows no open connection
    // precedes, in uid order, `most` of them at the most.
    template <class Emit>
    bool release(Emit&& emit, std::size_t most) {
        if (!ordered_.release(assembler_.oldest_open_uid(), emit, most)) {
            return fail(ordered_.os_errno(), ordered_.error(), true);
        }
        return true;
    }

    uint64_t frames() const noexcept { return frame_index_; }
    std::size_t open_connections() const noexcept { return assembler_.open_connections(); }
    std::string error() const {
        return held_failed_ ? std::string("holding finished connections back: ") + what_ : std::string(what_);
    }
    int os_errno() const noexcept { return failed_; }

private:
    // Where finished connections wait for their turn.
    struct Held {
        FrameAssembly* self;
        void operator()(const connections::Connection& c) const noexcept {
            self->ended_ = true;
            if (!self->ordered_.push(c) && !self->failed_) {
                self->fail(self->ordered_.os_errno(), self->ordered_.error(), true);
            }
        }
    };
    Held held() noexcept { return Held{this}; }

    // `held`: the failure is the held rows' ("writing the temporary file", ...).
    bool fail(int err, const char* what, bool held) noexcept {
        if (!failed_) {
            failed_ = err ? err : EIO;
            what_ = what;
            held_failed_ = held;
        }
        return false;
    }

    connections::Assembler assembler_;
    connections::OrderedRows ordered_;
    decode::PacketView view_;
    connections::PacketEvent event_;
    uint64_t frame_index_ = 0;
    bool ended_ = false;  // a connection ended since releasable() last found nothing to hand on
    int failed_ = 0;
    const char* what_ = "";  // static text
    bool held_failed_ = false;
};

}  // namespace kavrel::engine
