// The batch producer: capture files read in order as one capture, every frame
// decoded, rows of the packets or features table built into Arrow batches.
// Plain C++ (no interpreter): the batches may be pulled from any thread.
#pragma once

#include "capture/capture_file.hpp"
#include "columnar/arrow_c.hpp"
#include "columnar/arrow_import.hpp"
#include "decode/packet_view.hpp"
#include "engine/shards.hpp"
#include "engine/tables.hpp"
#include "features/destination_table.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdint>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kavrel::engine {

struct Source {
    std::string path;  // "-": standard input
    uint64_t start = 0;  // first record's byte offset; 0: the file's first record
    uint64_t limit = UINT64_MAX;  // records starting here or later belong to someone else
    bool guess = false;  // `start` is only near a record: the first plausible one is found
};

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

// A file the scan could not read to its end: the rows before stand.
struct Damage {
    std::string path;
    uint64_t offset;   // byte offset of the unreadable record
    std::string text;  // libpcap's words for it
};

class Scanner {
public:
    // A labelled scan gains the label columns; its alerts may come later
    // (set_alerts): rows are read meanwhile and labelled once they are in.
    // A shard of a features scan (`shard`) gains the columns that mend its
    // counts, and sums its destinations up (summary()).
    // `text_limit` is the most text a label column holds in one batch (the 32-bit offsets').
    Scanner(std::vector<Source> sources, bool features, std::vector<int> packet_columns, std::size_t batch_rows,
            capture::ReadWith how, bool labelled = false, bool shard = false,
            std::size_t text_limit = columnar::kMaxTextBytes)
        : sources_(std::move(sources)), table_(features, std::move(packet_columns)), batch_rows_(batch_rows),
          how_(how), labelled_(labelled), shard_(shard && features), text_limit_(text_limit) {
        if (shard_) {
            for (const auto& f : kShardFields) shard_columns_.emplace_back(f);
        }
    }

    // Where the first source's records began and where its reading ended (the
    // next record's offset, or where the file ended or was damaged): a shard's bounds.
    std::pair<uint64_t, uint64_t> bounds() {
        std::lock_guard lock(mutex_);
        return {first_start_, first_end_};
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
            stats_.bytes_total += s.limit != UINT64_MAX ? s.limit - s.start : f.size();
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

    std::vector<columnar::Field> fields() const {
        std::vector<columnar::Field> out = table_.fields();
        if (shard_) {
            for (const auto& f : kShardFields) out.push_back(f);
        }
        if (labelled_) {
            for (const auto& f : LabelBuilder::fields()) out.push_back(f);
        }
        return out;
    }
    const std::string& error() const noexcept { return error_; }
    const std::string& error_path() const noexcept { return error_path_; }
    int os_errno() const noexcept { return os_errno_; }

    Stats stats() {
        std::lock_guard lock(mutex_);
        Stats s = stats_;
        if (current_ < sources_.size()) s.bytes_done += file_.offset() - sources_[current_].start;
        return s;
    }
    std::vector<Damage> damage() {
        std::lock_guard lock(mutex_);
        return damage_;
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

    // The errno of the failure that ended the scan (0: none), with error().
    int failure(std::string& text) {
        std::lock_guard lock(mutex_);
        if (failed_) text = error_;
        return failed_;
    }

    // Makes the batch being read, and every later one, end with ECANCELED as
    // soon as it can (a read waiting on a pipe gives up within
    // capture::kCancelLookMs). Any thread; the caller need not hold anything.
    void cancel() noexcept {
        cancel_.store(true, std::memory_order_relaxed);
        alerts_ready_.notify_all();
    }

    // The next batch into `out` (out->release null when the scan is done).
    // Returns 0, or an errno value with error() set; the rows read before a
    // failure come in a batch of their own first.
    int next_batch(ArrowArray* out) {
        std::unique_lock lock(mutex_);
        out->release = nullptr;
        return produce(out, lock);
    }

    ~Scanner() {
        for (Pending& p : pending_) {
            if (p.batch.release) p.batch.release(&p.batch);
        }
        for (ArrowArray& a : ready_) a.release(&a);
    }

private:
    // The next batch: read, and labelled once the alerts are in (until then
    // rows are read ahead, up to a bound).
    int produce(ArrowArray* out, std::unique_lock<std::mutex>& lock) {
        out->release = nullptr;
        if (failed_) return failed_;
        if (!ready_.empty()) {
            *out = ready_.front();
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
                const int rc = read_batch(&p.batch, &p.keys);
                if (rc || !p.batch.release) return rc;
                return label(p, out);
            }
            // Until the alerts are in, read ahead, up to a bound.
            if (!done_reading_ && pending_.size() < kMaxPending) {
                Pending p;
                const int rc = read_batch(&p.batch, &p.keys);
                if (rc) {
                    if (pending_.empty()) return rc;
                    done_reading_ = true;  // the failure comes after the rows before it
                    pending_failure_ = rc;
                    failed_ = 0;
                } else if (!p.batch.release) {
                    done_reading_ = true;
                } else {
                    pending_.push_back(std::move(p));
                }
                continue;
            }
            if (done_reading_ && pending_.empty()) return pending_failure_ ? (failed_ = pending_failure_) : 0;
            if (cancelled()) return fail(ECANCELED, "cancelled");
            // Woken by set_alerts() or cancel(); the timeout covers a cancel() that came
            // between the test above and the wait.
            alerts_ready_.wait_for(lock, std::chrono::milliseconds(capture::kCancelLookMs),
                                   [this] { return alerts_ || !alerts_failed_.empty() || cancelled(); });
        }
    }

    // A batch read before its alerts were in.
    struct Pending {
        ArrowArray batch{};
        std::vector<labels::LabelKey> keys;
    };
    static constexpr std::size_t kMaxPending = 64;

    // Reads one batch of rows into `out` (release null: no more rows), with
    // each row's label key when `keys`.
    int read_batch(ArrowArray* out, std::vector<labels::LabelKey>* keys) {
        out->release = nullptr;
        if (failed_) return failed_;
        if (pending_failure_) return failed_ = pending_failure_;
        if (cancelled()) return fail(ECANCELED, "cancelled");
        if (!table_.start(batch_rows_)) return fail(ENOMEM, "out of memory");
        for (auto& c : shard_columns_) {
            if (!c.start(batch_rows_)) return fail(ENOMEM, "out of memory");
        }
        if (keys) keys->reserve(batch_rows_);
        decode::PacketView view;
        capture::Frame frame;
        while (table_.rows() < static_cast<int64_t>(batch_rows_) && current_ < sources_.size()) {
            const capture::ReadStatus status = file_.next(frame);
            if (status != capture::ReadStatus::frame) {
                if (status == capture::ReadStatus::failed) {
                    pending_failure_ = file_.os_errno() ? file_.os_errno() : EIO;
                    error_ = describe(sources_[current_].path, file_.error(), file_.offset());
                    break;
                }
                if (status == capture::ReadStatus::damaged) {
                    damage_.push_back({sources_[current_].path, file_.offset(), file_.error()});
                }
                if (!advance()) break;
                continue;
            }
            if ((++stats_.frames & kCancelLookEvery) == 0 && cancelled()) return fail(ECANCELED, "cancelled");
            const decode::Outcome outcome =
                decode::decode_frame(frame.linktype, decode::Reader(frame.data, frame.caplen), view);
            if (outcome != decode::Outcome::ip) {
                count_skipped(outcome);
                continue;
            }
            uint32_t count = 0;
            if (shard_) {
                uint32_t mend;
                count = shard_counts_.count(view.ip.version, view.ip.dst, frame.seconds(), mend);
                shard_columns_[0].push<uint32_t>(mend);
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
        if (!table_.export_batch(out)) return fail(ENOMEM, "out of memory");
        if (shard_) {
            ArrowArray extra;
            if (!columnar::export_batch(shard_columns_, &extra)) {
                out->release(out);
                return fail(ENOMEM, "out of memory");
            }
            const ArrowArray base = *out;
            if (!columnar::join_batches(base, extra, out)) return fail(ENOMEM, "out of memory");
        }
        return 0;
    }

    // The batch of `p` with its label columns after its others.
    // A batch's messages may hold more text than one batch's offsets can: it is then cut
    // into pieces that each fit, all but the first waiting in ready_.
    int label(Pending& p, ArrowArray* out) {
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
                    p.batch.release(&p.batch);
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
            p.batch.release(&p.batch);
            return fail(ENOMEM, "out of memory");
        }
        const ArrowArray base = p.batch;
        p.batch.release = nullptr;
        if (cuts.size() == 2) return labelled(base, found, 0, n, out);
        int rc = 0;
        for (std::size_t k = 0; k + 1 < cuts.size() && !rc; ++k) {
            ArrowArray piece, joined;
            if (!copy_rows(base, static_cast<int64_t>(cuts[k]), static_cast<int64_t>(cuts[k + 1]), &piece)) {
                rc = fail(ENOMEM, "out of memory");
            } else if (!(rc = labelled(piece, found, cuts[k], cuts[k + 1], &joined))) {
                ready_.push_back(joined);
            }
        }
        ArrowArray done = base;
        done.release(&done);
        if (rc) return rc;
        *out = ready_.front();
        ready_.pop_front();
        return 0;
    }

    // `base` (rows [begin, end) of `found`) with its label columns after its others; takes `base` over.
    int labelled(ArrowArray base, const std::vector<labels::Label>& found, std::size_t begin, std::size_t end,
                 ArrowArray* out) {
        LabelBuilder labels(*alerts_);
        bool ok = labels.start(end - begin);
        for (std::size_t i = begin; ok && i < end; ++i) ok = labels.add(found[i]);
        ArrowArray label_batch;
        if (!ok || !labels.export_batch(&label_batch)) {
            base.release(&base);
            return fail(ENOMEM, "out of memory");
        }
        if (!columnar::join_batches(base, label_batch, out)) return fail(ENOMEM, "out of memory");
        return 0;
    }

    // Rows [begin, end) of a batch of the scan's own columns (labels aside), copied.
    bool copy_rows(const ArrowArray& batch, int64_t begin, int64_t end, ArrowArray* out) {
        std::vector<columnar::Field> fields = table_.fields();
        if (shard_) fields.insert(fields.end(), std::begin(kShardFields), std::end(kShardFields));
        std::vector<columnar::Column> columns;
        for (std::size_t c = 0; c < fields.size(); ++c) {
            columns.emplace_back(fields[c]);
            if (!columns.back().start(static_cast<std::size_t>(end - begin)) ||
                !columnar::append_rows(batch.children[c], fields[c], begin, end, columns.back())) {
                return false;
            }
        }
        return columnar::export_batch(columns, out);
    }

    void count_skipped(decode::Outcome outcome) noexcept {
        switch (outcome) {
        case decode::Outcome::not_ip: ++stats_.not_ip; break;
        case decode::Outcome::cut: ++stats_.cut; break;
        case decode::Outcome::unsupported_link: ++stats_.unsupported_link; break;
        case decode::Outcome::ip: break;
        }
    }

    // The current file is done: opens the next one. False when none is left
    // or the next cannot be opened (a failure then).
    bool advance() {
        if (current_ == 0) first_end_ = file_.offset();
        stats_.bytes_done += file_.offset() - sources_[current_].start;
        ++stats_.files_done;
        file_.close();
        if (++current_ >= sources_.size()) return false;
        const Source& s = sources_[current_];
        file_.set_cancel(&cancel_);
        if (!file_.open(s.path, how_, s.start, s.limit, s.guess)) {
            pending_failure_ = file_.os_errno() ? file_.os_errno() : EINVAL;
            error_ = describe(s.path, file_.error(), 0);
            current_ = sources_.size();
            return false;
        }
        return true;
    }

    // "path: text (at byte N)"; no offset when `offset` is 0.
    static std::string describe(const std::string& path, const char* text, uint64_t offset) {
        char at[48] = "";
        if (offset) std::snprintf(at, sizeof at, " (at byte %llu)", static_cast<unsigned long long>(offset));
        std::string out;
        out.reserve(path.size() + std::strlen(text) + sizeof at + 2);
        out.append(path).append(": ").append(text).append(at);
        return out;
    }

    int fail(int err, const char* text) {
        error_ = text;
        failed_ = err;
        return err;
    }

    bool cancelled() const noexcept { return cancel_.load(std::memory_order_relaxed); }
    // Frames between two looks at the cancel flag: a mapped file reads this many in well under a millisecond.
    static constexpr uint64_t kCancelLookEvery = 4095;

    std::vector<Source> sources_;
    TableBuilder table_;
    std::size_t batch_rows_;
    capture::ReadWith how_;
    capture::CaptureFile file_;
    std::size_t current_ = 0;
    uint64_t first_start_ = 0;
    uint64_t first_end_ = UINT64_MAX;
    features::DestinationTable counts_;
    bool labelled_;
    bool shard_;
    std::vector<columnar::Column> shard_columns_;
    ShardCounter shard_counts_;
    std::shared_ptr<const labels::AlertIndex> alerts_;
    std::string alerts_failed_;
    std::vector<uint8_t> matched_;
    labels::LabelCursor cursor_;
    std::deque<Pending> pending_;
    std::deque<ArrowArray> ready_;  // pieces of a labelled batch cut to fit, waiting their turn
    std::size_t text_limit_;
    bool done_reading_ = false;

    std::condition_variable alerts_ready_;
    capture::CancelFlag cancel_{false};
    Stats stats_;
    std::vector<Damage> damage_;
    std::string error_;
    std::string error_path_;
    int os_errno_ = 0;
    int pending_failure_ = 0;
    int failed_ = 0;
    std::mutex mutex_;
};

}  // namespace kavrel::engine
