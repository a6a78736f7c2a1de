"""Records the linux-*.pcap captures beside this file: real traffic of the Linux stack between two
network namespaces joined by a veth pair, captured by tcpdump on the client's end of the pair.

Run as root (iproute2, tcpdump, ping from iputils-ping, nft from nftables, tshark):

    python3 tests/data/captures/record_linux.py            # record every capture, then the .conv.txt
    python3 tests/data/captures/record_linux.py --conv     # only tshark's conversation tables again

The namespaces are this script's own and are deleted on every path; the addresses are the
documentation ranges (192.0.2.0/24, 2001:db8::/64) and exist only inside them, so no frame leaves
the pair. The link is kept quiet so that every frame belongs to the scenario: no link-local IPv6
address, no router solicitation or duplicate address detection, static neighbours (no ARP, no
neighbour discovery), and tcpdump starts once the kernel's multicast reports of the addresses are
over. Every client endpoint has a port (or ping identifier) of its own, so each 5-tuple is one
conversation of the capture.
"""

from __future__ import annotations

import argparse
import os
import platform
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
SNAPLEN = 262144

CLIENT_MAC, SERVER_MAC = "02:00:00:00:0c:01", "02:00:00:00:0c:02"
CLIENT4, SERVER4 = "192.0.2.1", "192.0.2.2"
CLIENT6, SERVER6 = "2001:db8::1", "2001:db8::2"
CLIENT_DEV, SERVER_DEV = "kvcli", "kvsrv"

HTTP_PORT, DNS_PORT = 8080, 53
DROPPED_TCP_PORT, DROPPED_UDP_PORT = 8081, 5300  # the server namespace drops these

TOOLS = {"ip": "iproute2", "tcpdump": "tcpdump", "ping": "iputils-ping", "nft": "nftables", "tshark": "tshark"}
NFT_RULES = f"""
table inet kvrec {{
    chain input {{
        type filter hook input priority 0; policy accept;
        tcp dport {DROPPED_TCP_PORT} drop
        udp dport {DROPPED_UDP_PORT} drop
    }}
}}
"""

# ---- the two hosts' programs (run by this script inside a namespace) ------------------------------


def body(size: int) -> bytes:
    line = b"kavrel linux capture body 0123456789 abcdefghijklmnopqrstuvwxyz\n"
    return (line * (size // len(line) + 1))[:size]


def serve_http() -> None:
    """An HTTP/1.1 server on both families: GET /N answers N bytes, POST answers what it read."""
    from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"
        server_version, sys_version = "kvrec", ""

        def reply(self, data: bytes) -> None:
            self.send_response(200)
            self.send_header("Content-Type", "text/plain")
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data)

        def do_GET(self) -> None:  # noqa: N802
            self.reply(body(int(self.path.strip("/") or 0)))

        def do_POST(self) -> None:  # noqa: N802
            got = self.rfile.read(int(self.headers["Content-Length"]))
            self.reply(f"received {len(got)} bytes\n".encode())

        def log_message(self, *args) -> None:
            pass

    class Server6(ThreadingHTTPServer):
        address_family = socket.AF_INET6

    servers = [ThreadingHTTPServer((SERVER4, HTTP_PORT), Handler), Server6((SERVER6, HTTP_PORT), Handler)]
    for s in servers:
        s.daemon_threads = True
        threading.Thread(target=s.serve_forever, daemon=True).start()
    ready_then_wait()


def dns_answer(query: bytes) -> bytes:
    """The answer to one standard query: A/AAAA records for names under example.com, else NXDOMAIN."""
    ident, _flags = struct.unpack_from("!HH", query)
    pos, labels = 12, []
    while query[pos]:
        labels.append(query[pos + 1:pos + 1 + query[pos]].decode())
        pos += 1 + query[pos]
    qtype = struct.unpack_from("!H", query, pos + 1)[0]
    question = query[12:pos + 5]
    name = ".".join(labels)
    records = {1: socket.inet_pton(socket.AF_INET, "192.0.2.80"), 28: socket.inet_pton(socket.AF_INET6, "2001:db8::80")}
    if not name.endswith("example.com") or qtype not in records:
        return struct.pack("!HHHHHH", ident, 0x8183, 1, 0, 0, 0) + question  # NXDOMAIN
    data = records[qtype]
    answer = struct.pack("!HHHIH", 0xC00C, qtype, 1, 300, len(data)) + data  # name: pointer to the question
    return struct.pack("!HHHHHH", ident, 0x8180, 1, 1, 0, 0) + question + answer


def serve_dns() -> None:
    socks = [socket.socket(socket.AF_INET, socket.SOCK_DGRAM), socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)]
    socks[0].bind((SERVER4, DNS_PORT))
    socks[1].bind((SERVER6, DNS_PORT))

    def answer(sock: socket.socket) -> None:
        while True:
            query, peer = sock.recvfrom(2048)
            sock.sendto(dns_answer(query), peer)

    for s in socks:
        threading.Thread(target=answer, args=(s,), daemon=True).start()
    ready_then_wait()


def ready_then_wait() -> None:
    print("ready", flush=True)
    sys.stdin.read()  # until the recorder closes our stdin


def family(addr: str) -> socket.AddressFamily:
    return socket.AF_INET6 if ":" in addr else socket.AF_INET


def bound(kind: int, src: str, port: int) -> socket.socket:
    s = socket.socket(family(src), kind)
    s.bind((src, port))
    return s


def http_exchange(sock: socket.socket, request: bytes) -> None:
    """Sends one request and reads its whole response (by Content-Length)."""
    sock.sendall(request)
    data = b""
    while b"\r\n\r\n" not in data:
        data += sock.recv(65536)
    head, rest = data.split(b"\r\n\r\n", 1)
    length = int(re.search(rb"Content-Length: (\d+)", head).group(1))
    while len(rest) < length:
        rest += sock.recv(65536)


def read_to_eof(sock: socket.socket) -> None:
    while sock.recv(65536):
        pass


# (client address, client port, server address, [(method, size, last request closes)], who closes)
HTTP_SESSIONS = [
    (CLIENT4, 40001, SERVER4, [("GET", 300), ("POST", 2000), ("GET", 6000)], "client"),
    (CLIENT4, 40002, SERVER4, [("GET", 1500)], "server"),
    (CLIENT4, 40003, SERVER4, [("POST", 12000), ("GET", 100)], "client"),
    (CLIENT6, 40004, SERVER6, [("GET", 800), ("GET", 30000)], "client"),
    (CLIENT6, 40005, SERVER6, [("POST", 500), ("GET", 4000)], "server"),
    (CLIENT4, 40006, SERVER4, [("GET", 0)], "server"),
]


def client_http() -> None:
    for src, sport, dst, requests, closer in HTTP_SESSIONS:
        sock = bound(socket.SOCK_STREAM, src, sport)
        sock.connect((dst, HTTP_PORT))
        host = f"[{dst}]" if ":" in dst else dst
        for n, (method, size) in enumerate(requests):
            last = n == len(requests) - 1
            close = b"Connection: close\r\n" if last and closer == "server" else b""
            if method == "GET":
                req = f"GET /{size} HTTP/1.1\r\nHost: {host}\r\n".encode() + close + b"\r\n"
            else:
                req = (f"POST /upload HTTP/1.1\r\nHost: {host}\r\nContent-Length: {size}\r\n".encode() + close
                       + b"\r\n" + body(size))
            http_exchange(sock, req)
            time.sleep(0.05)  # think time between requests
        if closer == "client":
            sock.shutdown(socket.SHUT_WR)  # our FIN first, then the server's
        read_to_eof(sock)  # the server's FIN (after ours, or first when it closes)
        sock.close()
        time.sleep(0.1)


TCP_SCAN = [(CLIENT4, 41001 + i, SERVER4, p) for i, p in enumerate((21, 23, 25, 110, 143, 3306))] + \
           [(CLIENT6, 41101 + i, SERVER6, p) for i, p in enumerate((22, 80, 443))]
UDP_SCAN = [(CLIENT4, 41201 + i, SERVER4, p) for i, p in enumerate((69, 123, 161, 514, 1900))] + \
           [(CLIENT6, 41301 + i, SERVER6, p) for i, p in enumerate((123, 161, 500))]


def client_scan() -> None:
    for src, sport, dst, port in TCP_SCAN:
        sock = bound(socket.SOCK_STREAM, src, sport)
        try:
            sock.connect((dst, port))
            raise SystemExit(f"{dst} port {port} answered")
        except ConnectionRefusedError:
            pass
        sock.close()
        time.sleep(0.02)
    for src, sport, dst, port in UDP_SCAN:
        sock = bound(socket.SOCK_DGRAM, src, sport)
        sock.connect((dst, port))
        sock.settimeout(1.0)
        sock.send(b"kavrel probe\n")
        try:  # the ICMP error comes back as a refused receive
            sock.recv(2048)
            raise SystemExit(f"{dst} udp port {port} answered")
        except ConnectionRefusedError:
            pass
        sock.close()
        time.sleep(0.02)


DROPPED = [(CLIENT4, 42001, SERVER4), (CLIENT6, 42002, SERVER6)]
SYN_WAIT = 3.5  # the first SYN and its retransmissions (Linux 6 retries a SYN at 1 s intervals first)


def client_drop() -> None:
    def attempt(src: str, sport: int, dst: str) -> None:
        sock = bound(socket.SOCK_STREAM, src, sport)
        sock.settimeout(SYN_WAIT)
        try:
            sock.connect((dst, DROPPED_TCP_PORT))
            raise SystemExit(f"{dst} port {DROPPED_TCP_PORT} answered")
        except TimeoutError:
            pass
        sock.close()  # in SYN-SENT: the kernel sends nothing more

    threads = [threading.Thread(target=attempt, args=a) for a in DROPPED]
    for t in threads:
        t.start()
        time.sleep(0.2)
    for t in threads:
        t.join()


def dns_query(ident: int, name: str, qtype: int) -> bytes:
    labels = b"".join(bytes([len(p)]) + p.encode() for p in name.split("."))
    return struct.pack("!HHHHHH", ident, 0x0100, 1, 0, 0, 0) + labels + b"\0" + struct.pack("!HH", qtype, 1)


# (client address, client port, server address, server port, name, type)
DNS_QUERIES = [
    (CLIENT4, 43001, SERVER4, DNS_PORT, "www.example.com", 1),
    (CLIENT4, 43002, SERVER4, DNS_PORT, "mail.example.com", 28),
    (CLIENT4, 43003, SERVER4, DNS_PORT, "nosuch.example.net", 1),
    (CLIENT6, 43101, SERVER6, DNS_PORT, "www.example.com", 28),
    (CLIENT6, 43102, SERVER6, DNS_PORT, "ftp.example.com", 1),
]
UNANSWERED_DNS = (CLIENT4, 43201, SERVER4, DROPPED_UDP_PORT, "www.example.com", 1)
DNS_TRIES, DNS_WAIT = 3, 0.8


def client_dns() -> None:
    for n, (src, sport, dst, dport, name, qtype) in enumerate(DNS_QUERIES):
        sock = bound(socket.SOCK_DGRAM, src, sport)
        sock.settimeout(2.0)
        sock.sendto(dns_query(0x4B00 + n, name, qtype), (dst, dport))
        sock.recvfrom(2048)
        sock.close()
        time.sleep(0.05)
    src, sport, dst, dport, name, qtype = UNANSWERED_DNS
    sock = bound(socket.SOCK_DGRAM, src, sport)
    sock.settimeout(DNS_WAIT)
    for _ in range(DNS_TRIES):  # a resolver's retries: the same port, so one conversation
        sock.sendto(dns_query(0x4BFF, name, qtype), (dst, dport))
        try:
            sock.recvfrom(2048)
            raise SystemExit(f"{dst} udp port {dport} answered")
        except TimeoutError:
            pass
    sock.close()


ROLES = {"serve-http": serve_http, "serve-dns": serve_dns, "client-http": client_http,
         "client-scan": client_scan, "client-drop": client_drop, "client-dns": client_dns}

# ---- the recorder ---------------------------------------------------------------------------------


class Hosts:
    """Two namespaces, client and server, joined by a veth pair."""

    def __init__(self) -> None:
        tag = uuid.uuid4().hex[:8]
        self.client, self.server = f"kvrec-c-{tag}", f"kvrec-s-{tag}"
        self.made: list[str] = []
        try:
            self.build()
        except BaseException:
            self.close()
            raise

    def build(self) -> None:
        for ns in (self.client, self.server):
            run("ip", "netns", "add", ns)
            self.made.append(ns)
            # No link-local address, no router solicitation, no duplicate address detection:
            # set before the pair exists, so the new devices take them.
            sysctl(ns, "net.ipv6.conf.default.addr_gen_mode=1", "net.ipv6.conf.default.router_solicitations=0",
                   "net.ipv6.conf.default.accept_dad=0", "net.ipv6.conf.default.accept_ra=0",
                   "net.ipv6.conf.default.dad_transmits=0")
            run("ip", "-n", ns, "link", "set", "lo", "up")
        run("ip", "-n", self.client, "link", "add", CLIENT_DEV, "address", CLIENT_MAC, "type", "veth",
            "peer", "name", SERVER_DEV, "address", SERVER_MAC, "netns", self.server)
        # The server answers every probe: no ICMP rate limit.
        sysctl(self.server, "net.ipv4.icmp_ratelimit=0", "net.ipv6.icmp.ratelimit=0")
        for ns, dev, mine, theirs in ((self.client, CLIENT_DEV, (CLIENT4, CLIENT6), (SERVER4, SERVER6)),
                                      (self.server, SERVER_DEV, (SERVER4, SERVER6), (CLIENT4, CLIENT6))):
            run("ip", "-n", ns, "addr", "add", f"{mine[0]}/24", "dev", dev)
            run("ip", "-n", ns, "addr", "add", f"{mine[1]}/64", "dev", dev, "nodad")
            run("ip", "-n", ns, "link", "set", dev, "up")
            mac = SERVER_MAC if ns == self.client else CLIENT_MAC
            for addr in theirs:
                run("ip", "-n", ns, "neigh", "replace", addr, "lladdr", mac, "dev", dev, "nud", "permanent")
        subprocess.run(["ip", "netns", "exec", self.server, "nft", "-f", "-"], input=NFT_RULES, text=True,
                       check=True)
        time.sleep(3.0)  # the multicast listener reports of the new addresses are sent within about 2 s

    def exec(self, ns: str, *argv: str) -> list[str]:
        return ["ip", "netns", "exec", ns, *argv]

    def close(self) -> None:
        for ns in self.made:
            subprocess.run(["ip", "netns", "delete", ns], check=False)
        self.made.clear()


def run(*argv: str) -> str:
    return subprocess.run(argv, check=True, capture_output=True, text=True).stdout


def sysctl(ns: str, *settings: str) -> None:
    run("ip", "netns", "exec", ns, "sysctl", "-qw", *settings)


def role(hosts: Hosts, ns: str, name: str) -> list[str]:
    return hosts.exec(ns, sys.executable, os.path.abspath(__file__), "--role", name)


class Server:
    def __init__(self, argv: list[str]) -> None:
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        if self.proc.stdout.readline().strip() != "ready":
            self.close()
            raise RuntimeError(f"{argv[-1]} did not start")

    def close(self) -> None:
        self.proc.stdin.close()
        try:
            self.proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


def record(hosts: Hosts, path: str, servers: list[str], client: list[list[str]]) -> int:
    """Captures on the client's device while `client`'s commands run in turn; returns the frame count."""
    started = [Server(role(hosts, hosts.server, s)) for s in servers]
    try:
        tcpdump = subprocess.Popen(hosts.exec(hosts.client, "tcpdump", "-i", CLIENT_DEV, "-n", "-s", str(SNAPLEN),
                                              "-U", "--immediate-mode", "-Z", "root", "-w", path),
                                   stderr=subprocess.PIPE, text=True)
        try:
            line = tcpdump.stderr.readline()
            if "listening on" not in line:
                raise RuntimeError(f"tcpdump: {line}")
            time.sleep(0.2)
            for argv in client:
                subprocess.run(argv, check=True, timeout=60)
            time.sleep(1.5)  # the last ACKs in, and past the 1 s read time-out of the last block
        finally:
            tcpdump.send_signal(signal.SIGINT)
            err = tcpdump.stderr.read()
            tcpdump.wait()
    finally:
        for s in started:
            s.close()
    captured = int(re.search(r"(\d+) packets? captured", err).group(1))
    dropped = int(re.search(r"(\d+) packets? dropped by kernel", err).group(1))
    if dropped:
        raise RuntimeError(f"{path}: the kernel dropped {dropped} frames")
    check_quiet(path, captured)
    return captured


def frames(path: str):
    """(seconds, microseconds, frame bytes) of each record of a classic little-endian pcap."""
    with open(path, "rb") as fh:
        data = fh.read()
    assert struct.unpack_from("<I", data)[0] == 0xA1B2C3D4, "tcpdump writes microsecond pcap in host order"
    pos = 24
    while pos < len(data):
        sec, usec, caplen, _wire = struct.unpack_from("<IIII", data, pos)
        yield sec, usec, data[pos + 16:pos + 16 + caplen]
        pos += 16 + caplen


def check_quiet(path: str, captured: int) -> None:
    """Every frame is IPv4 or IPv6 of the scenario: no ARP, neighbour discovery or listener report."""
    count = 0
    for _, _, frame in frames(path):
        count += 1
        ethertype = struct.unpack_from("!H", frame, 12)[0]
        if ethertype == 0x86DD:
            next_header, icmp_type = frame[20], frame[54] if len(frame) > 54 else None
            if next_header == 0 or (next_header == 58 and icmp_type not in (1, 128, 129)):
                raise RuntimeError(f"{path}: frame {count - 1} is IPv6 housekeeping (ND or MLD); record again")
        elif ethertype != 0x0800:
            raise RuntimeError(f"{path}: frame {count - 1} has EtherType {ethertype:#06x}; record again")
    if count != captured:
        raise RuntimeError(f"{path}: {count} records, tcpdump said {captured}")


def ping(hosts: Hosts, *args: str) -> list[str]:
    return hosts.exec(hosts.client, "ping", "-n", "-q", *args)


def scenarios(hosts: Hosts) -> dict[str, tuple[list[str], list[list[str]], str]]:
    """name -> (servers, client commands, what it holds)."""
    ns = hosts.client
    return {
        "linux-http": (["serve-http"], [role(hosts, ns, "client-http")],
                       "HTTP/1.1 over TCP, IPv4 and IPv6: six connections of one to three requests with bodies "
                       "both ways (0 to 30000 bytes), keep-alive; three closed by the client's FIN, three by the "
                       "server's (Connection: close); Python's http.server, a socket client"),
        "linux-scan": ([], [role(hosts, ns, "client-scan")],
                       "connects to 9 closed TCP ports (6 IPv4, 3 IPv6): SYN, RST+ACK; datagrams to 8 closed UDP "
                       "ports (5 IPv4, 3 IPv6): ICMP/ICMPv6 port unreachable"),
        "linux-drop": ([], [role(hosts, ns, "client-drop")],
                       f"a TCP connect over IPv4 and one over IPv6 to port {DROPPED_TCP_PORT}, which an nft rule "
                       f"of the server drops: the SYN and its retransmissions 1 s apart, never answered (the "
                       f"client gives up after {SYN_WAIT} s)"),
        "linux-dns": (["serve-dns"], [role(hosts, ns, "client-dns")],
                      f"DNS over UDP: 5 queries (3 IPv4, 2 IPv6) answered by a Python responder (A, AAAA, "
                      f"NXDOMAIN), and one IPv4 query to port {DROPPED_UDP_PORT} (dropped by nft) sent "
                      f"{DNS_TRIES} times from one port, never answered"),
        "linux-ping": ([], [ping(hosts, "-c", "5", "-i", "0.2", SERVER4),
                            ping(hosts, "-6", "-c", "4", "-i", "0.2", "-s", "1000", SERVER6)],
                       "ping (iputils): 5 ICMP echo requests and replies over IPv4 (56 bytes of data), 4 ICMPv6 "
                       "echo requests and replies of 1000 bytes"),
    }


CONV_TABLES = ("conv,tcp", "conv,udp", "conv,ip", "conv,ipv6")


def conversations(path: str) -> None:
    """tshark's conversation tables of `path`, saved beside it as NAME.conv.txt."""
    argv = ["tshark", "-n", "-r", path, "-q"]
    for table in CONV_TABLES:
        argv += ["-z", table]
    out = subprocess.run(argv, check=True, capture_output=True, text=True).stdout
    with open(path[:-len(".pcap")] + ".conv.txt", "w") as fh:
        fh.write(out)


def version(argv: list[str], pattern: str) -> str:
    proc = subprocess.run(argv, capture_output=True, text=True)
    return re.search(pattern, proc.stdout + proc.stderr).group(0)


SOURCES_HEADING = "Linux captures recorded by record_linux.py"


def write_sources(rows: list[tuple[str, int, int, str]]) -> None:
    """Replaces this script's section of SOURCES.txt (from its heading to the end of the file)."""
    path = os.path.join(HERE, "SOURCES.txt")
    with open(path) as fh:
        text = fh.read()
    at = text.find(SOURCES_HEADING)
    kept = (text[:at] if at >= 0 else text).rstrip("\n") + "\n\n"
    tools = ", ".join([
        f"Linux {platform.release()}",
        version(["tcpdump", "--version"], r"tcpdump version \S+"),
        version(["tcpdump", "--version"], r"libpcap version \S+"),
        version(["ping", "-V"], r"iputils-\S+|ping from iputils \S+"),
        version(["nft", "--version"], r"nftables v\S+"),
        f"Python {platform.python_version()}",
    ])
    lines = [
        SOURCES_HEADING,
        "=" * len(SOURCES_HEADING),
        "",
        "Real traffic of the Linux network stack between two network namespaces joined by a veth",
        "pair (client 192.0.2.1 / 2001:db8::1, server 192.0.2.2 / 2001:db8::2, static neighbours,",
        "no link-local addresses), captured on the client's end with",
        f"  tcpdump -i {CLIENT_DEV} -n -s {SNAPLEN} -U --immediate-mode -w NAME.pcap",
        "by `python3 tests/data/captures/record_linux.py` (as root). Segmentation offload is left on,",
        "so TCP frames the kernel sent larger than the MTU appear as one super-segment. Each client",
        "endpoint has a port (or ping identifier) of its own: every 5-tuple is one conversation.",
        f"Recorded with: {tools}.",
        "NAME.conv.txt beside each is `tshark -n -r NAME.pcap -q -z " + " -z ".join(CONV_TABLES) + "`",
        f"({version(['tshark', '--version'], r'TShark \(Wireshark\) \S+')}).",
        "Columns: file, records, bytes, what it holds.",
        "",
    ]
    for name, count, size, what in rows:
        lines.append(f"linux      {name:<40} {count:5d} {size:7d}  {what}")
    with open(path, "w") as fh:
        fh.write(kept + "\n".join(lines) + "\n")


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--conv", action="store_true", help="only write the tshark conversation tables again")
    ap.add_argument("--role", choices=sorted(ROLES), help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.role:
        ROLES[args.role]()
        return 0
    missing = [f"{tool} (apt package {pkg})" for tool, pkg in TOOLS.items() if shutil.which(tool) is None]
    if missing:
        print("missing: " + ", ".join(missing), file=sys.stderr)
        return 1
    if args.conv:
        for name in sorted(os.listdir(HERE)):
            if name.startswith("linux-") and name.endswith(".pcap"):
                conversations(os.path.join(HERE, name))
        return 0
    if os.geteuid() != 0:
        print("run as root: it makes network namespaces and captures on them", file=sys.stderr)
        return 1
    rows = []
    hosts = Hosts()
    try:
        for name, (servers, client, what) in scenarios(hosts).items():
            path = os.path.join(HERE, name + ".pcap")
            tmp = path + ".tmp"
            try:
                count = record(hosts, tmp, servers, client)
            except BaseException:
                if os.path.exists(tmp):
                    os.remove(tmp)
                raise
            os.replace(tmp, path)
            rows.append((name + ".pcap", count, os.path.getsize(path), what))
            print(f"{name}.pcap: {count} frames", flush=True)
    finally:
        hosts.close()
    for name, *_ in rows:
        conversations(os.path.join(HERE, name))
    write_sources(rows)
    return 0


if __name__ == "__main__":
    sys.exit(main())
