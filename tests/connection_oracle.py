"""An independent model of the connection table, for checking the native core row by row.

Written again from the definition of the table in plain Python: frames are read with the link
layer of engine_oracle (itself over dpkt's layouts) and dpkt's IP and transport header layouts;
connections are kept in a dict and, at every frame, every open one is checked against its
deadline. Slow and simple on purpose: it is for small captures.
"""

from __future__ import annotations

import socket
import struct
from dataclasses import dataclass, field

import dpkt

import engine_oracle as eo

TCP, UDP, ICMP, ICMP6 = 6, 17, 1, 58
FIN, SYN, RST, ACK, URG = 0x01, 0x02, 0x04, 0x10, 0x20
ECHO_TYPES = {ICMP: (8, 0), ICMP6: (128, 129)}
EXTENSIONS = (0, 43, 60)

DEFAULTS = {"tcp_timeout": 300.0, "udp_timeout": 60.0, "icmp_timeout": 60.0, "other_timeout": 60.0,
            "close_delay": 5.0}


@dataclass
class Packet:
    ts: int
    version: int
    proto: int
    src: str
    dst: str
    vlan: int | None
    ip_length: int
    ip_payload: int
    fragment: bool = False
    later: bool = False  # a non-first fragment
    frag_id: int = 0
    sport: int | None = None  # TCP/UDP ports, both captured
    dport: int | None = None
    flags: int | None = None  # TCP flags, when captured
    data_offset: int | None = None
    udp_length: int | None = None
    icmp_type: int | None = None
    icmp_code: int | None = None
    echo_id: int | None = None


def _byte(b: eo.Bytes, at: int) -> int | None:
    return b.data[at] if at is not None and b.has(at, 1) else None


def decode(linktype: int, data: bytes, ts: int, wire_len: int) -> Packet | None:
    """The IP packet of one frame, None for a frame that is not one (not IP, or cut before the fixed IP header ends)."""
    b = eo.Bytes(data)
    link = eo.find_link(linktype, b)
    if link == eo.CUT or link.version is None:
        return None
    n = link.offset
    vlan = link.vlans[0] if link.vlans else None
    if link.version == 4:
        ip = dpkt.ip.IP
        if not b.has(n, 20):
            return None
        ihl = b.field(ip, "_v_hl", n) & 0x0F
        word = b.field(ip, "_flags_offset", n)
        later = word & 0x1FFF != 0
        fragment = later or word & 0x2000 != 0
        proto, length_field = b.field(ip, "p", n), b.field(ip, "len", n)
        src = socket.inet_ntop(socket.AF_INET, b.field(ip, "src", n))
        dst = socket.inet_ntop(socket.AF_INET, b.field(ip, "dst", n))
        frag_id = b.field(ip, "id", n)
        ip_length = length_field
        header = 4 * ihl
        transport_ok = ihl >= 5 and not later
    else:
        ip6 = dpkt.ip6.IP6
        if not b.has(n, 40):
            return None
        src = socket.inet_ntop(socket.AF_INET6, b.field(ip6, "src", n))
        dst = socket.inet_ntop(socket.AF_INET6, b.field(ip6, "dst", n))
        length_field = b.field(ip6, "plen", n)
        ip_length = length_field + 40
        proto, header, fragment, later, frag_id, transport_ok = b.field(ip6, "nxt", n), 40, False, False, 0, True
        while proto in EXTENSIONS or proto == 44:
            at = n + header
            if proto == 44:
                frag = dpkt.ip6.IP6FragmentHeader
                if not b.has(at, 8):
                    transport_ok = False
                    break
                word = b.field(frag, "_frag_off_resv_m", at)
                later = word >> 3 != 0
                fragment = later or word & 1 == 1
                frag_id = b.field(frag, "id", at)
                proto, header = b.field(frag, "nxt", at), header + 8
                if later:
                    transport_ok = False
                    break
            else:
                units = _byte(b, at + 1)
                if units is None or not b.has(at, 8 * (units + 1)):
                    transport_ok = False
                    break
                proto, header = b.data[at], header + 8 * (units + 1)
    if length_field == 0:  # an offload's super-segment or a jumbogram: the frame says
        ip_length = max(0, wire_len - n)
    p = Packet(ts=ts, version=link.version, proto=proto, src=src, dst=dst, vlan=vlan, ip_length=ip_length,
               ip_payload=max(0, ip_length - header), fragment=fragment, later=later, frag_id=frag_id)
    if not transport_ok:
        return p
    at = n + header
    if proto in (TCP, UDP):
        udp = dpkt.udp.UDP
        sport, dport = b.field(udp, "sport", at), b.field(udp, "dport", at)
        if sport is not None and dport is not None:
            p.sport, p.dport = sport, dport
        if proto == TCP:
            p.flags = _byte(b, at + 13)
            offset_byte = _byte(b, at + 12)
            p.data_offset = None if offset_byte is None else offset_byte >> 4
        else:
            p.udp_length = b.field(udp, "ulen", at)
    elif proto in (ICMP, ICMP6):
        p.icmp_type, p.icmp_code = _byte(b, at), _byte(b, at + 1)
        p.echo_id = b.field(dpkt.icmp.ICMP.Echo, "id", at + 4)
    return p


def transport_payload(p: Packet, kind: str) -> int:
    """What the packet adds to src_bytes/dst_bytes."""
    if kind in ("address", "protocol") or p.later:
        return p.ip_payload
    if p.proto == TCP:
        return max(0, p.ip_payload - (20 if p.data_offset is None else 4 * p.data_offset))
    if p.proto == UDP:
        datagram = p.ip_payload if p.udp_length is None else min(p.udp_length, p.ip_payload)
        return max(0, datagram - 8)
    return max(0, p.ip_payload - 8)  # ICMP


def key_of(p: Packet) -> tuple[str, tuple]:
    """(kind, key) of a packet that is not a later fragment."""
    base = (p.version, p.proto, frozenset((p.src, p.dst)), p.vlan)
    if p.proto in (TCP, UDP):
        if p.sport is not None:
            return "ports", base + (frozenset([(p.src, p.sport), (p.dst, p.dport)]),)
        return "address", base + ("address-only",)
    if p.proto in (ICMP, ICMP6):
        if p.icmp_type is None or p.icmp_code is None:
            return "address", base + ("address-only",)
        if p.icmp_type in ECHO_TYPES[p.proto] and p.echo_id is not None:
            return "echo", base + ("echo", p.echo_id)
        return "message", base + ("message", p.icmp_type, p.icmp_code)
    return "protocol", base


# The table of CONNECTIONS.md, first match wins; O and R the endpoints' last states.
def _inactive(s):
    return s in ("inactive", "partial")


STATE_RULES = [
    (lambda o, r, c: r == "reset" and (o in ("syn_sent", "synack_sent") or (o == "reset" and c.no_payload())), "REJ"),
    (lambda o, r, c: r == "reset" and _inactive(o), "RSTRH"),
    (lambda o, r, c: r == "reset", "RSTR"),
    (lambda o, r, c: o == "reset" and _inactive(r) and c.syn_then_rst(), "RSTOS0"),
    (lambda o, r, c: o == "reset" and _inactive(r), "OTH"),
    (lambda o, r, c: o == "reset", "RSTO"),
    (lambda o, r, c: o == "closed" and r == "closed", "SF"),
    (lambda o, r, c: o == "closed" and _inactive(r), "SH"),
    (lambda o, r, c: o == "closed", "S2"),
    (lambda o, r, c: r == "closed" and _inactive(o), "SHR"),
    (lambda o, r, c: r == "closed", "S3"),
    (lambda o, r, c: o == "syn_sent" and _inactive(r), "S0"),
    (lambda o, r, c: o == "established" and r == "established", "S1"),
    (lambda o, r, c: True, "OTH"),
]


@dataclass
class Conn:
    uid: int
    kind: str
    key: tuple
    first: Packet
    turned: bool
    timeout: int
    last: int = 0
    pkts: list = field(default_factory=lambda: [0, 0])
    ip_bytes: list = field(default_factory=lambda: [0, 0])
    bytes: list = field(default_factory=lambda: [0, 0])
    wrong_fragment: int = 0
    urgent: int = 0
    states: list = field(default_factory=lambda: ["inactive", "inactive"])
    history: str = ""
    letters: list = field(default_factory=lambda: [set(), set()])
    fins: set = field(default_factory=set)
    closing_ts: int | None = None
    closing_cause: str | None = None

    def no_payload(self) -> bool:
        return self.bytes == [0, 0]

    def syn_then_rst(self) -> bool:
        h = self.history.removeprefix("^")
        if not h.startswith("S"):
            return False
        for ch in h[1:]:
            if ch == "R":
                return True
            if ch in "HAF":
                return False
        return False

    def deadline(self, close_delay: int) -> int:
        d = self.last + self.timeout
        return d if self.closing_ts is None else min(d, self.closing_ts + close_delay)

    def direction(self, p: Packet) -> int:
        """0 from the originator: a packet goes the way of the first packet when it comes from the same endpoint."""
        first_dir = 1 if self.turned else 0
        if self.kind == "ports":
            same = (p.src, p.sport) == (self.first.src, self.first.sport)
        else:
            same = p.src == self.first.src
        return first_dir if same else 1 - first_dir

    def letter(self, d: int, ch: str) -> None:
        if ch not in self.letters[d]:
            self.letters[d].add(ch)
            self.history += ch if d == 0 else ch.lower()

    def segment(self, d: int, flags: int) -> None:
        me, peer = self.states[d], self.states[1 - d]
        syn, ack = bool(flags & SYN), bool(flags & ACK)
        if me == "inactive":
            me = "syn_sent" if syn and not ack else "synack_sent" if syn else "partial"
        if ack and not syn and me == "syn_sent" and peer in ("synack_sent", "established"):
            me = "established"
            if peer == "synack_sent":
                peer = "established"
        if flags & FIN and me != "reset":
            me = "closed"
        if flags & RST:
            me = "reset"
        self.states[d], self.states[1 - d] = me, peer

    def add(self, p: Packet, d: int, payload: int) -> None:
        self.last = p.ts
        self.pkts[d] += 1
        self.ip_bytes[d] += p.ip_length
        self.bytes[d] += payload
        self.wrong_fragment += p.fragment
        if self.first.proto != TCP:
            if payload > 0:
                self.letter(d, "D")
            return
        flags = p.flags if (self.kind == "ports" and not p.later and p.flags is not None) else 0
        self.urgent += bool(flags & URG)
        self.segment(d, flags)
        if flags & SYN:
            self.letter(d, "H" if flags & ACK else "S")
        if flags & (ACK | SYN | FIN | RST) == ACK and payload == 0:
            self.letter(d, "A")
        if payload > 0:
            self.letter(d, "D")
        if flags & FIN:
            self.letter(d, "F")
        if flags & RST:
            self.letter(d, "R")
        if self.closing_ts is None:
            if flags & FIN:
                self.fins.add(d)
            if len(self.fins) == 2:
                self.closing_ts, self.closing_cause = p.ts, "fin"
            elif flags & RST:
                self.closing_ts, self.closing_cause = p.ts, "rst"

    def row(self, reason: str, services) -> dict:
        f = self.first
        orig, resp = (f.dst, f.src) if self.turned else (f.src, f.dst)
        ports = (None, None)
        if self.kind == "ports":
            ports = (f.dport, f.sport) if self.turned else (f.sport, f.dport)
        elif self.kind in ("echo", "message"):
            ports = (f.icmp_type, f.icmp_code)
        if f.proto == TCP:
            state = next(name for rule, name in STATE_RULES if rule(self.states[0], self.states[1], self))
        elif f.proto == UDP:
            state = {(True, True): "SF", (True, False): "S0", (False, True): "SHR"}[self.pkts[0] > 0, self.pkts[1] > 0]
        else:
            state = "OTH"
        land = orig == resp and (self.kind != "ports" or ports[0] == ports[1])
        return {
            "uid": self.uid, "ts": f.ts, "last_ts": self.last, "duration": (self.last - f.ts) / 1e9,
            "ip_version": f.version,
            "protocol_type": {TCP: "TCP", UDP: "UDP", ICMP: "ICMP", ICMP6: "ICMP"}.get(f.proto, "OTHER"),
            "ip_proto": f.proto, "orig_ip": orig, "resp_ip": resp, "orig_port": ports[0], "resp_port": ports[1],
            "vlan": f.vlan, "service": services(f.proto, self.kind, ports), "conn_state": state,
            "history": self.history, "end_reason": self.closing_cause or reason,
            "orig_pkts": self.pkts[0], "resp_pkts": self.pkts[1], "orig_ip_bytes": self.ip_bytes[0],
            "resp_ip_bytes": self.ip_bytes[1], "src_bytes": self.bytes[0], "dst_bytes": self.bytes[1],
            "land": int(land), "wrong_fragment": self.wrong_fragment, "urgent": self.urgent,
        }


def load_services(path: str):
    """service(proto, kind, (orig_port, resp_port)) by the rules of the KDD'99 table at `path`."""
    rows = []
    with open(path) as fh:
        for line in fh:
            if line.startswith("#") or line.startswith("service\t"):
                continue
            name, proto, first, last, code = line.rstrip("\n").split("\t")
            rows.append((name, proto, int(first), int(last), None if code == "*" else int(code)))

    def service(proto: int, kind: str, ports) -> str:
        orig, resp = ports
        if proto in (TCP, UDP):
            if kind != "ports":
                return "other"
            want = "tcp" if proto == TCP else "udp"
            for name, p, first, last, _ in rows:
                if p == want and first <= resp <= last:
                    return name
            return "ftp_data" if orig == 20 else "private" if resp >= 49152 else "other"
        if proto in (ICMP, ICMP6):
            if kind not in ("echo", "message"):
                return "oth_i"
            want = "icmp" if proto == ICMP else "icmp6"
            for name, p, first, last, code in rows:
                if p == want and first <= orig <= last and code in (None, resp):
                    return name
            return "oth_i"
        return "other"

    return service


def nanoseconds(seconds: float) -> int:
    """seconds * 1e9 rounded half away from zero (C's llround)."""
    x = seconds * 1e9
    whole = int(x)
    return whole + (1 if x - whole >= 0.5 else 0)


def connections(frames, services, **settings) -> list[dict]:
    """The rows, in uid order, of `frames`: (linktype, data, ts_ns, wire_len) in capture order."""
    s = {**DEFAULTS, **settings}
    ns = {k: nanoseconds(v) for k, v in s.items()}
    timeouts = {TCP: ns["tcp_timeout"], UDP: ns["udp_timeout"], ICMP: ns["icmp_timeout"], ICMP6: ns["icmp_timeout"]}
    close_delay = ns["close_delay"]
    opened: dict[tuple, Conn] = {}
    fragments: dict[tuple, tuple] = {}  # (conn, direction, expires)
    rows = []

    def end(c: Conn, reason: str) -> None:
        del opened[c.key]
        rows.append(c.row(reason, services))

    for index, (linktype, data, ts, wire_len) in enumerate(frames):
        # The clock: every frame's own time ends the connections it is stamped past.
        due = sorted((c for c in opened.values() if c.deadline(close_delay) < ts),
                     key=lambda c: (c.deadline(close_delay), c.uid))
        for c in due:
            end(c, "idle")
        for k in [k for k, (_, _, expires) in fragments.items() if expires < ts]:
            del fragments[k]
        p = decode(linktype, data, ts, wire_len)
        if p is None:
            continue
        timeout = timeouts.get(p.proto, ns["other_timeout"])
        if p.later:
            entry = fragments.get((p.version, p.proto, p.src, p.dst, p.frag_id, p.vlan))
            if entry and opened.get(entry[0].key) is entry[0]:
                entry[0].add(p, entry[1], p.ip_payload)
                continue
            kind, key = "address", (p.version, p.proto, frozenset((p.src, p.dst)), p.vlan, "address-only")
        else:
            kind, key = key_of(p)
        c = opened.get(key)
        if c is not None:
            new_syn = kind == "ports" and p.proto == TCP and p.flags is not None and p.flags & (SYN | ACK) == SYN
            if c.deadline(close_delay) < ts or (c.closing_ts is not None and new_syn):
                end(c, "idle")
                c = None
        if c is None:
            turned = kind == "ports" and p.proto == TCP and p.flags is not None and p.flags & (SYN | ACK) == SYN | ACK
            c = Conn(uid=index, kind=kind, key=key, first=p, turned=turned, timeout=timeout,
                     history="^" if turned else "")
            opened[key] = c
        d = c.direction(p)
        c.add(p, d, transport_payload(p, kind))
        if p.fragment and not p.later:
            fragments[(p.version, p.proto, p.src, p.dst, p.frag_id, p.vlan)] = (c, d, ts + timeout)
    for c in sorted(opened.values(), key=lambda c: c.uid):
        end(c, "eof")
    return sorted(rows, key=lambda r: r["uid"])


def frames_of_file(path: str) -> list[tuple]:
    """A classic pcap file's frames as connections() takes them, timestamps as the engine reads them."""
    linktype, nano, swapped, records = eo.read_classic(path)
    out = []
    for sec, frac, wire, data in records:
        frac = frac & 0xFFFFFFFF if swapped else struct.unpack("<i", struct.pack("<I", frac & 0xFFFFFFFF))[0]
        out.append((linktype, data, (sec & 0xFFFFFFFF) * 1_000_000_000 + (frac if nano else frac * 1000), wire))
    return out
