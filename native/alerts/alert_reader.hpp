// A whole fast-alert log into batches of the alerts table, read as text mode
// reads it (see text.hpp); lines that are not alerts are counted.
#pragma once

#include "alerts/alert_table.hpp"
#include "alerts/fast_alert.hpp"
#include "alerts/text.hpp"
#include "columnar/arrow_c.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace kavrel::alerts {

struct AlertLog {
    std::vector<ArrowArray> batches;  // owned: released by the caller or handed on
    uint64_t lines = 0;               // lines that hold more than whitespace
    uint64_t skipped = 0;             // of those, lines that are no fast alert
    uint64_t invalid_utf8 = 0;        // of those, lines with bytes that are no UTF-8 (each run of them is U+FFFD)
    int os_errno = 0;                 // why the log could not be read (0: it could)
};

inline constexpr std::size_t kAlertBatchRows = columnar::kDefaultBatchRows;

// Lines of a log into batches of the alerts table, one line at a time.
class AlertLogBuilder {
public:
    // `text_limit`: the most text a batch's column holds (its 32-bit offsets'); a batch is cut
    // before a line whose texts would not fit.
    AlertLogBuilder(YearRule rule, DateOrder order, std::size_t text_limit = columnar::kMaxTextBytes)
        : table_(rule, order), text_limit_(text_limit) {
        ok_ = table_.start(kAlertBatchRows);
    }

    // False once memory ran out; every later line is then ignored.
    bool ok() const noexcept { return ok_; }

    // One line, without its line break.
    void line(const uint8_t* bytes, std::size_t n) {
        if (!ok_) return;
        std::size_t begin, end;
        bool added;
        // Most logs are ASCII: their bytes are their code points, with no decoding.
        if (all_ascii(bytes, n)) {
            strip(bytes, n, begin, end);
            if (begin == end) return;
            ++log_.lines;
            const LineView<uint8_t> view{bytes + begin, end - begin, reinterpret_cast<const char*>(bytes + begin),
                                         nullptr};
            if (!ascii_matcher_.match(view.chars, view.size, alert_)) {
                ++log_.skipped;
                return;
            }
            if (!make_room(end - begin)) return;
            added = table_.add(view, alert_);
        } else {
            // The table keeps what the log says: bytes that are no UTF-8 become U+FFFD, not nothing.
            decode_line(bytes, n, line_, Invalid::replace);
            strip(line_.chars.data(), line_.size(), begin, end);
            if (begin == end) return;
            ++log_.lines;
            log_.invalid_utf8 += line_.had_invalid;
            const LineView<char32_t> view{line_.chars.data() + begin, end - begin,
                                          line_.utf8.data() + line_.starts[begin], line_.starts.data() + begin};
            if (!matcher_.match(view.chars, view.size, alert_)) {
                ++log_.skipped;
                return;
            }
            if (!make_room(line_.starts[end] - line_.starts[begin])) return;
            added = table_.add(view, alert_);
        }
        ok_ = added && (table_.rows() < static_cast<int64_t>(kAlertBatchRows) || flush());
    }

    // The log so far, its last rows in a batch of their own; ENOMEM when memory ran out.
    AlertLog finish() {
        if (ok_ && table_.rows() > 0) ok_ = flush();
        if (!ok_ && !log_.os_errno) log_.os_errno = ENOMEM;
        return std::move(log_);
    }

private:
    // Room in the batch for a line of `bytes`: the batch goes out first when it lacks it. A
    // line that no batch can hold fails the read (EFBIG), after the lines before it.
    bool make_room(std::size_t bytes) {
        if (table_.fits(bytes, text_limit_)) return true;
        if (table_.rows() > 0 && (ok_ = flush()) && table_.fits(bytes, text_limit_)) return true;
        if (ok_) {
            ok_ = false;
            log_.os_errno = EFBIG;
        }
        return false;
    }

    bool flush() {
        ArrowArray batch;
        if (!table_.export_batch(&batch)) return false;
        log_.batches.push_back(batch);
        return table_.start(kAlertBatchRows);
    }

    AlertTableBuilder table_;
    FastAlertMatcher<uint8_t> ascii_matcher_;
    FastAlertMatcher<char32_t> matcher_;
    Line line_;
    FastAlert alert_;
    AlertLog log_;
    std::size_t text_limit_;
    bool ok_ = false;
};

inline AlertLog read_alert_log(const std::string& path, YearRule rule, DateOrder order,
                               std::size_t text_limit = columnar::kMaxTextBytes) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        AlertLog log;
        log.os_errno = errno;
        return log;
    }
    AlertLogBuilder builder(rule, order, text_limit);
    int failure = 0;
    std::vector<uint8_t> buf(1 << 22);
    std::size_t have = 0;
    for (;;) {
        if (have == buf.size()) buf.resize(buf.size() * 2);  // one line longer than the buffer
        const ssize_t n = ::read(fd, buf.data() + have, buf.size() - have);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            failure = errno;
            break;
        }
        have += static_cast<std::size_t>(n);
        const bool last = n == 0;
        const std::size_t used = for_each_line(buf.data(), have, last,
                                               [&](const uint8_t* b, std::size_t len) { builder.line(b, len); });
        std::memmove(buf.data(), buf.data() + used, have - used);
        have -= used;
        if (last || !builder.ok()) break;
    }
    ::close(fd);
    AlertLog log = builder.finish();
    if (failure) log.os_errno = failure;
    return log;
}

}  // namespace kavrel::alerts
