// KDD'99's service names: which name a connection gets from its protocol and
// its responder's port, or from its first ICMP message's type and code.
#pragma once

#include "decode/ip.hpp"
#include "decode/transport.hpp"

#include <array>
#include <cstdint>
#include <string_view>

namespace kavrel::connections {

enum class ServiceProtocol : uint8_t { tcp, udp, icmp, icmp6 };

inline constexpr const char* kServiceProtocolNames[] = {"tcp", "udp", "icmp", "icmp6"};

// Every name a connection can get, in table order, then the three fallbacks.
inline constexpr const char* kServiceNames[] = {
    "aol", "auth", "bgp", "courier", "csnet_ns", "ctf", "daytime", "discard", "domain", "echo", "efs", "exec",
    "finger", "ftp", "ftp_data", "gopher", "hostnames", "http", "http_2784", "http_443", "http_8001", "imap4",
    "IRC", "iso_tsap", "klogin", "kshell", "ldap", "link", "login", "mtp", "name", "netbios_dgm", "netbios_ns",
    "netbios_ssn", "netstat", "nnsp", "nntp", "pop_2", "pop_3", "printer", "remote_job", "rje", "shell", "smtp",
    "sql_net", "ssh", "sunrpc", "supdup", "systat", "telnet", "time", "uucp", "uucp_path", "vmnet", "whois",
    "Z39_50", "X11", "domain_u", "tftp_u", "ntp_u", "ecr_i", "urh_i", "urp_i", "red_i", "eco_i", "tim_i",
    "private", "other", "oth_i",
};
inline constexpr std::size_t kServiceCount = sizeof kServiceNames / sizeof kServiceNames[0];

inline constexpr uint8_t service_index(std::string_view name) {
    for (std::size_t i = 0; i < kServiceCount; ++i) {
        if (name == kServiceNames[i]) return static_cast<uint8_t>(i);
    }
    throw "not a service name";  // in a constant expression: a compile error
}

inline constexpr uint8_t kFtpData = service_index("ftp_data");
inline constexpr uint8_t kPrivate = service_index("private");
inline constexpr uint8_t kOther = service_index("other");
inline constexpr uint8_t kOtherIcmp = service_index("oth_i");

// Responder ports from this one up are dynamic (private) when not listed.
inline constexpr uint16_t kFirstDynamicPort = 49152;
inline constexpr uint16_t kFtpDataPort = 20;
inline constexpr int16_t kAnyCode = -1;

// TCP/UDP: responder ports first..last; ICMP/ICMPv6: the first message's types first..last and its code.
struct ServiceRow {
    const char* name;
    ServiceProtocol protocol;
    uint16_t first;
    uint16_t last;
    int16_t code;  // kAnyCode, or the one ICMP code
};

inline constexpr ServiceRow kServiceRows[] = {
    {"aol", ServiceProtocol::tcp, 5190, 5190, kAnyCode},
    {"auth", ServiceProtocol::tcp, 113, 113, kAnyCode},
    {"bgp", ServiceProtocol::tcp, 179, 179, kAnyCode},
    {"courier", ServiceProtocol::tcp, 530, 530, kAnyCode},
    {"csnet_ns", ServiceProtocol::tcp, 105, 105, kAnyCode},
    {"ctf", ServiceProtocol::tcp, 84, 84, kAnyCode},
    {"daytime", ServiceProtocol::tcp, 13, 13, kAnyCode},
    {"discard", ServiceProtocol::tcp, 9, 9, kAnyCode},
    {"domain", ServiceProtocol::tcp, 53, 53, kAnyCode},
    {"echo", ServiceProtocol::tcp, 7, 7, kAnyCode},
    {"efs", ServiceProtocol::tcp, 520, 520, kAnyCode},
    {"exec", ServiceProtocol::tcp, 512, 512, kAnyCode},
    {"finger", ServiceProtocol::tcp, 79, 79, kAnyCode},
    {"ftp", ServiceProtocol::tcp, 21, 21, kAnyCode},
    {"ftp_data", ServiceProtocol::tcp, 20, 20, kAnyCode},
    {"gopher", ServiceProtocol::tcp, 70, 70, kAnyCode},
    {"hostnames", ServiceProtocol::tcp, 101, 101, kAnyCode},
    {"http", ServiceProtocol::tcp, 80, 80, kAnyCode},
    {"http_2784", ServiceProtocol::tcp, 2784, 2784, kAnyCode},
    {"http_443", ServiceProtocol::tcp, 443, 443, kAnyCode},
    {"http_8001", ServiceProtocol::tcp, 8001, 8001, kAnyCode},
    {"imap4", ServiceProtocol::tcp, 143, 143, kAnyCode},
    {"IRC", ServiceProtocol::tcp, 194, 194, kAnyCode},
    {"iso_tsap", ServiceProtocol::tcp, 102, 102, kAnyCode},
    {"klogin", ServiceProtocol::tcp, 543, 543, kAnyCode},
    {"kshell", ServiceProtocol::tcp, 544, 544, kAnyCode},
    {"ldap", ServiceProtocol::tcp, 389, 389, kAnyCode},
    {"link", ServiceProtocol::tcp, 245, 245, kAnyCode},
    {"login", ServiceProtocol::tcp, 513, 513, kAnyCode},
    {"mtp", ServiceProtocol::tcp, 57, 57, kAnyCode},
    {"name", ServiceProtocol::tcp, 42, 42, kAnyCode},
    {"netbios_dgm", ServiceProtocol::tcp, 138, 138, kAnyCode},
    {"netbios_ns", ServiceProtocol::tcp, 137, 137, kAnyCode},
    {"netbios_ssn", ServiceProtocol::tcp, 139, 139, kAnyCode},
    {"netstat", ServiceProtocol::tcp, 15, 15, kAnyCode},
    {"nnsp", ServiceProtocol::tcp, 433, 433, kAnyCode},
    {"nntp", ServiceProtocol::tcp, 119, 119, kAnyCode},
    {"pop_2", ServiceProtocol::tcp, 109, 109, kAnyCode},
    {"pop_3", ServiceProtocol::tcp, 110, 110, kAnyCode},
    {"printer", ServiceProtocol::tcp, 515, 515, kAnyCode},
    {"remote_job", ServiceProtocol::tcp, 71, 71, kAnyCode},
    {"rje", ServiceProtocol::tcp, 77, 77, kAnyCode},
    {"shell", ServiceProtocol::tcp, 514, 514, kAnyCode},
    {"smtp", ServiceProtocol::tcp, 25, 25, kAnyCode},
    {"sql_net", ServiceProtocol::tcp, 150, 150, kAnyCode},
    {"ssh", ServiceProtocol::tcp, 22, 22, kAnyCode},
    {"sunrpc", ServiceProtocol::tcp, 111, 111, kAnyCode},
    {"supdup", ServiceProtocol::tcp, 95, 95, kAnyCode},
    {"systat", ServiceProtocol::tcp, 11, 11, kAnyCode},
    {"telnet", ServiceProtocol::tcp, 23, 23, kAnyCode},
    {"time", ServiceProtocol::tcp, 37, 37, kAnyCode},
    {"uucp", ServiceProtocol::tcp, 540, 540, kAnyCode},
    {"uucp_path", ServiceProtocol::tcp, 117, 117, kAnyCode},
    {"vmnet", ServiceProtocol::tcp, 175, 175, kAnyCode},
    {"whois", ServiceProtocol::tcp, 43, 43, kAnyCode},
    {"Z39_50", ServiceProtocol::tcp, 210, 210, kAnyCode},
    {"X11", ServiceProtocol::tcp, 6000, 6063, kAnyCode},
    {"domain_u", ServiceProtocol::udp, 53, 53, kAnyCode},
    {"tftp_u", ServiceProtocol::udp, 69, 69, kAnyCode},
    {"ntp_u", ServiceProtocol::udp, 123, 123, kAnyCode},
    {"ecr_i", ServiceProtocol::icmp, 0, 0, kAnyCode},
    {"urh_i", ServiceProtocol::icmp, 3, 3, 1},
    {"urp_i", ServiceProtocol::icmp, 3, 3, 3},
    {"red_i", ServiceProtocol::icmp, 5, 5, kAnyCode},
    {"eco_i", ServiceProtocol::icmp, 8, 8, kAnyCode},
    {"tim_i", ServiceProtocol::icmp, 13, 13, kAnyCode},
    {"tim_i", ServiceProtocol::icmp, 14, 14, kAnyCode},
    {"urh_i", ServiceProtocol::icmp6, 1, 1, 3},
    {"urp_i", ServiceProtocol::icmp6, 1, 1, 4},
    {"eco_i", ServiceProtocol::icmp6, 128, 128, kAnyCode},
    {"ecr_i", ServiceProtocol::icmp6, 129, 129, kAnyCode},
    {"red_i", ServiceProtocol::icmp6, 137, 137, kAnyCode},
};

namespace detail {

// Past the highest listed port every TCP/UDP port is unlisted.
inline constexpr uint16_t kLastListedPort = 6063;
inline constexpr uint8_t kUnlisted = 0xFF;
using PortTable = std::array<uint8_t, kLastListedPort + 1>;

// The name of each responder port of `protocol`, kUnlisted where none; the
// first row that lists a port wins.
inline constexpr PortTable port_table(ServiceProtocol protocol) {
    PortTable table{};
    for (auto& t : table) t = kUnlisted;
    for (const ServiceRow& row : kServiceRows) {
        if (row.protocol != protocol) continue;
        for (uint32_t port = row.first; port <= row.last && port <= kLastListedPort; ++port) {
            if (table[port] == kUnlisted) table[port] = service_index(row.name);
        }
    }
    return table;
}

inline constexpr std::size_t kRowCount = sizeof kServiceRows / sizeof kServiceRows[0];

// The name index of each row.
inline constexpr std::array<uint8_t, kRowCount> kRowService = [] {
    std::array<uint8_t, kRowCount> out{};
    for (std::size_t i = 0; i < kRowCount; ++i) out[i] = service_index(kServiceRows[i].name);
    return out;
}();

inline constexpr PortTable kTcpPorts = port_table(ServiceProtocol::tcp);
inline constexpr PortTable kUdpPorts = port_table(ServiceProtocol::udp);

}  // namespace detail

// A TCP or UDP connection with ports: the responder port's name, else ftp_data
// from originator port 20, else private for a dynamic responder port, else other.
inline uint8_t service_of_ports(uint8_t ip_proto, uint16_t orig_port, uint16_t resp_port) noexcept {
    const detail::PortTable& table = ip_proto == decode::proto::kTcp ? detail::kTcpPorts : detail::kUdpPorts;
    if (resp_port <= detail::kLastListedPort && table[resp_port] != detail::kUnlisted) return table[resp_port];
    if (orig_port == kFtpDataPort) return kFtpData;
    return resp_port >= kFirstDynamicPort ? kPrivate : kOther;
}

// An ICMP (1) or ICMPv6 (58) connection, by its first message's type and code.
inline uint8_t service_of_icmp(uint8_t ip_proto, uint8_t type, uint8_t code) noexcept {
    const ServiceProtocol protocol = ip_proto == decode::proto::kIcmp6 ? ServiceProtocol::icmp6 : ServiceProtocol::icmp;
    for (std::size_t i = 0; i < detail::kRowCount; ++i) {
        const ServiceRow& row = kServiceRows[i];
        if (row.protocol == protocol && type >= row.first && type <= row.last &&
            (row.code == kAnyCode || row.code == code)) {
            return detail::kRowService[i];
        }
    }
    return kOtherIcmp;
}

// Any connection: TCP/UDP and ICMP as above when their ports (type and code)
// are known, other for the rest.
inline uint8_t service_of(uint8_t ip_proto, bool has_ports, uint16_t orig_port, uint16_t resp_port) noexcept {
    if (ip_proto == decode::proto::kTcp || ip_proto == decode::proto::kUdp) {
        return has_ports ? service_of_ports(ip_proto, orig_port, resp_port) : kOther;
    }
    if (decode::is_icmp(ip_proto)) {
        return has_ports ? service_of_icmp(ip_proto, static_cast<uint8_t>(orig_port), static_cast<uint8_t>(resp_port))
                         : kOtherIcmp;
    }
    return kOther;
}

}  // namespace kavrel::connections
