// The batch producer of the packets and features tables: a capture's frames
// (frame_source.hpp) decoded, and rows built into Arrow batches, labelled by
// alerts when asked. Plain C++ (no interpreter): the batches may be pulled
// from any thread.
#pragma once

#include "capture/frame.hpp"
#include "columnar/arena.hpp"
#include "columnar/arrow_c.hpp"
#include "columnar/arrow_import.hpp"
#include "decode/packet_view.hpp"
#include "engine/frame_source.hpp"
#include "engine/shard_rows.hpp"
#include "engine/shards.hpp"
#include "engine/tables.hpp"
#include "features/destination_table.hpp"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kavrel::engine {

class Scanner {
public:
    // A labelled scan gains the label columns; its alerts may come later
    // (set_alerts): rows are read meanwhile and labelled once they are in.
    // A shard of a features scan (`shard`) counts on its own, keeps beside each
    // row the value that mends its count, and sums its destinations up
    // (summary()); read it whole with read_shard(). `arena` is where the
    // columns are built (nullptr: the heap). `text_limit` is the most text a
    // label column holds in one batch (the 32-bit offsets').
    Scanner(std::vector<Source> sources, bool features, std::vector<int> packet_columns, std::size_t batch_rows,
            capture::ReadWith how, bool labelled = false, bool shard = false,
            std::size_t text_limit = columnar::kMaxTextBytes, std::shared_ptr<columnar::Arena> arena = {})
        : frames_(std::move(sources), how), table_(features, std::move(packet_columns), arena),
          batch_rows_(batch_rows), labelled_(labelled), shard_(shard && features), text_limit_(text_limit),
          arena_(arena), mend_(arena) {
        if (shard_) mend_.add(ShardRows::kMendField);
    }

    ~Scanner() {
        for (Pending& p : pending_) release(p.out);
        for (Produced& p : ready_) release(p);
    }

    // Opens every source once (see FrameSource::prepare); false with error_path(),
    // error() and os_errno() set.
    bool prepare() { return frames_.prepare(); }
    bool opens_a_stream() const noexcept { return frames_.opens_a_stream(); }

    std::pair<uint64_t, uint64_t> bounds() {
        std::lock_guard lock(mutex_);
        return frames_.bounds();
    }

    // The shard's destinations, packed (see ShardCounter::serialize).
    std::string summary() {
        std::lock_guard lock(mutex_);
        return shard_counts_.serialize();
    }

    // The alerts that label the rows; nullptr with `why` when they could not be
    // read (the scan then fails).
    void set_alerts(std::shared_ptr<const labels::AlertIndex> alerts, const std::string& why = {}) {
        {
            std::lock_guard lock(mutex_);
            if (alerts) {
                alerts_ = std::move(alerts);
                matched_.assign(alerts_->size(), 0);
            } else {
                alerts_failed_ = why.empty() ? std::string("the alerts could not be read") : why;
            }
        }
        alerts_ready_.notify_all();
    }

    std::vector<columnar::Field> fields() const {
        std::vector<columnar::Field> out = table_.fields();
        if (labelled_) {
            for (const auto& f : LabelBuilder::fields()) out.push_back(f);
        }
        return out;
    }
    const std::string& error() const noexcept { return error_.empty() ? frames_.error() : error_; }
    const std::string& error_path() const noexcept { return frames_.error_path(); }
    int os_errno() const noexcept { return frames_.os_errno(); }

    Stats stats() {
        std::lock_guard lock(mutex_);
        Stats s = stats_;
        frames_.fill(s);
        return s;
    }
    std::vector<Damage> damage() {
        std::lock_guard lock(mutex_);
        return frames_.damage();
    }
    // How many of the alerts given labelled no packet so far.
    uint64_t unmatched_alerts() {
        std::lock_guard lock(mutex_);
        if (!alerts_) return 0;
        uint64_t used = 0;
        for (const uint8_t m : matched_) used += m;
        return alerts_->total() - used;
    }
    // Which usable alerts labelled a packet (in index order), to combine scans of one capture.
    std::vector<uint8_t> matched_alerts() {
        std::lock_guard lock(mutex_);
        return matched_;
    }

    // The errno of the failure that ended the scan (0: none) and its text; for a
    // failed read, the text without the file's name, the file, and the byte offset.
    int failure(std::string& text, std::string& path, uint64_t& offset) {
        std::lock_guard lock(mutex_);
        if (failed_ && failed_ == frames_.failure_errno()) {
            text = frames_.error_detail();
            path = frames_.error_path();
            offset = frames_.error_offset();
        } else if (failed_) {
            text = error();
        }
        return failed_;
    }

    // Makes the batch being read, and every later one, end with ECANCELED as
    // soon as it can. Any thread; the caller need not hold anything.
    void cancel() noexcept {
        frames_.cancel();
        alerts_ready_.notify_all();
    }

    // The next batch into `out` (out->release null when the scan is done).
    // Returns 0, or an errno value with error() set; the rows read before a
    // failure come in a batch of their own first.
    int next_batch(ArrowArray* out) {
        std::unique_lock lock(mutex_);
        Produced p;
        const int rc = produce(p, lock);
        if (p.mend.release) p.mend.release(&p.mend);
        *out = p.rows;
        return rc;
    }

    // next_batch() for a C stream: the failure's text into `error`.
    int next(ArrowArray* out, std::string& error) {
        const int rc = next_batch(out);
        if (rc) error = this->error();
        return rc;
    }

    // Reads the whole shard into `out`: every batch with its mending values. 0,
    // or the errno of a failure (error()), the rows before it in `out`.
    int read_shard(ShardRows& out) {
        std::unique_lock lock(mutex_);
        for (;;) {
            Produced p;
            const int rc = produce(p, lock);
            if (!p.rows.release) return rc;
            if (!out.add(p.rows, p.mend)) return fail(ENOMEM, "out of memory");
        }
    }

private:
    // A batch as made: the table's rows, and for a shard their mending values.
    struct Produced {
        ArrowArray rows{};
        ArrowArray mend{};
    };
    // A batch read before its alerts were in.
    struct Pending {
        Produced out;
        std::vector<labels::LabelKey> keys;
    };
    static constexpr std::size_t kMaxPending = 64;

    static void release(Produced& p) noexcept {
        if (p.rows.release) p.rows.release(&p.rows);
        if (p.mend.release) p.mend.release(&p.mend);
    }

    // The next batch: read, and labelled once the alerts are in (until then
    // rows are read ahead, up to a bound).
    int produce(Produced& out, std::unique_lock<std::mutex>& lock) {
        if (failed_) return failed_;
        if (!ready_.empty()) {
            out = ready_.front();
            ready_.pop_front();
            return 0;
        }
        if (!labelled_) return read_batch(out, nullptr);
        for (;;) {
            if (!alerts_failed_.empty()) return fail(EINVAL, alerts_failed_.c_str());
            if (alerts_ && !pending_.empty()) {
                Pending p = std::move(pending_.front());
                pending_.pop_front();
                return label(p, out);
            }
            if (alerts_) {
                Pending p;
                const int rc = read_batch(p.out, &p.keys);
                if (rc || !p.out.rows.release) return rc;
                return label(p, out);
            }
            // Until the alerts are in, read ahead, up to a bound.
            if (!done_reading_ && pending_.size() < kMaxPending) {
                Pending p;
                const int rc = read_batch(p.out, &p.keys);
                if (rc) {
                    if (pending_.empty()) return rc;
                    done_reading_ = true;  // the failure comes after the rows before it
                    pending_failure_ = rc;
                    failed_ = 0;
                } else if (!p.out.rows.release) {
                    done_reading_ = true;
                } else {
                    pending_.push_back(std::move(p));
                }
                continue;
            }
            if (done_reading_ && pending_.empty()) return pending_failure_ ? (failed_ = pending_failure_) : 0;
            if (frames_.cancelled()) return fail(ECANCELED, "cancelled");
            // Woken by set_alerts() or cancel(); the timeout covers a cancel() that came
            // between the test above and the wait.
            alerts_ready_.wait_for(lock, std::chrono::milliseconds(capture::kCancelLookMs),
                                   [this] { return alerts_ || !alerts_failed_.empty() || frames_.cancelled(); });
        }
    }

    // Reads one batch of rows into `out` (release null: no more rows), with
    // each row's label key when `keys`.
    int read_batch(Produced& out, std::vector<labels::LabelKey>* keys) {
        if (failed_) return failed_;
        if (pending_failure_) return failed_ = pending_failure_;
        if (frames_.cancelled()) return fail(ECANCELED, "cancelled");
        if (!table_.start(batch_rows_) || !mend_.start(batch_rows_)) return fail(ENOMEM, "out of memory");
        if (keys) keys->reserve(batch_rows_);
        decode::PacketView view;
        capture::Frame frame;
        while (table_.rows() < static_cast<int64_t>(batch_rows_)) {
            const Stop stop = frames_.next(frame);
            if (stop == Stop::cancelled) return fail(ECANCELED, "cancelled");
            if (stop == Stop::failed) {
                pending_failure_ = frames_.failure_errno();
                break;
            }
            if (stop == Stop::end) break;
            const decode::Outcome outcome =
                decode::decode_frame(frame.linktype, decode::Reader(frame.data, frame.caplen), view);
            if (outcome != decode::Outcome::ip) {
                count_skipped(stats_, outcome);
                continue;
            }
            uint32_t count = 0;
            if (shard_) {
                uint32_t mend = kNotFirstChain;
                count = shard_counts_.count(view.ip.version, view.ip.dst, frame.seconds(), mend);
                mend_[0].push<uint32_t>(mend);
            } else if (table_.features()) {
                count = counts_.count(view.ip.version, view.ip.dst, frame.seconds());
            }
            if (table_.features() && count == 0) return fail(ENOMEM, "out of memory");
            if (!table_.add(frame, view, count)) return fail(ENOMEM, "out of memory");
            if (keys) keys->push_back(labels::LabelKey::of(frame.time_ns(), view));
            ++stats_.rows;
        }
        if (table_.rows() == 0) {
            if (pending_failure_) return failed_ = pending_failure_;
            return 0;  // the scan is done
        }
        if (!table_.export_batch(&out.rows)) return fail(ENOMEM, "out of memory");
        if (shard_ && !mend_.export_batch(&out.mend)) {
            release(out);
            return fail(ENOMEM, "out of memory");
        }
        return 0;
    }

    // A batch's messages may hold more text than one batch's offsets can: it is then cut
    // into pieces that each fit, all but the first waiting in ready_.
    int label(Pending& p, Produced& out) {
        const std::size_t n = p.keys.size();
        std::vector<labels::Label> found;
        std::vector<std::size_t> cuts{0};  // the pieces are [cuts[k], cuts[k + 1])
        try {
            found.reserve(n);
            std::size_t text = 0;
            for (std::size_t i = 0; i < n; ++i) {
                found.push_back(alerts_->label(p.keys[i], cursor_, matched_));
                const std::size_t msg = found.back().shown ? alerts_->msg(*found.back().shown).size() : 0;
                if (msg > text_limit_) {
                    release(p.out);
                    return fail(EFBIG, "an alert's message is longer than a batch can hold");
                }
                if (text + msg > text_limit_) {
                    cuts.push_back(i);
                    text = 0;
                }
                text += msg;
            }
            cuts.push_back(n);
        } catch (const std::bad_alloc&) {
            release(p.out);
            return fail(ENOMEM, "out of memory");
        }
        if (cuts.size() == 2) return labelled(p.out, found, 0, n, out);
        int rc = 0;
        for (std::size_t k = 0; k + 1 < cuts.size() && !rc; ++k) {
            const auto b = static_cast<int64_t>(cuts[k]), e = static_cast<int64_t>(cuts[k + 1]);
            Produced piece, joined;
            if (!copy_rows(p.out.rows, table_.fields(), b, e, &piece.rows) ||
                (p.out.mend.release && !copy_rows(p.out.mend, {ShardRows::kMendField}, b, e, &piece.mend))) {
                release(piece);
                rc = fail(ENOMEM, "out of memory");
            } else if (!(rc = labelled(piece, found, cuts[k], cuts[k + 1], joined))) {
                ready_.push_back(joined);
            }
        }
        release(p.out);
        if (rc) return rc;
        out = ready_.front();
        ready_.pop_front();
        return 0;
    }

    // `in` (rows [begin, end) of `found`) with its label columns after its others; takes `in` over.
    int labelled(Produced& in, const std::vector<labels::Label>& found, std::size_t begin, std::size_t end,
                 Produced& out) {
        LabelBuilder labels(*alerts_, arena_);
        bool ok = labels.start(end - begin);
        for (std::size_t i = begin; ok && i < end; ++i) ok = labels.add(found[i]);
        ArrowArray label_batch;
        if (!ok || !labels.export_batch(&label_batch)) {
            release(in);
            return fail(ENOMEM, "out of memory");
        }
        out.mend = in.mend;
        in.mend.release = nullptr;
        const ArrowArray base = in.rows;
        in.rows.release = nullptr;
        if (!columnar::join_batches(base, label_batch, &out.rows)) {
            release(out);
            return fail(ENOMEM, "out of memory");
        }
        return 0;
    }

    // Rows [begin, end) of a batch of `fields`, copied (into the scan's arena, if it has one).
    bool copy_rows(const ArrowArray& batch, const std::vector<columnar::Field>& fields, int64_t begin, int64_t end,
                   ArrowArray* out) {
        columnar::ColumnSet columns(arena_);
        for (const auto& f : fields) columns.add(f);
        if (!columns.start(static_cast<std::size_t>(end - begin))) return false;
        for (std::size_t c = 0; c < fields.size(); ++c) {
            if (!columnar::append_rows(batch.children[c], fields[c], begin, end, columns[c])) return false;
        }
        return columns.export_batch(out);
    }

    int fail(int err, const char* text) {
        error_ = text;
        failed_ = err;
        return err;
    }

    FrameSource frames_;
    TableBuilder table_;
    std::size_t batch_rows_;
    features::DestinationTable counts_;
    bool labelled_;
    bool shard_;
    std::size_t text_limit_;
    std::shared_ptr<columnar::Arena> arena_;
    columnar::ColumnSet mend_;  // a shard's mending values, a column beside the table's
    ShardCounter shard_counts_;
    std::shared_ptr<const labels::AlertIndex> alerts_;
    std::string alerts_failed_;
    std::vector<uint8_t> matched_;
    labels::LabelCursor cursor_;
    std::deque<Pending> pending_;
    std::deque<Produced> ready_;  // pieces of a labelled batch cut to fit, waiting their turn
    bool done_reading_ = false;

    std::condition_variable alerts_ready_;
    Stats stats_;
    std::string error_;
    int pending_failure_ = 0;
    int failed_ = 0;
    std::mutex mutex_;
};

}  // namespace kavrel::engine
