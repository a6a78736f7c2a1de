// libFuzzer target for the fast-alert log reader: the input is a log. Every
// line goes through the table builder (times, ids, addresses, ports), and each
// ASCII line is matched twice, by the byte matcher and by the code-point one,
// which must find the same eight spans.
#include "alerts/alert_reader.hpp"

#include <cstdlib>

namespace {

using namespace kavrel::alerts;

bool same(const Span& a, const Span& b) { return a.present == b.present && (!a.present || (a.begin == b.begin && a.end == b.end)); }

void check_matchers_agree(const uint8_t* bytes, std::size_t n) {
    if (!all_ascii(bytes, n)) return;
    static FastAlertMatcher<uint8_t> ascii;
    static FastAlertMatcher<char32_t> wide;
    static Line line;
    decode_line(bytes, n, line);
    FastAlert a, w;
    const bool ma = ascii.match(bytes, n, a);
    const bool mw = wide.match(line.chars.data(), line.size(), w);
    if (ma != mw) std::abort();
    if (ma && !(same(a.ts, w.ts) && same(a.sid, w.sid) && same(a.msg, w.msg) && same(a.cls, w.cls) &&
                same(a.pri, w.pri) && same(a.proto, w.proto) && same(a.src, w.src) && same(a.dst, w.dst) &&
                a.ts_has_year == w.ts_has_year)) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    // The first byte picks how a three-field date is read.
    const DateOrder order = static_cast<DateOrder>(data[0] % 3);
    AlertLogBuilder builder(YearRule{2026, 1}, order);
    for_each_line(data + 1, size - 1, true, [&](const uint8_t* b, std::size_t n) {
        check_matchers_agree(b, n);
        builder.line(b, n);
    });
    AlertLog log = builder.finish();
    if (log.skipped > log.lines) std::abort();
    for (ArrowArray& batch : log.batches) batch.release(&batch);
    return 0;
}
