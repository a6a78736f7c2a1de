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
#include <string>
#include <vector>

namespace kavrel::alerts {

struct AlertLog {
    std::vector<ArrowArray> batches;  // owned: released by the caller or handed on
    uint64_t lines = 0;               // lines that hold more than whitespace
    uint64_t skipped = 0;             // of those, lines that are no fast alert
    int os_errno = 0;                 // why the log could not be read (0: it could)
};

inline constexpr std::size_t kAlertBatchRows = 65536;

inline AlertLog read_alert_log(const std::string& path, YearRule rule, DateOrder order) {
    AlertLog log;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        log.os_errno = errno;
        return log;
    }
    AlertTableBuilder table(rule, order);
    FastAlertMatcher<uint8_t> ascii_matcher;
    FastAlertMatcher<char32_t> matcher;
    Line line;
    FastAlert alert;
    bool ok = table.start(kAlertBatchRows);
    auto flush = [&]() {
        ArrowArray batch;
        if (!table.export_batch(&batch)) return false;
        log.batches.push_back(batch);
        return table.start(kAlertBatchRows);
    };
    // Most logs are ASCII: their bytes are their code points, with no decoding.
    auto on_line = [&](const uint8_t* bytes, std::size_t n) {
        if (!ok) return;
        std::size_t begin, end;
        bool added;
        if (all_ascii(bytes, n)) {
            strip(bytes, n, begin, end);
            if (begin == end) return;
            ++log.lines;
            const LineView<uint8_t> view{bytes + begin, end - begin, reinterpret_cast<const char*>(bytes + begin),
                                         nullptr};
            if (!ascii_matcher.match(view.chars, view.size, alert)) {
                ++log.skipped;
                return;
            }
            added = table.add(view, alert);
        } else {
            decode_line(bytes, n, line);
            strip(line.chars.data(), line.size(), begin, end);
            if (begin == end) return;
            ++log.lines;
            const LineView<char32_t> view{line.chars.data() + begin, end - begin,
                                          line.utf8.data() + line.starts[begin], line.starts.data() + begin};
            if (!matcher.match(view.chars, view.size, alert)) {
                ++log.skipped;
                return;
            }
            added = table.add(view, alert);
        }
        ok = added && (table.rows() < static_cast<int64_t>(kAlertBatchRows) || flush());
    };
    std::vector<uint8_t> buf(1 << 22);
    std::size_t have = 0;
    for (;;) {
        if (have == buf.size()) buf.resize(buf.size() * 2);  // one line longer than the buffer
        const ssize_t n = ::read(fd, buf.data() + have, buf.size() - have);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            log.os_errno = errno;
            break;
        }
        have += static_cast<std::size_t>(n);
        const bool last = n == 0;
        const std::size_t used = for_each_line(buf.data(), have, last, on_line);
        std::memmove(buf.data(), buf.data() + used, have - used);
        have -= used;
        if (last || !ok) break;
    }
    ::close(fd);
    if (ok && !log.os_errno && table.rows() > 0) ok = flush();
    if (!ok && !log.os_errno) log.os_errno = ENOMEM;
    return log;
}

}  // namespace kavrel::alerts
