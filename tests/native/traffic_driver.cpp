// Runs TrafficWindows over connections read from stdin and writes the traffic
// columns as TSV, for the tests. Input, one connection a line, either a flat
// JSON object or tab-separated in this order (a header line is skipped):
//   uid  ts_ns  resp_ip  service  orig_port (a number, or null / - / empty)  conn_state
//
//   traffic_driver [--mode file|live|partitioned] [--time-window SECONDS]
//                  [--host-window N] [--history-bytes N] [--stats]
//                  [--end-order UID,UID,...]  live: the order connections end in
//                  [--split UID,UID,...]      partitioned: where partitions start
//
// Live, connections start in uid order as late as the end order allows (a
// connection starts just before the first end that needs it), and each row
// is written when handed out, with final_at: the index of the end that made
// it final. Partitioned, each partition gets a fresh TrafficWindows started
// from TrafficWindows::history_start() of everything before it.
#include "connections/traffic.hpp"

#include <arpa/inet.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

using kavrel::connections::TrafficFeatures;
using kavrel::connections::TrafficInput;
using kavrel::connections::TrafficSettings;
using kavrel::connections::TrafficWindows;

[[noreturn]] void die(const std::string& why) {
    std::fprintf(stderr, "traffic_driver: %s\n", why.c_str());
    std::exit(2);
}

struct Field {
    std::string text;
    bool null = false;
};

// A flat JSON object: string, number, true/false and null values only.
std::map<std::string, Field> parse_json(const std::string& line) {
    std::map<std::string, Field> out;
    std::size_t i = 0;
    const auto skip = [&] {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
    };
    const auto string = [&] {
        if (line[i] != '"') die("expected a string in: " + line);
        std::string s;
        for (++i; i < line.size() && line[i] != '"'; ++i) {
            if (line[i] == '\\' && i + 1 < line.size()) ++i;
            s += line[i];
        }
        if (i >= line.size()) die("unterminated string in: " + line);
        ++i;
        return s;
    };
    skip();
    if (i >= line.size() || line[i++] != '{') die("expected an object: " + line);
    for (;;) {
        skip();
        if (i < line.size() && line[i] == '}') break;
        const std::string key = string();
        skip();
        if (i >= line.size() || line[i++] != ':') die("expected ':' in: " + line);
        skip();
        Field value;
        if (i < line.size() && line[i] == '"') {
            value.text = string();
        } else {
            const std::size_t start = i;
            while (i < line.size() && line[i] != ',' && line[i] != '}' && line[i] != ' ') ++i;
            value.text = line.substr(start, i - start);
            value.null = value.text == "null";
        }
        out[key] = value;
        skip();
        if (i < line.size() && line[i] == ',') {
            ++i;
            continue;
        }
        if (i < line.size() && line[i] == '}') break;
        die("expected ',' or '}' in: " + line);
    }
    return out;
}

int64_t parse_int(const std::string& s, const char* what) {
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(s.c_str(), &end, 10);
    if (s.empty() || *end || errno) die(std::string("bad ") + what + ": '" + s + "'");
    return v;
}

struct Connection {
    TrafficInput input;
    std::string conn_state;
};

class Reader {
public:
    Connection parse(const std::string& line) {
        std::string uid, ts, ip, service, port, state;
        bool port_null = false;
        if (!line.empty() && line[0] == '{') {
            auto f = parse_json(line);
            const auto need = [&](const char* k) -> Field& {
                auto it = f.find(k);
                if (it == f.end()) die(std::string("missing ") + k + " in: " + line);
                return it->second;
            };
            uid = need("uid").text;
            ts = need("ts_ns").text;
            ip = need("resp_ip").text;
            service = need("service").text;
            port = need("orig_port").text;
            port_null = need("orig_port").null;
            state = need("conn_state").text;
        } else {
            std::vector<std::string> cols;
            std::size_t start = 0;
            for (std::size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1) {
                cols.push_back(line.substr(start, tab - start));
            }
            cols.push_back(line.substr(start));
            if (cols.size() != 6) die("expected 6 tab-separated columns: " + line);
            uid = cols[0], ts = cols[1], ip = cols[2], service = cols[3], port = cols[4], state = cols[5];
            port_null = port.empty() || port == "-" || port == "null";
        }
        Connection c;
        c.input.uid = static_cast<uint64_t>(parse_int(uid, "uid"));
        c.input.ts_ns = parse_int(ts, "ts_ns");
        if (inet_pton(AF_INET, ip.c_str(), c.input.resp_addr) == 1) {
            c.input.resp_version = 4;
        } else if (inet_pton(AF_INET6, ip.c_str(), c.input.resp_addr) == 1) {
            c.input.resp_version = 6;
        } else {
            die("bad resp_ip: '" + ip + "'");
        }
        auto [it, added] = services_.try_emplace(service, services_.size());
        if (it->second > 255) die("more than 256 services");
        c.input.service = static_cast<uint8_t>(it->second);
        c.input.has_orig_port = !port_null;
        if (!port_null) {
            const int64_t p = parse_int(port, "orig_port");
            if (p < 0 || p > 65535) die("bad orig_port: " + port);
            c.input.orig_port = static_cast<uint16_t>(p);
        }
        c.conn_state = state;
        c.input.error = kavrel::connections::error_class(state);
        return c;
    }

private:
    std::unordered_map<std::string, std::size_t> services_;
};

std::vector<uint64_t> parse_uids(const std::string& list) {
    std::vector<uint64_t> out;
    std::size_t start = 0;
    while (start < list.size()) {
        std::size_t comma = list.find(',', start);
        if (comma == std::string::npos) comma = list.size();
        out.push_back(static_cast<uint64_t>(parse_int(list.substr(start, comma - start), "uid")));
        start = comma + 1;
    }
    return out;
}

void write_header(bool live) {
    std::fputs("uid\tcount\tsrv_count\tserror_rate\tsrv_serror_rate\trerror_rate\tsrv_rerror_rate\tsame_srv_rate\t"
               "diff_srv_rate\tsrv_diff_host_rate\tdst_host_count\tdst_host_srv_count\tdst_host_same_srv_rate\t"
               "dst_host_diff_srv_rate\tdst_host_same_src_port_rate\tdst_host_srv_diff_host_rate\t"
               "dst_host_serror_rate\tdst_host_srv_serror_rate\tdst_host_rerror_rate\tdst_host_srv_rerror_rate",
               stdout);
    std::fputs(live ? "\tfinal_at\n" : "\n", stdout);
}

void write_row(uint64_t uid, const TrafficFeatures& f, std::optional<std::size_t> final_at) {
    // %.17g gives back the same double when read.
    std::printf("%" PRIu64 "\t%u\t%u\t%.17g\t%.17g\t%.17g\t%.17g\t%.17g\t%.17g\t%.17g\t%u\t%u\t%.17g\t%.17g\t%.17g\t"
                "%.17g\t%.17g\t%.17g\t%.17g\t%.17g",
                uid, f.count, f.srv_count, f.serror_rate, f.srv_serror_rate, f.rerror_rate, f.srv_rerror_rate,
                f.same_srv_rate, f.diff_srv_rate, f.srv_diff_host_rate, f.dst_host_count, f.dst_host_srv_count,
                f.dst_host_same_srv_rate, f.dst_host_diff_srv_rate, f.dst_host_same_src_port_rate,
                f.dst_host_srv_diff_host_rate, f.dst_host_serror_rate, f.dst_host_srv_serror_rate,
                f.dst_host_rerror_rate, f.dst_host_srv_rerror_rate);
    if (final_at) std::printf("\t%zu", *final_at);
    std::putchar('\n');
}

struct Stats {
    std::size_t peak_in_memory = 0;
    uint64_t spilled = 0;
    int spill_errno = 0;
    void sample(const TrafficWindows& w) {
        peak_in_memory = std::max(peak_in_memory, w.history_in_memory());
        spilled = std::max(spilled, w.history_spilled());
        if (w.spill_errno()) spill_errno = w.spill_errno();
    }
};

void check(const TrafficWindows& w, bool ok) {
    if (!ok) die(w.error());
}

void run_file(const std::vector<Connection>& rows, const TrafficSettings& settings, Stats& stats) {
    TrafficWindows w(settings);
    check(w, !w.failed());
    for (const Connection& c : rows) {
        TrafficFeatures f;
        check(w, w.add(c.input, f));
        stats.sample(w);
        write_row(c.input.uid, f, std::nullopt);
    }
}

void run_live(const std::vector<Connection>& rows, const TrafficSettings& settings, std::vector<uint64_t> order,
              Stats& stats) {
    if (order.empty()) {
        for (const Connection& c : rows) order.push_back(c.input.uid);
    }
    std::unordered_map<uint64_t, std::size_t> index;
    for (std::size_t i = 0; i < rows.size(); ++i) index[rows[i].input.uid] = i;
    std::vector<uint64_t> sorted = order;
    std::sort(sorted.begin(), sorted.end());
    if (sorted.size() != rows.size() || std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) {
        die("the end order must name every uid once");
    }

    TrafficWindows w(settings);
    check(w, !w.failed());
    std::size_t started = 0;
    std::vector<kavrel::connections::TrafficRow> ready;
    for (std::size_t k = 0; k < order.size(); ++k) {
        const auto it = index.find(order[k]);
        if (it == index.end()) die("the end order names an unknown uid");
        while (started <= it->second) check(w, w.start(rows[started++].input));
        ready.clear();
        check(w, w.end(order[k], rows[it->second].input.error, ready));
        stats.sample(w);
        for (const auto& r : ready) write_row(r.uid, r.features, k);
    }
    if (w.pending()) die("rows left unfinished after every connection ended");
}

void run_partitioned(const std::vector<Connection>& rows, const TrafficSettings& settings,
                     const std::vector<uint64_t>& splits, Stats& stats) {
    std::vector<TrafficInput> inputs;
    for (const Connection& c : rows) inputs.push_back(c.input);
    std::vector<std::size_t> bounds{0};
    for (const uint64_t uid : splits) {
        const auto it = std::find_if(rows.begin(), rows.end(), [&](const Connection& c) { return c.input.uid == uid; });
        if (it == rows.end()) die("a split names an unknown uid");
        bounds.push_back(static_cast<std::size_t>(it - rows.begin()));
    }
    bounds.push_back(rows.size());
    std::sort(bounds.begin(), bounds.end());
    for (std::size_t b = 0; b + 1 < bounds.size(); ++b) {
        const std::size_t first = bounds[b], last = bounds[b + 1];
        if (first == last) continue;
        int64_t earliest = inputs[first].ts_ns;
        for (std::size_t i = first; i < last; ++i) earliest = std::min(earliest, inputs[i].ts_ns);
        const std::span<const TrafficInput> before(inputs.data(), first);
        const std::size_t from = TrafficWindows::history_start(before, earliest, settings);
        TrafficWindows w(settings, before.subspan(from));
        check(w, !w.failed());
        for (std::size_t i = first; i < last; ++i) {
            TrafficFeatures f;
            check(w, w.add(inputs[i], f));
            stats.sample(w);
            write_row(inputs[i].uid, f, std::nullopt);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    TrafficSettings settings;
    std::string mode = "file";
    std::vector<uint64_t> end_order, splits;
    bool stats_wanted = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc) die("missing value for " + arg);
            return argv[++i];
        };
        if (arg == "--mode") {
            mode = value();
        } else if (arg == "--time-window") {
            settings.time_window = std::strtod(value().c_str(), nullptr);
        } else if (arg == "--host-window") {
            settings.host_window = static_cast<uint64_t>(parse_int(value(), "host window"));
        } else if (arg == "--history-bytes") {
            settings.history_bytes = static_cast<std::size_t>(parse_int(value(), "history bytes"));
        } else if (arg == "--end-order") {
            end_order = parse_uids(value());
        } else if (arg == "--split") {
            splits = parse_uids(value());
        } else if (arg == "--stats") {
            stats_wanted = true;
        } else {
            die("unknown argument " + arg);
        }
    }
    if (const char* why = TrafficWindows::check(settings)) die(why);

    Reader reader;
    std::vector<Connection> rows;
    for (std::string line; std::getline(std::cin, line);) {
        if (line.empty() || line.rfind("uid\t", 0) == 0) continue;
        rows.push_back(reader.parse(line));
    }

    Stats stats;
    write_header(mode == "live");
    if (mode == "file") {
        run_file(rows, settings, stats);
    } else if (mode == "live") {
        run_live(rows, settings, end_order, stats);
    } else if (mode == "partitioned") {
        run_partitioned(rows, settings, splits, stats);
    } else {
        die("unknown mode " + mode);
    }
    if (stats_wanted) {
        std::fprintf(stderr, "peak_in_memory=%zu spilled=%" PRIu64 " spill_errno=%d\n", stats.peak_in_memory,
                     stats.spilled, stats.spill_errno);
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}
