// Finished connections, taken in table order (uid order), into batches of the
// connection table: the chosen columns, the traffic features when one of their
// columns is asked for, and the label columns when alerts label the table.
// Every way the table is made (one pass, shards merged, a Dask partition, a
// live capture) ends here, so each row is made one way.
#pragma once

#include "columnar/arrow_c.hpp"
#include "columnar/columns.hpp"
#include "connections/assembler.hpp"
#include "connections/traffic.hpp"
#include "engine/connection_table.hpp"
#include "engine/tables.hpp"
#include "labels/alert_index.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace kavrel::engine {

struct ConnectionOptions {
    std::vector<int> columns;  // indices into kConnectionFields, in the order asked for
    connections::Settings timing;
    connections::TrafficSettings traffic;
    std::size_t batch_rows = columnar::kDefaultBatchRows;
    std::size_t hold_bytes = std::size_t{64} << 20;  // rows held back in memory before they go to a file
    bool labelled = false;
    std::size_t text_limit = columnar::kMaxTextBytes;  // label text a batch holds at the most
};

inline labels::ConnectionKey label_key(const connections::Connection& c) noexcept {
    labels::ConnectionKey k;
    k.first_ns = c.ts_ns;
    k.last_ns = c.last_ts_ns;
    k.proto = c.ip_proto;
    k.version = c.ip_version;
    k.has_ports = c.has_ports && (c.ip_proto == decode::proto::kTcp || c.ip_proto == decode::proto::kUdp);
    k.orig_port = c.orig_port;
    k.resp_port = c.resp_port;
    std::memcpy(k.orig, c.orig_ip, 16);
    std::memcpy(k.resp, c.resp_ip, 16);
    return k;
}

class ConnectionBatches {
public:
    enum class Added : uint8_t { yes, full, failed };

    // `history`: the connections just before the first this is given, for the
    // traffic windows of a table made in parts (TrafficWindows::history_start).
    explicit ConnectionBatches(const ConnectionOptions& options, std::span<const connections::TrafficInput> history = {})
        : options_(options), table_(options.columns),
          windows_(options.traffic, history) {
        if (options_.labelled) {
            for (const Field& f : kLabelFields) label_fields_.push_back(f);
        }
    }

    std::vector<Field> fields() const {
        std::vector<Field> out = table_.fields();
        out.insert(out.end(), label_fields_.begin(), label_fields_.end());
        return out;
    }
    bool traffic() const noexcept { return table_.traffic(); }
    bool labelled() const noexcept { return options_.labelled; }
    int64_t rows() const noexcept { return started_ ? table_.rows() : 0; }
    bool full() const noexcept { return rows() >= static_cast<int64_t>(options_.batch_rows); }

    // The alerts, once known; labelled batches take no row before.
    void set_alerts(std::shared_ptr<const labels::AlertIndex> alerts) {
        alerts_ = std::move(alerts);
        matched_.assign(alerts_ ? alerts_->size() : 0, 0);
    }
    bool has_alerts() const noexcept { return alerts_ != nullptr; }

    // Adds the next row: `full` when the batch must be taken first (it is full,
    // or this row's alert text would not fit its offsets), `failed` with error().
    Added add(const connections::Connection& c) {
        if (failed_) return Added::failed;
        if (full()) return Added::full;
        if (!started_) {
            if (!table_.start(options_.batch_rows)) return fail(ENOMEM, "out of memory");
            labels_.clear();
            text_ = 0;
            started_ = true;
        }
        labels::Label label;
        if (options_.labelled) {
            label = alerts_->label(label_key(c), matched_);
            const std::size_t msg = label.shown ? alerts_->msg(*label.shown).size() : 0;
            if (msg > options_.text_limit) return fail(EFBIG, "an alert's message is longer than a batch can hold");
            if (text_ + msg > options_.text_limit && table_.rows() > 0) return Added::full;
            text_ += msg;
        }
        connections::TrafficFeatures features;
        if (table_.traffic() && !windows_.add(traffic_input(c), features)) {
            return fail(windows_.os_errno() ? windows_.os_errno() : EINVAL, windows_.error().c_str());
        }
        if (!table_.add(c, table_.traffic() ? &features : nullptr)) return fail(ENOMEM, "out of memory");
        if (options_.labelled) {
            try {
                labels_.push_back(label);
            } catch (const std::bad_alloc&) {
                return fail(ENOMEM, "out of memory");
            }
        }
        return Added::yes;
    }

    // The batch built so far (none: out->release stays null); 0 or an errno.
    int take(ArrowArray* out) {
        out->release = nullptr;
        if (failed_) return failed_;
        if (!started_ || table_.rows() == 0) return 0;
        started_ = false;
        ArrowArray rows;
        if (!table_.export_batch(&rows)) {
            fail(ENOMEM, "out of memory");
            return failed_;
        }
        if (!options_.labelled) {
            *out = rows;
            return 0;
        }
        LabelBuilder labels(*alerts_);
        bool ok = labels.start(labels_.size());
        for (std::size_t i = 0; ok && i < labels_.size(); ++i) ok = labels.add(labels_[i]);
        ArrowArray label_batch;
        if (!ok || !labels.export_batch(&label_batch)) {
            rows.release(&rows);
            fail(ENOMEM, "out of memory");
            return failed_;
        }
        if (!columnar::join_batches(rows, label_batch, out)) {
            fail(ENOMEM, "out of memory");
            return failed_;
        }
        return 0;
    }

    uint64_t unmatched_alerts() const noexcept {
        if (!alerts_) return 0;
        uint64_t used = 0;
        for (const uint8_t m : matched_) used += m;
        return alerts_->total() - used;
    }
    const std::vector<uint8_t>& matched_alerts() const noexcept { return matched_; }
    const std::string& error() const noexcept { return error_; }
    int failed() const noexcept { return failed_; }

private:
    Added fail(int err, const char* text) {
        if (!failed_) {
            failed_ = err;
            error_ = text;
        }
        return Added::failed;
    }

    ConnectionOptions options_;
    ConnectionTableBuilder table_;
    connections::TrafficWindows windows_;
    std::vector<Field> label_fields_;
    std::shared_ptr<const labels::AlertIndex> alerts_;
    std::vector<uint8_t> matched_;
    std::vector<labels::Label> labels_;
    std::size_t text_ = 0;
    bool started_ = false;
    int failed_ = 0;
    std::string error_;
};

}  // namespace kavrel::engine
