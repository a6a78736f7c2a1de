// Packets into connections, in capture order, holding only the connections
// still open (and the fragments still expected).
//
// Each packet joins the open connection of its key or starts one. A
// connection ends once any frame after its last packet is stamped past its
// deadline: last_ts + its protocol's timeout, or, once closing (both FINs or a
// RST), the earlier of that and closing_ts + close_delay. The capture clock
// (each frame's own time, advance()) sweeps a heap of deadlines, so what ends
// depends only on the frames' order and times, never on how a run is split.
// Heap entries are lazy: a deadline that moved later is pushed again when its
// old entry comes up, one that moved earlier gets a fresh entry (a new
// generation) and the old one is dropped when it comes up.
//
// The callbacks (ended, started) must not throw: they run with the assembler
// between two steps of one packet.
#pragma once

#include "connections/packet_event.hpp"
#include "connections/service.hpp"
#include "connections/tcp_state.hpp"
#include "features/destination_table.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <type_traits>
#include <vector>

namespace kavrel::connections {

inline constexpr int64_t kNsPerSecond = 1'000'000'000;

struct Settings {
    int64_t tcp_timeout_ns = 300 * kNsPerSecond;
    int64_t udp_timeout_ns = 60 * kNsPerSecond;
    int64_t icmp_timeout_ns = 60 * kNsPerSecond;  // ICMP and ICMPv6
    int64_t other_timeout_ns = 60 * kNsPerSecond;
    int64_t close_delay_ns = 5 * kNsPerSecond;
    bool operator==(const Settings&) const = default;
};

// Longest timeout accepted (about 31 years): a deadline then stays far from overflowing.
inline constexpr double kMaxSeconds = 1e9;

// A setting in seconds as the nanoseconds every comparison uses, rounded
// once; false for a negative, NaN or absurd value.
inline bool seconds_to_ns(double seconds, int64_t& out) noexcept {
    if (!(seconds >= 0.0 && seconds <= kMaxSeconds)) return false;
    out = std::llround(seconds * 1e9);
    return true;
}

enum class ProtocolType : uint8_t { tcp, udp, icmp, other };
inline constexpr const char* kProtocolTypeNames[] = {"TCP", "UDP", "ICMP", "OTHER"};

enum class EndReason : uint8_t { fin, rst, idle, eof };
inline constexpr const char* kEndReasonNames[] = {"fin", "rst", "idle", "eof"};

inline ProtocolType protocol_type_of(uint8_t proto) noexcept {
    return proto == decode::proto::kTcp   ? ProtocolType::tcp
           : proto == decode::proto::kUdp ? ProtocolType::udp
           : decode::is_icmp(proto)       ? ProtocolType::icmp
                                          : ProtocolType::other;
}

// One finished connection: every column of the table, strings as indices
// (kProtocolTypeNames, kServiceNames, kConnStateNames, kEndReasonNames) or
// fixed text, addresses as bytes.
struct Connection {
    uint64_t uid;  // frame index of its first packet
    int64_t ts_ns;       // first packet, in capture order
    int64_t last_ts_ns;  // last packet, in capture order
    uint64_t orig_pkts, resp_pkts;
    uint64_t orig_ip_bytes, resp_ip_bytes;
    uint64_t src_bytes, dst_bytes;
    uint32_t wrong_fragment;
    uint32_t urgent;
    uint8_t orig_ip[16];  // IPv4: the first 4 bytes
    uint8_t resp_ip[16];
    uint16_t orig_port, resp_port;  // when has_ports: TCP/UDP ports, ICMP type and code
    uint16_t vlan;                  // when has_vlan
    uint8_t ip_version;
    uint8_t ip_proto;
    ProtocolType protocol_type;
    uint8_t service;
    ConnState conn_state;
    EndReason end_reason;
    uint8_t land;
    uint8_t has_ports;
    uint8_t has_vlan;
    char history[kHistoryLen];  // NUL-terminated
    uint8_t reserved;

    double duration() const noexcept { return static_cast<double>(last_ts_ns - ts_ns) / 1e9; }
};
static_assert(std::is_trivially_copyable_v<Connection> && sizeof(Connection) == 144);

// A connection as it starts, for whoever keeps per-connection features live.
struct ConnectionStart {
    uint64_t uid;
    int64_t ts_ns;
    uint8_t orig_ip[16];
    uint8_t resp_ip[16];
    uint16_t orig_port, resp_port;  // when has_ports
    uint16_t vlan;                  // when has_vlan
    uint8_t ip_version;
    uint8_t ip_proto;
    uint8_t service;
    uint8_t has_ports;
    uint8_t has_vlan;
    KeyKind kind;
};

namespace detail {

// What packets of one connection share. lo is the lesser endpoint: (address,
// port) for ports keys, the address for the others.
struct ConnKey {
    uint8_t lo[16];
    uint8_t hi[16];
    uint16_t lo_port;  // ports: lo's and hi's ports; echo: the identifier; icmp_message: type, code
    uint16_t hi_port;
    uint16_t vlan;
    uint8_t version;
    uint8_t proto;
    KeyKind kind;
    uint8_t tagged;
    uint16_t zero;  // no padding: keys compare and hash as bytes
    bool operator==(const ConnKey& o) const noexcept { return std::memcmp(this, &o, sizeof *this) == 0; }
};
static_assert(sizeof(ConnKey) == 44 && std::has_unique_object_representations_v<ConnKey>);

// Where a datagram's later fragments look for its first: addresses as sent.
struct FragmentKey {
    uint8_t src[16];
    uint8_t dst[16];
    uint32_t id;
    uint16_t vlan;
    uint8_t version;
    uint8_t proto;
    uint8_t tagged;
    uint8_t zero[3];
    bool operator==(const FragmentKey& o) const noexcept { return std::memcmp(this, &o, sizeof *this) == 0; }
};
static_assert(sizeof(FragmentKey) == 44 && std::has_unique_object_representations_v<FragmentKey>);

inline const std::array<uint64_t, 6> kKeySalt = [] {
    std::array<uint64_t, 6> s{};
    for (std::size_t i = 0; i < s.size(); ++i) s[i] = features::mix64(features::hash_salt() + 0x9E3779B97F4A7C15ULL * (i + 1));
    return s;
}();

// 44 key bytes, salted, folded through three independent products.
inline uint64_t hash_44(const void* key) noexcept {
    const auto* p = static_cast<const uint8_t*>(key);
    uint64_t w[6] = {};
    std::memcpy(w, p, 44);
    const auto& s = kKeySalt;
    return fold_multiply(w[0] ^ s[0], w[1] ^ s[1]) ^ fold_multiply(w[2] ^ s[2], w[3] ^ s[3]) ^
           fold_multiply(w[4] ^ s[4], w[5] ^ s[5]);
}

inline uint64_t hash_key(const ConnKey& k) noexcept { return hash_44(&k); }
inline uint64_t hash_key(const FragmentKey& k) noexcept { return hash_44(&k); }

inline constexpr uint32_t kNone = UINT32_MAX;

struct OpenRef {
    uint32_t index = kNone;  // into the pool of open connections
};

struct FragmentEntry {
    uint64_t uid = 0;          // of the connection the first fragment joined
    uint64_t first_frame = 0;  // the first fragment's frame index: which entry a timer is for
    int64_t expires = 0;       // the first fragment's time plus its protocol's timeout
    uint32_t index = kNone;
    uint8_t direction = 0;     // 1: the first fragment came from the responder
    uint8_t reserved[3] = {};
};

struct FragmentTimer {
    int64_t expires;
    uint64_t first_frame;
    FragmentKey key;
    uint32_t reserved;
};

struct Timer {
    int64_t deadline;
    uint64_t uid;  // ties end in uid order
    uint32_t index;
    uint32_t generation;
};

// Heap orders: the earliest deadline on top.
struct Later {
    bool operator()(const Timer& a, const Timer& b) const noexcept {
        return a.deadline != b.deadline ? a.deadline > b.deadline : a.uid > b.uid;
    }
};
struct LaterExpiry {
    bool operator()(const FragmentTimer& a, const FragmentTimer& b) const noexcept { return a.expires > b.expires; }
};

inline int64_t add_saturated(int64_t a, int64_t b) noexcept {
    int64_t out;
    return __builtin_add_overflow(a, b, &out) ? (b > 0 ? INT64_MAX : INT64_MIN) : out;
}

// An open connection. What every packet touches comes first; no padding, so
// that its bytes are its state (save()).
struct Open {
    int64_t last_ts;
    int64_t deadline;
    int64_t queued;   // deadline of its live timer
    int64_t timeout;  // its protocol's
    int64_t closing_ts;
    uint64_t pkts[2];  // by direction, 0: from the originator
    uint64_t ip_bytes[2];
    uint64_t bytes[2];
    uint32_t wrong_fragment;
    uint32_t urgent;
    uint32_t generation;  // of its live timer
    Endpoint state[2];
    uint8_t proto;
    uint8_t first_from_lo;  // the first packet came from the key's lo endpoint
    uint8_t turned;         // a TCP connection whose first packet was a SYN+ACK
    uint8_t closing;
    EndReason cause;        // fin or rst, once closing
    uint8_t fins;           // bit per direction that sent a FIN
    uint8_t in_use;
    History history;
    uint64_t uid;
    int64_t ts;
    uint32_t older;  // the open connections in uid order, a doubly linked list
    uint32_t newer;
    uint16_t orig_port;
    uint16_t resp_port;
    uint8_t service;
    uint8_t has_ports;
    ConnKey key;
    uint8_t reserved[6];
};
static_assert(std::is_trivially_copyable_v<Open> && std::has_unique_object_representations_v<Open>);

// A fragment-map entry as save() writes it.
struct SavedFragment {
    FragmentKey key;
    uint32_t direction;
    uint64_t uid;
    uint64_t first_frame;
    int64_t expires;
};
static_assert(std::has_unique_object_representations_v<SavedFragment>);

struct SaveHeader {
    char magic[8];
    uint32_t open_size;
    uint32_t fragment_size;
    Settings settings;
    uint64_t opens;
    uint64_t fragments;
};
inline constexpr char kSaveMagic[8] = {'k', 'v', 'c', 'o', 'n', 'n', '1', '\0'};

// Addresses in byte order as two big-endian words: comparing them is comparing the bytes.
inline void address_words(const uint8_t* a, uint64_t& head, uint64_t& tail) noexcept {
    std::memcpy(&head, a, 8);
    std::memcpy(&tail, a + 8, 8);
    head = __builtin_bswap64(head);
    tail = __builtin_bswap64(tail);
}

// Whether address a (with a_port) comes first, or both are equal.
inline bool endpoint_less(const uint8_t* a, uint16_t a_port, const uint8_t* b, uint16_t b_port) noexcept {
    uint64_t ah, at, bh, bt;
    address_words(a, ah, at);
    address_words(b, bh, bt);
    if (ah != bh) return ah < bh;
    if (at != bt) return at < bt;
    return a_port <= b_port;
}

// The key of a packet under `kind`, and whether it comes from the key's lo endpoint.
inline ConnKey key_of(const PacketEvent& e, KeyKind kind, bool& from_lo) noexcept {
    ConnKey k;
    std::memset(&k, 0, sizeof k);
    k.version = static_cast<uint8_t>(e.version());
    k.proto = e.proto;
    k.kind = kind;
    k.tagged = e.has(event_bit::kTagged) ? 1 : 0;
    k.vlan = e.vlan;
    if (kind == KeyKind::ports) {
        from_lo = endpoint_less(e.src, e.src_port, e.dst, e.dst_port);
        k.lo_port = from_lo ? e.src_port : e.dst_port;
        k.hi_port = from_lo ? e.dst_port : e.src_port;
    } else {
        from_lo = endpoint_less(e.src, 0, e.dst, 0);
        if (kind == KeyKind::echo) k.lo_port = e.echo_id;
        if (kind == KeyKind::icmp_message) {
            k.lo_port = e.src_port;
            k.hi_port = e.dst_port;
        }
    }
    std::memcpy(k.lo, from_lo ? e.src : e.dst, 16);
    std::memcpy(k.hi, from_lo ? e.dst : e.src, 16);
    return k;
}

inline FragmentKey fragment_key_of(const PacketEvent& e) noexcept {
    FragmentKey k;
    std::memset(&k, 0, sizeof k);
    std::memcpy(k.src, e.src, 16);
    std::memcpy(k.dst, e.dst, 16);
    k.id = e.fragment_id;
    k.vlan = e.vlan;
    k.version = static_cast<uint8_t>(e.version());
    k.proto = e.proto;
    k.tagged = e.has(event_bit::kTagged) ? 1 : 0;
    return k;
}

}  // namespace detail

class Assembler {
public:
    explicit Assembler(const Settings& settings = Settings{}) noexcept : settings_(settings) {}
    Assembler(const Assembler&) = delete;
    Assembler& operator=(const Assembler&) = delete;

    const Settings& settings() const noexcept { return settings_; }

    // The capture clock reached `clock_ns` (a frame's time): every connection
    // whose deadline it passes ends, in deadline order (uid order on ties).
    template <class Ended>
    void advance(int64_t clock_ns, Ended&& ended) {
        while (!timers_.empty() && timers_.front().deadline < clock_ns) {
            const detail::Timer t = timers_.front();
            detail::Open& c = pool_[t.index];
            std::pop_heap(timers_.begin(), timers_.end(), detail::Later{});
            if (!c.in_use || c.uid != t.uid || c.generation != t.generation) {
                timers_.pop_back();
                continue;
            }
            if (c.deadline != t.deadline) {  // moved later: queue it there
                timers_.back().deadline = c.queued = c.deadline;
                std::push_heap(timers_.begin(), timers_.end(), detail::Later{});
                continue;
            }
            timers_.pop_back();
            end(t.index, EndReason::idle, false, ended);
        }
        while (!fragment_timers_.empty() && fragment_timers_.front().expires < clock_ns) {
            std::pop_heap(fragment_timers_.begin(), fragment_timers_.end(), detail::LaterExpiry{});
            const detail::FragmentTimer& t = fragment_timers_.back();
            const detail::FragmentEntry* f = fragments_.find(t.key);
            if (f && f->first_frame == t.first_frame) fragments_.erase(t.key);
            fragment_timers_.pop_back();
        }
    }

    // Adds one packet, after advance() to its clock. False when memory ran out
    // (out_of_memory() stays true): the packet was not counted.
    template <class Ended>
    bool add(const PacketEvent& e, Ended&& ended) {
        return add(e, NoStart{}, ended);
    }

    // The same, calling started(const ConnectionStart&) for a connection it starts.
    template <class Started, class Ended>
    bool add(const PacketEvent& e, Started&& started, Ended&& ended) {
        using namespace detail;
        if (!reserve_for(e)) return false;
        KeyKind kind = e.kind;
        if (kind == KeyKind::later_fragment) {
            if (const FragmentEntry* f = fragments_.find(fragment_key_of(e))) {
                if (pool_[f->index].in_use && pool_[f->index].uid == f->uid) {
                    count(f->index, e, f->direction);
                    return true;
                }
            }
            kind = KeyKind::address_only;  // its first fragment was not seen, or its connection ended
        }
        bool from_lo;
        const ConnKey key = key_of(e, kind, from_lo);
        bool inserted;
        OpenRef* ref = map_.find_or_insert(key, inserted);  // room reserved: never null
        if (!inserted) {
            const uint32_t index = ref->index;
            Open& c = pool_[index];
            const bool syn = e.has(event_bit::kTcpFlags) &&
                             (e.tcp_flags & (tcp_flag::kSyn | tcp_flag::kAck)) == tcp_flag::kSyn;
            // Past its deadline it has ended (advance() does this when given the
            // packet's clock); a new SYN on a closing connection starts another.
            if (c.deadline >= e.ts_ns && !(c.closing && syn && kind == KeyKind::ports && e.proto == decode::proto::kTcp)) {
                const int direction = (from_lo ? 1 : 0) == c.first_from_lo ? c.turned : !c.turned;
                count(index, e, direction);
                return true;
            }
            end(index, EndReason::idle, true, ended);
        }
        const uint32_t index = allocate();
        ref->index = index;
        start(index, e, key, from_lo);
        const Open& c = pool_[index];
        if constexpr (!std::is_same_v<std::decay_t<Started>, NoStart>) started(start_of(c));
        count(index, e, c.turned);
        return true;
    }

    // The capture ended: every open connection ends, in uid order.
    template <class Ended>
    void finish(Ended&& ended) {
        while (head_ != detail::kNone) end(head_, EndReason::eof, false, ended);
        timers_.clear();
        fragment_timers_.clear();
        fragments_.clear();
    }

    uint64_t oldest_open_uid() const noexcept { return head_ == detail::kNone ? UINT64_MAX : pool_[head_].uid; }
    std::size_t open_connections() const noexcept { return open_; }
    bool out_of_memory() const noexcept { return out_of_memory_; }

    // The open state as bytes (connections in uid order, live fragment
    // entries in order of their first fragment), for load() in another
    // process; equal states give equal bytes. Empty when memory ran out.
    std::string save() const {
        using namespace detail;
        std::vector<SavedFragment> frags;
        std::string out;
        try {
            fragments_.for_each([&](const FragmentKey& key, const FragmentEntry& f) {
                if (!pool_[f.index].in_use || pool_[f.index].uid != f.uid) return;
                frags.push_back(SavedFragment{key, f.direction, f.uid, f.first_frame, f.expires});
            });
            std::sort(frags.begin(), frags.end(),
                      [](const SavedFragment& a, const SavedFragment& b) { return a.first_frame < b.first_frame; });
            SaveHeader h{};
            std::memcpy(h.magic, kSaveMagic, sizeof h.magic);
            h.open_size = sizeof(Open);
            h.fragment_size = sizeof(SavedFragment);
            h.settings = settings_;
            h.opens = open_;
            h.fragments = frags.size();
            out.reserve(sizeof h + open_ * sizeof(Open) + frags.size() * sizeof(SavedFragment));
            out.append(reinterpret_cast<const char*>(&h), sizeof h);
            for (uint32_t i = head_; i != kNone; i = pool_[i].newer) {
                Open c = pool_[i];
                c.generation = c.older = c.newer = 0;  // rebuilt by load()
                c.queued = 0;
                out.append(reinterpret_cast<const char*>(&c), sizeof c);
            }
            out.append(reinterpret_cast<const char*>(frags.data()), frags.size() * sizeof(SavedFragment));
        } catch (const std::bad_alloc&) {
            out.clear();
        }
        return out;
    }

    // Replaces the state with one save() gave, under the same settings.
    // False (the assembler left empty) for bytes that are not such a state,
    // or when memory ran out.
    bool load(const char* data, std::size_t size) {
        using namespace detail;
        clear();
        SaveHeader h{};
        if (!data || size < sizeof h) return false;
        std::memcpy(&h, data, sizeof h);
        if (std::memcmp(h.magic, kSaveMagic, sizeof h.magic) != 0 || h.open_size != sizeof(Open) ||
            h.fragment_size != sizeof(SavedFragment) || !(h.settings == settings_)) {
            return false;
        }
        const std::size_t room = size - sizeof h;
        if (h.opens > room / sizeof(Open) || h.fragments > (room - h.opens * sizeof(Open)) / sizeof(SavedFragment) ||
            room != h.opens * sizeof(Open) + h.fragments * sizeof(SavedFragment)) {
            return false;
        }
        const char* p = data + sizeof h;
        try {
            pool_.resize(h.opens);
            free_.reserve(pool_.capacity());
            timers_.reserve(h.opens);
            if (!map_.reserve(h.opens)) throw std::bad_alloc();
            for (uint64_t i = 0; i < h.opens; ++i, p += sizeof(Open)) {
                Open& c = pool_[i];
                std::memcpy(&c, p, sizeof c);
                if (!valid(c) || c.timeout != timeout_of(c.proto) || (i > 0 && c.uid <= pool_[i - 1].uid)) {
                    return fail_load();
                }
                bool inserted;
                OpenRef* ref = map_.find_or_insert(c.key, inserted);
                if (!inserted) return fail_load();
                ref->index = static_cast<uint32_t>(i);
                const uint32_t index = static_cast<uint32_t>(i);
                c.generation = 0;
                c.queued = c.deadline;
                c.older = c.newer = kNone;
                link(index);
                timers_.push_back(Timer{c.deadline, c.uid, index, 0});
            }
            std::make_heap(timers_.begin(), timers_.end(), Later{});
            if (!fragments_.reserve(h.fragments)) throw std::bad_alloc();
            fragment_timers_.reserve(h.fragments);
            for (uint64_t i = 0; i < h.fragments; ++i, p += sizeof(SavedFragment)) {
                SavedFragment s;
                std::memcpy(&s, p, sizeof s);
                const auto at = std::lower_bound(pool_.begin(), pool_.end(), s.uid,
                                                 [](const Open& c, uint64_t uid) { return c.uid < uid; });
                if (at == pool_.end() || at->uid != s.uid || s.direction > 1) return fail_load();
                bool inserted;
                FragmentEntry* f = fragments_.find_or_insert(s.key, inserted);
                if (!inserted) return fail_load();
                *f = FragmentEntry{s.uid, s.first_frame, s.expires, static_cast<uint32_t>(at - pool_.begin()),
                                   static_cast<uint8_t>(s.direction), {}};
                fragment_timers_.push_back(FragmentTimer{s.expires, s.first_frame, s.key, 0});
            }
            std::make_heap(fragment_timers_.begin(), fragment_timers_.end(), LaterExpiry{});
        } catch (const std::bad_alloc&) {
            clear();
            out_of_memory_ = true;
            return false;
        }
        return true;
    }

    // Forgets every open connection without ending it.
    void clear() noexcept {
        map_.clear();
        fragments_.clear();
        pool_.clear();
        free_.clear();
        timers_.clear();
        fragment_timers_.clear();
        head_ = tail_ = detail::kNone;
        open_ = 0;
    }

private:
    using Open = detail::Open;
    struct NoStart {
        void operator()(const ConnectionStart&) const noexcept {}
    };

    int64_t timeout_of(uint8_t proto) const noexcept {
        switch (proto) {
        case decode::proto::kTcp: return settings_.tcp_timeout_ns;
        case decode::proto::kUdp: return settings_.udp_timeout_ns;
        case decode::proto::kIcmp: case decode::proto::kIcmp6: return settings_.icmp_timeout_ns;
        default: return settings_.other_timeout_ns;
        }
    }

    // Room for whatever this packet may add, so that nothing after can fail
    // half way through; the growth itself is out of line.
    bool reserve_for(const PacketEvent& e) noexcept {
        const bool room = (!free_.empty() || pool_.size() < pool_.capacity()) &&
                          timers_.size() + 2 <= timers_.capacity() && 2 * (map_.size() + 1) <= map_.capacity() &&
                          !e.has(event_bit::kFirstFragment);
        return room || grow_for(e);
    }

    [[gnu::noinline]] bool grow_for(const PacketEvent& e) noexcept {
        try {
            if (free_.empty() && pool_.size() == pool_.capacity()) {
                const std::size_t more = std::max<std::size_t>(64, pool_.capacity());
                pool_.reserve(pool_.capacity() + more);
                free_.reserve(pool_.capacity());
            }
            if (timers_.size() + 2 > timers_.capacity()) timers_.reserve(std::max<std::size_t>(64, 2 * timers_.capacity()));
            if (!map_.reserve(1)) throw std::bad_alloc();
            if (e.has(event_bit::kFirstFragment)) {
                if (fragment_timers_.size() + 1 > fragment_timers_.capacity()) {
                    fragment_timers_.reserve(std::max<std::size_t>(16, 2 * fragment_timers_.capacity()));
                }
                if (!fragments_.reserve(1)) throw std::bad_alloc();
            }
        } catch (const std::bad_alloc&) {
            out_of_memory_ = true;
            return false;
        }
        return true;
    }

    uint32_t allocate() noexcept {
        if (!free_.empty()) {
            const uint32_t i = free_.back();
            free_.pop_back();
            return i;
        }
        pool_.emplace_back();  // capacity reserved
        return static_cast<uint32_t>(pool_.size() - 1);
    }

    void link(uint32_t index) noexcept {
        Open& c = pool_[index];
        // Connections start in uid order; a caller feeding frames out of order still gets a sorted list.
        uint32_t after = tail_;
        while (after != detail::kNone && pool_[after].uid > c.uid) after = pool_[after].older;
        c.older = after;
        c.newer = after == detail::kNone ? head_ : pool_[after].newer;
        (c.older == detail::kNone ? head_ : pool_[c.older].newer) = index;
        (c.newer == detail::kNone ? tail_ : pool_[c.newer].older) = index;
        ++open_;
    }

    void unlink(uint32_t index) noexcept {
        Open& c = pool_[index];
        (c.older == detail::kNone ? head_ : pool_[c.older].newer) = c.newer;
        (c.newer == detail::kNone ? tail_ : pool_[c.newer].older) = c.older;
        --open_;
    }

    void start(uint32_t index, const PacketEvent& e, const detail::ConnKey& key, bool from_lo) noexcept {
        Open& c = pool_[index];
        std::memset(&c, 0, sizeof c);
        c.key = key;
        c.proto = key.proto;
        c.uid = e.frame_index;
        c.ts = e.ts_ns;
        c.in_use = 1;
        c.first_from_lo = from_lo;
        c.timeout = timeout_of(e.proto);
        c.queued = INT64_MAX;
        const bool tcp_ports = key.kind == KeyKind::ports && e.proto == decode::proto::kTcp;
        constexpr uint8_t kSynAck = tcp_flag::kSyn | tcp_flag::kAck;
        c.turned = tcp_ports && e.has(event_bit::kTcpFlags) && (e.tcp_flags & kSynAck) == kSynAck;
        c.history.start(c.turned);
        c.state[0] = c.state[1] = Endpoint::inactive;
        if (key.kind == KeyKind::ports) {
            c.has_ports = 1;
            c.orig_port = c.turned ? e.dst_port : e.src_port;
            c.resp_port = c.turned ? e.src_port : e.dst_port;
        } else if (key.kind == KeyKind::echo || key.kind == KeyKind::icmp_message) {
            c.has_ports = 1;
            c.orig_port = e.src_port;  // type and code of the first message
            c.resp_port = e.dst_port;
        }
        c.service = service_of(e.proto, c.has_ports, c.orig_port, c.resp_port);
        link(index);
    }

    // Counts packet `e` in connection `index`, sent by the originator
    // (direction 0) or the responder (1).
    void count(uint32_t index, const PacketEvent& e, int direction) noexcept {
        Open& c = pool_[index];
        c.last_ts = e.ts_ns;
        ++c.pkts[direction];
        c.ip_bytes[direction] += e.ip_length;
        c.bytes[direction] += e.payload;
        if (e.has(event_bit::kFragment)) ++c.wrong_fragment;
        if (c.proto == decode::proto::kTcp) {
            // Segments whose flags were not captured (address-only, later fragments) count as flagless.
            const uint8_t flags = e.has(event_bit::kTcpFlags) ? e.tcp_flags : 0;
            if (flags & tcp_flag::kUrg) ++c.urgent;
            on_segment(c.state[direction], c.state[1 - direction], flags);
            c.history.add(direction, tcp_letters(flags, e.payload));
            if (!c.closing) {
                if (flags & tcp_flag::kFin) c.fins |= static_cast<uint8_t>(1u << direction);
                if (c.fins == 3 || (flags & tcp_flag::kRst)) {
                    c.closing = 1;
                    c.cause = c.fins == 3 ? EndReason::fin : EndReason::rst;
                    c.closing_ts = e.ts_ns;
                }
            }
        } else if (e.payload > 0) {
            c.history.add(direction, letter::kData);
        }
        int64_t deadline = detail::add_saturated(c.last_ts, c.timeout);
        if (c.closing) deadline = std::min(deadline, detail::add_saturated(c.closing_ts, settings_.close_delay_ns));
        c.deadline = deadline;
        if (deadline < c.queued) {
            c.queued = deadline;
            ++c.generation;
            if (timers_.size() > 2 * open_ + 64) rebuild_timers();  // drop the entries moved deadlines left behind
            else push_timer(detail::Timer{deadline, c.uid, index, c.generation});
        }
        if (e.has(event_bit::kFirstFragment)) remember_fragment(index, e, direction);
    }

    void push_timer(const detail::Timer& t) noexcept {
        timers_.push_back(t);  // capacity reserved
        std::push_heap(timers_.begin(), timers_.end(), detail::Later{});
    }

    void rebuild_timers() noexcept {
        timers_.clear();
        for (uint32_t i = head_; i != detail::kNone; i = pool_[i].newer) {
            Open& c = pool_[i];
            c.queued = c.deadline;
            timers_.push_back(detail::Timer{c.deadline, c.uid, i, ++c.generation});
        }
        std::make_heap(timers_.begin(), timers_.end(), detail::Later{});
    }

    void remember_fragment(uint32_t index, const PacketEvent& e, int direction) noexcept {
        using namespace detail;
        const FragmentKey key = fragment_key_of(e);
        bool inserted;
        FragmentEntry* f = fragments_.find_or_insert(key, inserted);  // room reserved
        const int64_t expires = add_saturated(e.ts_ns, timeout_of(e.proto));
        *f = FragmentEntry{pool_[index].uid, e.frame_index, expires, index, static_cast<uint8_t>(direction), {}};
        fragment_timers_.push_back(FragmentTimer{expires, e.frame_index, key, 0});
        std::push_heap(fragment_timers_.begin(), fragment_timers_.end(), LaterExpiry{});
    }

    template <class Ended>
    void end(uint32_t index, EndReason reason, bool keep_key, Ended&& ended) {
        Open& c = pool_[index];
        const Connection row = row_of(c, c.closing ? c.cause : reason);
        if (!keep_key) map_.erase(c.key);
        unlink(index);
        c.in_use = 0;
        free_.push_back(index);  // capacity kept at the pool's
        ended(static_cast<const Connection&>(row));
    }

    static Connection row_of(const Open& c, EndReason reason) noexcept {
        using namespace detail;
        Connection r;
        std::memset(&r, 0, sizeof r);
        const ConnKey& k = c.key;
        r.uid = c.uid;
        r.ts_ns = c.ts;
        r.last_ts_ns = c.last_ts;
        r.orig_pkts = c.pkts[0];
        r.resp_pkts = c.pkts[1];
        r.orig_ip_bytes = c.ip_bytes[0];
        r.resp_ip_bytes = c.ip_bytes[1];
        r.src_bytes = c.bytes[0];
        r.dst_bytes = c.bytes[1];
        r.wrong_fragment = c.wrong_fragment;
        r.urgent = c.urgent;
        const bool orig_is_lo = (c.first_from_lo != 0) != (c.turned != 0);
        std::memcpy(r.orig_ip, orig_is_lo ? k.lo : k.hi, 16);
        std::memcpy(r.resp_ip, orig_is_lo ? k.hi : k.lo, 16);
        r.has_ports = c.has_ports;
        r.orig_port = c.orig_port;
        r.resp_port = c.resp_port;
        r.has_vlan = k.tagged;
        r.vlan = k.vlan;
        r.ip_version = k.version;
        r.ip_proto = k.proto;
        r.protocol_type = protocol_type_of(k.proto);
        r.service = c.service;
        if (k.proto == decode::proto::kTcp) {
            r.conn_state = tcp_conn_state(c.state[0], c.state[1], c.bytes[0] + c.bytes[1] > 0, c.history.text);
        } else if (k.proto == decode::proto::kUdp) {
            r.conn_state = udp_conn_state(c.pkts[0] > 0, c.pkts[1] > 0);
        } else {
            r.conn_state = ConnState::OTH;
        }
        r.end_reason = reason;
        const bool same_address = std::memcmp(k.lo, k.hi, 16) == 0;
        r.land = same_address && (k.kind != KeyKind::ports || k.lo_port == k.hi_port);
        std::memcpy(r.history, c.history.text, sizeof r.history);
        return r;
    }

    static ConnectionStart start_of(const Open& c) noexcept {
        const Connection r = row_of(c, EndReason::eof);
        ConnectionStart s;
        std::memset(&s, 0, sizeof s);
        s.uid = r.uid;
        s.ts_ns = r.ts_ns;
        std::memcpy(s.orig_ip, r.orig_ip, 16);
        std::memcpy(s.resp_ip, r.resp_ip, 16);
        s.orig_port = r.orig_port;
        s.resp_port = r.resp_port;
        s.vlan = r.vlan;
        s.ip_version = r.ip_version;
        s.ip_proto = r.ip_proto;
        s.service = r.service;
        s.has_ports = r.has_ports;
        s.has_vlan = r.has_vlan;
        s.kind = c.key.kind;
        return s;
    }

    // A saved connection that this code could have made.
    static bool valid(const Open& c) noexcept {
        const auto kind = static_cast<uint8_t>(c.key.kind);
        const auto state_ok = [](Endpoint e) { return static_cast<uint8_t>(e) < kEndpointCount; };
        return c.in_use == 1 && kind < static_cast<uint8_t>(KeyKind::later_fragment) &&
               (c.key.version == 4 || c.key.version == 6) && c.key.tagged <= 1 && c.key.zero == 0 &&
               state_ok(c.state[0]) && state_ok(c.state[1]) && c.history.length < kHistoryLen &&
               c.history.text[c.history.length] == '\0' && c.first_from_lo <= 1 && c.turned <= 1 &&
               c.closing <= 1 && (c.cause == EndReason::fin || c.cause == EndReason::rst) && c.fins <= 3 &&
               c.has_ports <= 1 && c.service < kServiceCount && c.proto == c.key.proto;
    }

    bool fail_load() noexcept {
        clear();
        return false;
    }

    Settings settings_;
    features::DestinationMap<detail::ConnKey, detail::OpenRef> map_;
    features::DestinationMap<detail::FragmentKey, detail::FragmentEntry> fragments_;
    std::vector<Open> pool_;
    std::vector<uint32_t> free_;
    std::vector<detail::Timer> timers_;
    std::vector<detail::FragmentTimer> fragment_timers_;
    uint32_t head_ = detail::kNone;  // oldest open connection
    uint32_t tail_ = detail::kNone;
    std::size_t open_ = 0;
    bool out_of_memory_ = false;
};

}  // namespace kavrel::connections
