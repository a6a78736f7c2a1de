// The connection table of a capture read in shards, equal to the one pass.
//
// A connection's packets may lie in any shards, so the packets are first
// shuffled by bucket: each shard's reader turns its IP packets into events and
// files them by bucket (connections::bucket_of: both directions of a key and
// every fragment of a datagram share a bucket), noting with each event the
// capture clock it must be advanced to first -- the latest frame time since the
// bucket's previous event in the shard (EventShard). Then each bucket's events
// of every shard, in shard order, go through one assembler (BucketAssembly),
// whose clock also takes, between shards, the frames of the shards in between:
// it ends exactly the connections the one pass ends, when it ends them. The
// buckets' finished rows are merged by uid (ConnectionMerge) into batches.
#pragma once

#include "capture/frame.hpp"
#include "columnar/arena.hpp"
#include "columnar/columns.hpp"
#include "connections/assembler.hpp"
#include "connections/ordered_rows.hpp"
#include "connections/packet_event.hpp"
#include "decode/packet_view.hpp"
#include "engine/connection_batches.hpp"
#include "engine/frame_source.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace kavrel::engine {

using connections::kNoTime;

// The largest frame time after a given frame: a stack of the frames no later
// frame is stamped at or after, so that times going back cost only what they
// hold. Indices increase up the stack, times decrease.
class SuffixMaxima {
public:
    bool add(uint64_t index, int64_t time) {
        while (!stack_.empty() && stack_.back().time <= time) stack_.pop_back();
        try {
            stack_.push_back({index, time});
        } catch (const std::bad_alloc&) {
            return false;
        }
        return true;
    }
    // The latest time among the frames after frame `index` (kNoTime: none). `index`
    // UINT64_MAX stands for before the first frame.
    int64_t after(uint64_t index) const noexcept {
        if (index == UINT64_MAX) return stack_.empty() ? kNoTime : stack_.front().time;
        const auto it = std::upper_bound(stack_.begin(), stack_.end(), index,
                                         [](uint64_t i, const Entry& e) { return i < e.index; });
        return it == stack_.end() ? kNoTime : it->time;
    }

private:
    struct Entry {
        uint64_t index;
        int64_t time;
    };
    std::vector<Entry> stack_;
};

// Events are written in blocks of this many, bump-allocated from the shard's
// memory file: a bucket's events are never moved or copied as it grows.
inline constexpr uint64_t kEventsPerBlock = 512;
inline constexpr std::size_t kEventBlockBytes = kEventsPerBlock * sizeof(connections::PacketEvent);

// What a shard's events file says about each bucket.
struct BucketRun {
    uint64_t count = 0;              // events
    int64_t tail_max = kNoTime;      // the latest frame time after the bucket's last event (kNoTime: none, or no event)
    std::vector<uint64_t> blocks;    // byte offsets into the file; every block full but the last
};

// A shard's description: where each bucket's events lie in its file, how many
// frames it had and the latest time among them. Words of 64 bits, host order
// (read by another process of this program on this host).
struct ShardDescription {
    static constexpr uint64_t kMark = 0x6b76657674736873;  // what follows describes a shard's events
    uint64_t frames = 0;
    int64_t shard_max = kNoTime;
    std::vector<BucketRun> buckets;

    std::string encode() const {
        std::vector<uint64_t> w{kMark, buckets.size(), frames, static_cast<uint64_t>(shard_max)};
        for (const BucketRun& b : buckets) {
            w.push_back(b.count);
            w.push_back(static_cast<uint64_t>(b.tail_max));
            w.push_back(b.blocks.size());
            w.insert(w.end(), b.blocks.begin(), b.blocks.end());
        }
        return std::string(reinterpret_cast<const char*>(w.data()), w.size() * sizeof(uint64_t));
    }

    // False when `text` is not a description whose blocks lie within `size` bytes.
    bool decode(const std::string& text, uint64_t size) {
        const auto* w = reinterpret_cast<const uint64_t*>(text.data());
        const std::size_t n = text.size() / sizeof(uint64_t);
        if (text.size() % sizeof(uint64_t) || n < 4 || w[0] != kMark || w[1] > (1u << 20)) return false;
        frames = w[2];
        shard_max = static_cast<int64_t>(w[3]);
        buckets.resize(w[1]);
        std::size_t at = 4;
        for (BucketRun& r : buckets) {
            if (n - at < 3) return false;
            r.count = w[at];
            r.tail_max = static_cast<int64_t>(w[at + 1]);
            const uint64_t blocks = w[at + 2];
            at += 3;
            if (blocks != (r.count + kEventsPerBlock - 1) / kEventsPerBlock || blocks > n - at) return false;
            r.blocks.assign(w + at, w + at + blocks);
            at += blocks;
            for (const uint64_t offset : r.blocks) {
                if (offset > size || size - offset < kEventBlockBytes || offset % alignof(connections::PacketEvent)) {
                    return false;
                }
            }
        }
        return at == n;
    }
};

// A shard's IP packets as events filed by bucket, in a memory file for the
// processes that assemble the buckets.
class EventShard {
public:
    EventShard(std::vector<Source> sources, capture::ReadWith how, uint32_t buckets,
               std::shared_ptr<columnar::SharedArena> arena)
        : frames_(std::move(sources), how), arena_(std::move(arena)) {
        runs_.resize(buckets);
        cursor_.assign(buckets, nullptr);
        last_.assign(buckets, UINT64_MAX);
    }

    bool prepare() { return frames_.prepare(); }
    bool opens_a_stream() const noexcept { return frames_.opens_a_stream(); }
    const std::string& error() const noexcept { return error_.empty() ? frames_.error() : error_; }
    const std::string& error_path() const noexcept { return frames_.error_path(); }
    int os_errno() const noexcept { return frames_.os_errno(); }
    void cancel() noexcept { frames_.cancel(); }

    // Reads the whole shard; 0 or the errno of the failure that ended it (the
    // events before it are kept).
    int read() {
        capture::Frame frame;
        decode::PacketView view;
        connections::PacketEvent event;
        const uint32_t buckets = static_cast<uint32_t>(runs_.size());
        try {
            for (BucketRun& r : runs_) r.blocks.reserve(64);
        } catch (const std::bad_alloc&) {
            return fail(ENOMEM, "out of memory");
        }
        for (;;) {
            const Stop stop = frames_.next(frame);
            if (stop == Stop::cancelled) return fail(ECANCELED, "cancelled");
            if (stop == Stop::failed) return failed_ = frames_.failure_errno();
            if (stop == Stop::end) return 0;
            const uint64_t index = frames_seen_++;
            const int64_t t = frame.time_ns();
            if (!maxima_.add(index, t)) return fail(ENOMEM, "out of memory");
            const decode::Outcome outcome =
                decode::decode_frame(frame.linktype, decode::Reader(frame.data, frame.caplen), view);
            if (outcome != decode::Outcome::ip) {
                count_skipped(stats_, outcome);
                continue;
            }
            if (!connections::make_event(frame, view, index, event)) continue;
            const uint32_t b = connections::bucket_of(event) % buckets;
            // The clock to advance to first: the latest frame since this bucket's last event.
            event.clock_ns = maxima_.after(last_[b]);
            last_[b] = index;
            BucketRun& run = runs_[b];
            if (run.count % kEventsPerBlock == 0) {
                auto* block = static_cast<uint8_t*>(arena_->allocate(kEventBlockBytes));
                if (!block) return fail(ENOMEM, "out of memory");
                try {
                    run.blocks.push_back(arena_->offset_of(block));
                } catch (const std::bad_alloc&) {
                    return fail(ENOMEM, "out of memory");
                }
                cursor_[b] = block;
            }
            std::memcpy(cursor_[b], &event, sizeof event);
            cursor_[b] += sizeof event;
            ++run.count;
        }
    }

    // Where the events lie, for another process: false when memory ran out, or a
    // run lies outside the arena.
    bool describe(std::string& out) const {
        ShardDescription d;
        d.frames = frames_seen_;
        d.shard_max = maxima_.after(UINT64_MAX);
        try {
            d.buckets = runs_;
            for (std::size_t b = 0; b < runs_.size(); ++b) {
                d.buckets[b].tail_max = runs_[b].count ? maxima_.after(last_[b]) : kNoTime;
            }
            out = d.encode();
        } catch (const std::bad_alloc&) {
            return false;
        }
        return true;
    }

    uint64_t frames() const noexcept { return frames_seen_; }
    std::pair<uint64_t, uint64_t> bounds() const noexcept { return frames_.bounds(); }
    Stats stats() const noexcept {
        Stats s = stats_;
        frames_.fill(s);
        return s;
    }
    std::vector<Damage> damage() const { return frames_.damage(); }
    int failure(std::string& text, std::string& path, uint64_t& offset) const {
        if (failed_ && failed_ == frames_.failure_errno() && error_.empty()) {
            text = frames_.error_detail();
            path = frames_.error_path();
            offset = frames_.error_offset();
        } else if (failed_) {
            text = error();
        }
        return failed_;
    }

private:
    int fail(int err, const char* text) {
        failed_ = err;
        error_ = text;
        return err;
    }

    FrameSource frames_;
    std::shared_ptr<columnar::SharedArena> arena_;
    std::vector<BucketRun> runs_;     // a bucket's events, in blocks of the arena
    std::vector<uint8_t*> cursor_;    // where a bucket's next event goes in its last block
    std::vector<uint64_t> last_;      // a bucket's last event's frame (UINT64_MAX: none yet)
    SuffixMaxima maxima_;
    uint64_t frames_seen_ = 0;
    Stats stats_;
    int failed_ = 0;
    std::string error_;
};

// The assemblers of a set of buckets, fed every shard's events of them in
// shard order. Finished connections are collected in uid order, for the merge.
class BucketAssembly {
public:
    BucketAssembly(const connections::Settings& timing, std::vector<uint32_t> buckets)
        : buckets_(std::move(buckets)), carry_(buckets_.size(), kNoTime) {
        assemblers_.reserve(buckets_.size());
        for (std::size_t i = 0; i < buckets_.size(); ++i) {
            assemblers_.push_back(std::make_unique<connections::Assembler>(timing));
        }
    }

    // The next shard: its events file (`base`, `size` bytes), its description,
    // and the frames of the capture before it. False (error()) for a description
    // that does not fit the file, or when memory ran out.
    bool feed(const uint8_t* base, uint64_t size, const std::string& description, uint64_t frame_offset) {
        ShardDescription d;
        if (!d.decode(description, size)) return fail("not a description of a shard's events");
        for (std::size_t i = 0; i < buckets_.size(); ++i) {
            const uint32_t b = buckets_[i];
            if (b >= d.buckets.size()) return fail("a bucket the shard does not have");
            const BucketRun& run = d.buckets[b];
            connections::Assembler& a = *assemblers_[i];
            int64_t carry = carry_[i];
            for (uint64_t k = 0; k < run.count; ++k) {
                connections::PacketEvent e;
                std::memcpy(&e, base + run.blocks[k / kEventsPerBlock] + (k % kEventsPerBlock) * sizeof e, sizeof e);
                e.frame_index += frame_offset;
                // The first event's clock also covers the frames of the shards before it.
                const int64_t clock = k == 0 ? std::max(carry, e.clock_ns) : e.clock_ns;
                a.advance(clock, collect());
                if (!a.add(e, collect())) return fail("out of memory assembling connections");
            }
            carry_[i] = run.count ? run.tail_max : std::max(carry, d.shard_max);
        }
        return !failed_;
    }

    // The capture has ended: what the last frames' clock ends, then every open connection.
    void finish() {
        for (std::size_t i = 0; i < buckets_.size(); ++i) {
            if (carry_[i] != kNoTime) assemblers_[i]->advance(carry_[i], collect());
            assemblers_[i]->finish(collect());
        }
    }

    // The rows finished since the last call, in uid order.
    std::vector<connections::Connection> take_rows() {
        std::sort(rows_.begin(), rows_.end(),
                  [](const connections::Connection& a, const connections::Connection& b) { return a.uid < b.uid; });
        return std::exchange(rows_, {});
    }

    // Below this uid, every row of these buckets has been taken or is among rows_.
    uint64_t oldest_open_uid() const noexcept {
        uint64_t out = UINT64_MAX;
        for (const auto& a : assemblers_) out = std::min(out, a->oldest_open_uid());
        return out;
    }
    const std::string& error() const noexcept { return error_; }

private:
    struct Collect {
        BucketAssembly* self;
        void operator()(const connections::Connection& c) const noexcept {
            try {
                self->rows_.push_back(c);
            } catch (const std::bad_alloc&) {
                self->failed_ = true;
                self->error_ = "out of memory";
            }
        }
    };
    Collect collect() noexcept { return Collect{this}; }

    bool fail(const char* text) {
        failed_ = true;
        error_ = text;
        return false;
    }

    std::vector<uint32_t> buckets_;
    std::vector<std::unique_ptr<connections::Assembler>> assemblers_;
    std::vector<int64_t> carry_;  // the latest frame time after each bucket's last event so far
    std::vector<connections::Connection> rows_;
    bool failed_ = false;
    std::string error_;
};

// Finished rows of every bucket, merged by uid into batches: a row goes on once
// every bucket has reported that nothing open precedes it.
class ConnectionMerge {
public:
    explicit ConnectionMerge(const ConnectionOptions& options, std::span<const connections::TrafficInput> history = {})
        : ordered_(options.hold_bytes), batches_(options, history) {}

    std::vector<columnar::Field> fields() const { return batches_.fields(); }
    void set_alerts(std::shared_ptr<const labels::AlertIndex> alerts) { batches_.set_alerts(std::move(alerts)); }

    bool push(const connections::Connection* rows, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            if (!ordered_.push(rows[i])) return fail(ordered_.os_errno(), ordered_.error());
        }
        return true;
    }

    // The rows below `bound` into batches, appended to `out`; a batch not full
    // waits for more rows unless `flush`. 0 or an errno (error()).
    int release(uint64_t bound, bool flush, std::vector<ArrowArray>& out) {
        if (failed_) return failed_;
        std::optional<connections::Connection> pending;
        for (;;) {
            if (!pending) {
                if (!ordered_.release(bound, [&](const connections::Connection& c) { pending = c; }, 1)) {
                    return fail(ordered_.os_errno(), ordered_.error());
                }
                if (!pending) break;
            }
            const ConnectionBatches::Added added = batches_.add(*pending);
            if (added == ConnectionBatches::Added::failed) return fail(batches_.failed(), batches_.error().c_str());
            if (added == ConnectionBatches::Added::yes) {
                pending.reset();
                ++rows_;
                if (!batches_.full()) continue;
            }
            if (const int rc = take(out)) return rc;
        }
        return flush ? take(out) : 0;
    }

    uint64_t rows() const noexcept { return rows_; }
    uint64_t unmatched_alerts() const noexcept { return batches_.unmatched_alerts(); }
    const std::string& error() const noexcept { return error_; }

private:
    int take(std::vector<ArrowArray>& out) {
        ArrowArray batch;
        if (const int rc = batches_.take(&batch)) return fail(rc, batches_.error().c_str());
        if (!batch.release) return 0;
        try {
            out.push_back(batch);
        } catch (const std::bad_alloc&) {
            batch.release(&batch);
            return fail(ENOMEM, "out of memory");
        }
        return 0;
    }
    int fail(int err, const char* text) {
        if (!failed_) {
            failed_ = err ? err : EIO;
            error_ = text;
        }
        return failed_;
    }

    connections::OrderedRows ordered_;
    ConnectionBatches batches_;
    uint64_t rows_ = 0;
    int failed_ = 0;
    std::string error_;
};

}  // namespace kavrel::engine
