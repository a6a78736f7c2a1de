// Test driver for the connection core: reads capture files in order as one
// capture, assembles their packets into connections and prints one JSON
// object per connection, in uid order, with the table's column names.
//
//   connection_driver [--tcp-timeout S] [--udp-timeout S] [--icmp-timeout S]
//                     [--other-timeout S] [--close-delay S] [--hold-bytes N]
//                     [--reload-every N] FILE...
//   connection_driver --services      the service table, one JSON object a row
//   connection_driver --buckets FILE... each IP packet's frame index and bucket
//
// --reload-every N saves the assembler's state after every N packets and goes
// on with a fresh assembler loaded from it. Failures go to stderr as
// "error: WHAT[: STRERROR (errno N)]" with exit status 1; usage errors exit 2.
#include "capture/capture_file.hpp"
#include "columnar/text.hpp"
#include "connections/assembler.hpp"
#include "connections/ordered_rows.hpp"
#include "connections/packet_event.hpp"
#include "connections/service.hpp"
#include "decode/packet_view.hpp"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace kavrel;
using connections::Connection;

[[noreturn]] void fail(const std::string& what, int err = 0) {
    std::fflush(stdout);
    if (err) std::fprintf(stderr, "error: %s: %s (errno %d)\n", what.c_str(), std::strerror(err), err);
    else std::fprintf(stderr, "error: %s\n", what.c_str());
    std::exit(1);
}

[[noreturn]] void usage(const std::string& why) {
    std::fprintf(stderr, "usage: %s\n", why.c_str());
    std::exit(2);
}

std::string address(uint8_t version, const uint8_t* addr) {
    char text[columnar::kMaxIpv6TextLen + 1];
    const std::size_t n = version == 4 ? columnar::format_ipv4(addr, text) : columnar::format_ipv6(addr, text);
    return std::string(text, n);
}

void print_row(const Connection& c) {
    using namespace connections;
    const std::string orig = address(c.ip_version, c.orig_ip), resp = address(c.ip_version, c.resp_ip);
    char orig_port[8] = "null", resp_port[8] = "null", vlan[8] = "null";
    if (c.has_ports) {
        std::snprintf(orig_port, sizeof orig_port, "%u", c.orig_port);
        std::snprintf(resp_port, sizeof resp_port, "%u", c.resp_port);
    }
    if (c.has_vlan) std::snprintf(vlan, sizeof vlan, "%u", c.vlan);
    std::printf(
        "{\"uid\":%llu,\"ts\":%lld,\"last_ts\":%lld,\"duration\":%.17g,\"ip_version\":%u,\"protocol_type\":\"%s\","
        "\"ip_proto\":%u,\"orig_ip\":\"%s\",\"resp_ip\":\"%s\",\"orig_port\":%s,\"resp_port\":%s,\"vlan\":%s,"
        "\"service\":\"%s\",\"conn_state\":\"%s\",\"history\":\"%s\",\"end_reason\":\"%s\",\"orig_pkts\":%llu,"
        "\"resp_pkts\":%llu,\"orig_ip_bytes\":%llu,\"resp_ip_bytes\":%llu,\"src_bytes\":%llu,\"dst_bytes\":%llu,"
        "\"land\":%u,\"wrong_fragment\":%u,\"urgent\":%u}\n",
        static_cast<unsigned long long>(c.uid), static_cast<long long>(c.ts_ns), static_cast<long long>(c.last_ts_ns),
        c.duration(), c.ip_version, kProtocolTypeNames[static_cast<int>(c.protocol_type)], c.ip_proto, orig.c_str(),
        resp.c_str(), orig_port, resp_port, vlan, kServiceNames[c.service],
        kConnStateNames[static_cast<int>(c.conn_state)], c.history, kEndReasonNames[static_cast<int>(c.end_reason)],
        static_cast<unsigned long long>(c.orig_pkts), static_cast<unsigned long long>(c.resp_pkts),
        static_cast<unsigned long long>(c.orig_ip_bytes), static_cast<unsigned long long>(c.resp_ip_bytes),
        static_cast<unsigned long long>(c.src_bytes), static_cast<unsigned long long>(c.dst_bytes), c.land,
        c.wrong_fragment, c.urgent);
}

void print_services() {
    using namespace connections;
    for (const ServiceRow& row : kServiceRows) {
        char code[8] = "\"*\"";
        if (row.code != kAnyCode) std::snprintf(code, sizeof code, "%d", row.code);
        std::printf("{\"service\":\"%s\",\"protocol\":\"%s\",\"first\":%u,\"last\":%u,\"code\":%s}\n", row.name,
                    kServiceProtocolNames[static_cast<int>(row.protocol)], row.first, row.last, code);
    }
}

int64_t seconds_option(const char* text, const char* name) {
    char* end = nullptr;
    const double seconds = std::strtod(text, &end);
    int64_t ns;
    if (!end || *end || !connections::seconds_to_ns(seconds, ns)) usage(std::string(name) + " takes seconds >= 0");
    return ns;
}

uint64_t count_option(const char* text, const char* name) {
    char* end = nullptr;
    const unsigned long long n = std::strtoull(text, &end, 10);
    if (!end || *end || text[0] == '-') usage(std::string(name) + " takes a count");
    return n;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace kavrel;
    // A temporary file past the file-size limit is an error to report, not a signal to die of.
    std::signal(SIGXFSZ, SIG_IGN);
    connections::Settings settings;
    std::size_t hold_bytes = 64u << 20;
    uint64_t reload_every = 0;
    bool buckets = false;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--services") {
            print_services();
            return 0;
        } else if (arg == "--buckets") {
            buckets = true;
        } else if (arg == "--tcp-timeout" && has_value) {
            settings.tcp_timeout_ns = seconds_option(argv[++i], "--tcp-timeout");
        } else if (arg == "--udp-timeout" && has_value) {
            settings.udp_timeout_ns = seconds_option(argv[++i], "--udp-timeout");
        } else if (arg == "--icmp-timeout" && has_value) {
            settings.icmp_timeout_ns = seconds_option(argv[++i], "--icmp-timeout");
        } else if (arg == "--other-timeout" && has_value) {
            settings.other_timeout_ns = seconds_option(argv[++i], "--other-timeout");
        } else if (arg == "--close-delay" && has_value) {
            settings.close_delay_ns = seconds_option(argv[++i], "--close-delay");
        } else if (arg == "--hold-bytes" && has_value) {
            hold_bytes = static_cast<std::size_t>(count_option(argv[++i], "--hold-bytes"));
        } else if (arg == "--reload-every" && has_value) {
            reload_every = count_option(argv[++i], "--reload-every");
        } else if (arg.size() > 1 && arg[0] == '-' && arg != "-") {
            usage("unknown option " + arg);
        } else {
            files.push_back(arg);
        }
    }
    if (files.empty()) usage("no capture files");

    auto assembler = std::make_unique<connections::Assembler>(settings);
    connections::OrderedRows rows(hold_bytes);
    const auto ended = [&](const Connection& c) {
        if (!rows.push(c)) fail(std::string("holding rows back: ") + rows.error(), rows.os_errno());
    };
    const auto release = [&](uint64_t bound) {
        if (!rows.release(bound, print_row)) fail(std::string("holding rows back: ") + rows.error(), rows.os_errno());
    };

    uint64_t frame_index = 0, packets = 0;
    for (const std::string& path : files) {
        capture::CaptureFile file;
        if (!file.open(path)) fail(path + ": " + file.error(), file.os_errno());
        capture::Frame frame;
        capture::ReadStatus status;
        while ((status = file.next(frame)) == capture::ReadStatus::frame) {
            assembler->advance(frame.time_ns(), ended);
            decode::PacketView view;
            connections::PacketEvent event;
            if (decode::decode_frame(file.linktype(), decode::Reader(frame.data, frame.caplen), view) ==
                    decode::Outcome::ip &&
                connections::make_event(frame, view, frame_index, event)) {
                if (buckets) {
                    std::printf("{\"frame\":%llu,\"bucket\":%u}\n", static_cast<unsigned long long>(frame_index),
                                connections::bucket_of(event));
                    ++frame_index;
                    continue;
                }
                if (!assembler->add(event, ended)) fail("out of memory assembling connections");
                if (reload_every && ++packets % reload_every == 0) {
                    const std::string state = assembler->save();
                    auto next = std::make_unique<connections::Assembler>(settings);
                    if (state.empty() || !next->load(state.data(), state.size())) fail("the saved state did not load");
                    if (next->save() != state) fail("the loaded state saves differently");
                    if (next->open_connections() != assembler->open_connections()) fail("open connections lost in loading");
                    assembler = std::move(next);
                }
            }
            ++frame_index;
            release(assembler->oldest_open_uid());
        }
        if (status == capture::ReadStatus::failed) fail(path + ": " + file.error(), file.os_errno());
        if (status == capture::ReadStatus::damaged) {
            std::fprintf(stderr, "warning: %s: damaged at byte %llu: %s\n", path.c_str(),
                         static_cast<unsigned long long>(file.offset()), file.error());
        }
    }
    assembler->finish(ended);
    release(UINT64_MAX);
    if (std::fflush(stdout) != 0) fail("writing the rows", errno);
    return 0;
}
