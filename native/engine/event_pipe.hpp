// A capture's frames decoded into connection events on a thread of their own,
// handed to the assembling thread in blocks: the two halves of one pass run on
// two cores, and the assembler sees exactly what it would see reading the
// frames itself (each event carries the latest frame time since the previous
// one, the clock it advances to first). Blocks are made once; nothing is
// allocated per packet.
#pragma once

#include "capture/frame.hpp"
#include "connections/packet_event.hpp"
#include "decode/packet_view.hpp"
#include "engine/frame_source.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <new>
#include <mutex>
#include <thread>
#include <vector>

namespace kavrel::engine {

class EventPipe {
public:
    static constexpr std::size_t kBlockEvents = 4096;
    static constexpr std::size_t kBlocks = 8;

    // What the decoding thread has handed over so far.
    struct Block {
        std::vector<connections::PacketEvent> events;
        bool last = false;          // the capture ended (or failed, or was cancelled) after these
        Stop stop = Stop::frame;    // how, when last
        int64_t tail = connections::kNoTime;  // the latest frame time after the last event, when last
    };

    explicit EventPipe(FrameSource& frames) : frames_(frames), blocks_(kBlocks) {
        for (Block& b : blocks_) b.events.reserve(kBlockEvents);
    }
    EventPipe(const EventPipe&) = delete;
    EventPipe& operator=(const EventPipe&) = delete;
    ~EventPipe() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        frames_.cancel();  // a read waiting on a pipe gives up
        if (thread_.joinable()) thread_.join();
    }

    // Starts the decoding thread (the frames' source already prepared); false when it cannot start.
    bool start() noexcept {
        try {
            thread_ = std::thread([this] { run(); });
        } catch (...) {
            return false;
        }
        return true;
    }

    // The next block, waiting for it; nullptr when `cancelled()` says to give up
    // first. Valid until release().
    template <class Cancelled>
    const Block* next(Cancelled&& cancelled) {
        std::unique_lock lock(mutex_);
        while (consumed_ == produced_) {
            if (cancelled()) return nullptr;
            changed_.wait_for(lock, std::chrono::milliseconds(capture::kCancelLookMs));
        }
        return &blocks_[consumed_ % kBlocks];
    }
    // The block next() gave is done with: the decoding thread may fill it again.
    void release() {
        {
            std::lock_guard lock(mutex_);
            ++consumed_;
        }
        changed_.notify_all();
    }

    // The frames' counts and the damage met, as of the last block handed over.
    Stats stats() {
        std::lock_guard lock(mutex_);
        return stats_published_;
    }
    std::vector<Damage> damage() {
        std::lock_guard lock(mutex_);
        return damage_published_;
    }

private:
    void run() {
        capture::Frame frame;
        decode::PacketView view;
        Stats skipped;
        int64_t clock = connections::kNoTime;  // the latest frame time since the last event
        for (;;) {
            Block* block = free_block();
            if (!block) return;
            block->events.clear();
            Stop stop = Stop::frame;
            while (block->events.size() < kBlockEvents) {
                stop = frames_.next(frame);
                if (stop != Stop::frame) break;
                const uint64_t index = frame_index_++;
                clock = std::max(clock, frame.time_ns());
                const decode::Outcome outcome =
                    decode::decode_frame(frame.linktype, decode::Reader(frame.data, frame.caplen), view);
                if (outcome != decode::Outcome::ip) {
                    count_skipped(skipped, outcome);
                    continue;
                }
                connections::PacketEvent& e = block->events.emplace_back();
                if (!connections::make_event(frame, view, index, e)) {
                    block->events.pop_back();
                    continue;
                }
                e.clock_ns = clock;
                clock = connections::kNoTime;
            }
            block->last = stop != Stop::frame;
            block->stop = stop;
            block->tail = clock;
            publish(skipped);
            if (block->last) return;
        }
    }

    // A block to fill, waiting while every one is full; nullptr when stopping.
    Block* free_block() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return stopping_ || produced_ - consumed_ < kBlocks; });
        return stopping_ ? nullptr : &blocks_[produced_ % kBlocks];
    }

    void publish(const Stats& skipped) {
        Stats s = skipped;
        frames_.fill(s);
        {
            std::lock_guard lock(mutex_);
            stats_published_ = s;
            if (frames_.damage().size() != damage_published_.size()) {
                try {
                    damage_published_ = frames_.damage();
                } catch (const std::bad_alloc&) {
                    // said at the end, when the source is the reader's alone again
                }
            }
            ++produced_;
        }
        changed_.notify_all();
    }

    FrameSource& frames_;
    std::vector<Block> blocks_;
    uint64_t frame_index_ = 0;
    uint64_t produced_ = 0;  // blocks handed over
    uint64_t consumed_ = 0;  // blocks given back
    bool stopping_ = false;
    Stats stats_published_;
    std::vector<Damage> damage_published_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::thread thread_;
};

}  // namespace kavrel::engine
