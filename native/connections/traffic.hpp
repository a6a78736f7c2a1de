// The KDD'99 traffic features of a connection table: for each connection, what
// the connections just before it in table order (uid order) say about its
// responder host and its service.
//
//   - The time window of a connection c is c and the connections before it,
//     walking back while ts(c) - ts(c') <= time_window and stopping at the
//     first older one, even where timestamps go back and connections before
//     that one would be within the window again.
//   - The host window is c and the host_window - 1 connections before it,
//     whatever their hosts.
//   - Same host: the same responder address and IP version; same service: the
//     same service index. A SYN error is a conn_state of S0, S1, S2 or S3, a
//     REJ error is REJ.
//   - Counts are uint32; a rate is the quotient a / b taken once in double
//     (0.0 over an empty set, though every set holds c itself).
//
// Both windows are sliding counts (per host, per service, per host and
// service, per host and originator port), so a connection costs O(1)
// amortised while timestamps run forward. The time window's start is found
// from the suffix minima of the timestamps: a deque of them over the window,
// and a walk back past the window's start for a connection stamped earlier
// than every connection in it. Such a connection reaches back over everything
// after the last connection older than it, which may be anything seen so far,
// so the whole table's compact history is kept: 16 bytes a connection in
// memory up to a byte bound, 32 bytes a connection in an unlinked temporary
// file beyond it.
#pragma once

#include "features/destination_table.hpp"  // mix64, hash_salt

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace kavrel::connections {

enum class ErrorClass : uint8_t { none = 0, syn = 1, rej = 2 };

// The error class KDD gives a conn_state: S0-S3 (a handshake never answered or
// never closed) count as SYN errors, REJ (a SYN refused) as a REJ error.
inline ErrorClass error_class(std::string_view conn_state) noexcept {
    if (conn_state == "REJ") return ErrorClass::rej;
    if (conn_state.size() == 2 && conn_state[0] == 'S' && conn_state[1] >= '0' && conn_state[1] <= '3') {
        return ErrorClass::syn;
    }
    return ErrorClass::none;
}

// What one connection of the table contributes.
struct TrafficInput {
    uint64_t uid = 0;
    int64_t ts_ns = 0;
    uint8_t resp_version = 4;     // 4 or 6
    uint8_t resp_addr[16] = {};   // IPv4: the first 4 bytes (the rest is ignored)
    uint8_t service = 0;          // an index into the caller's list of service names
    bool has_orig_port = false;   // false: the protocol has no ports (null equals null only)
    uint16_t orig_port = 0;
    ErrorClass error = ErrorClass::none;  // ignored by TrafficWindows::start (known at end)
};

// The nineteen traffic columns, in KDD's order.
struct TrafficFeatures {
    uint32_t count = 0;
    uint32_t srv_count = 0;
    double serror_rate = 0.0;
    double srv_serror_rate = 0.0;
    double rerror_rate = 0.0;
    double srv_rerror_rate = 0.0;
    double same_srv_rate = 0.0;
    double diff_srv_rate = 0.0;
    double srv_diff_host_rate = 0.0;
    uint32_t dst_host_count = 0;
    uint32_t dst_host_srv_count = 0;
    double dst_host_same_srv_rate = 0.0;
    double dst_host_diff_srv_rate = 0.0;
    double dst_host_same_src_port_rate = 0.0;
    double dst_host_srv_diff_host_rate = 0.0;
    double dst_host_serror_rate = 0.0;
    double dst_host_srv_serror_rate = 0.0;
    double dst_host_rerror_rate = 0.0;
    double dst_host_srv_rerror_rate = 0.0;
};

// A live row handed out once final.
struct TrafficRow {
    uint64_t uid;
    TrafficFeatures features;
};

struct TrafficSettings {
    double time_window = 2.0;    // seconds, > 0
    uint64_t host_window = 100;  // connections, c included: 1 .. UINT32_MAX
    // Compact history kept in memory (16 bytes a connection) before the oldest
    // of it goes to a temporary file: with the default, a million connections.
    std::size_t history_bytes = std::size_t{16} << 20;
    std::string spill_dir;  // where that file is made; empty: $TMPDIR, else /tmp
};

namespace detail {

inline constexpr uint32_t kNoEntry = UINT32_MAX;

// a - b, held at INT64_MIN rather than wrapping: nothing is older than that.
inline int64_t earlier_by(int64_t a, int64_t b) noexcept {
    int64_t out;
    return __builtin_sub_overflow(a, b, &out) ? std::numeric_limits<int64_t>::min() : out;
}

struct HostKey {
    uint64_t head = 0, tail = 0;  // the 16 address bytes as given (IPv4: 4 bytes, then zeros)
    uint8_t version = 0;          // 4 or 6; 0 marks an empty map slot
    bool operator==(const HostKey&) const = default;

    // Any version but 6 is taken as IPv4.
    static HostKey of(uint8_t version, const uint8_t* addr) noexcept {
        uint8_t bytes[16] = {};
        std::memcpy(bytes, addr, version == 6 ? 16 : 4);
        HostKey k;
        std::memcpy(&k.head, bytes, 8);
        std::memcpy(&k.tail, bytes + 8, 8);
        k.version = version == 6 ? 6 : 4;
        return k;
    }
};

// Maps take a slot from the high bits of these. The uint64 keys are this
// code's own (dense host ids with a service or a port, uids), which a
// multiplication spreads well enough; addresses, which the traffic chooses,
// get the salted finaliser.
inline uint64_t hash_of(uint64_t key, uint64_t salt) noexcept { return (key ^ salt) * 0x9E3779B97F4A7C15ULL; }
inline uint64_t hash_of(const HostKey& key, uint64_t salt) noexcept {
    return features::mix64(features::mix64(key.head ^ salt ^ key.version) ^ key.tail);
}

// The key no entry has, marking an empty slot.
inline constexpr uint64_t kEmptyKey = UINT64_MAX;
inline bool is_empty(uint64_t key) noexcept { return key == kEmptyKey; }
inline bool is_empty(const HostKey& key) noexcept { return key.version == 0; }
template <class Key>
inline Key empty_key() noexcept {
    if constexpr (std::is_same_v<Key, uint64_t>) {
        return kEmptyKey;
    } else {
        return Key{};
    }
}

// Open addressing with linear probing, at most half full; an erase shifts the
// entries after it back (no tombstones), and the array halves once it is
// nearly empty, so a window that was once large does not stay large.
template <class Key, class Value>
class FlatMap {
public:
    static constexpr std::size_t npos = SIZE_MAX;

    std::size_t size() const noexcept { return size_; }

    std::size_t index_of(const Key& key) const noexcept {
        if (size_ == 0) return npos;
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = home(key, shift_);; i = (i + 1) & mask) {
            if (slots_[i].key == key) return i;
            if (is_empty(slots_[i].key)) return npos;
        }
    }
    Value& value_at(std::size_t i) noexcept { return slots_[i].value; }
    const Value* find(const Key& key) const noexcept {
        const std::size_t i = index_of(key);
        return i == npos ? nullptr : &slots_[i].value;
    }

    // The value of `key` (never the empty key), value-initialised when added.
    // May move every entry.
    Value& find_or_insert(const Key& key) {
        if (2 * (size_ + 1) > slots_.size()) rehash(slots_.empty() ? kInitialCapacity : 2 * slots_.size());
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = home(key, shift_);; i = (i + 1) & mask) {
            Slot& slot = slots_[i];
            if (slot.key == key) return slot.value;
            if (is_empty(slot.key)) {
                slot = Slot{key, Value{}};
                ++size_;
                return slot.value;
            }
        }
    }

    void erase_at(std::size_t hole) {
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t j = (hole + 1) & mask; !is_empty(slots_[j].key); j = (j + 1) & mask) {
            // An entry may fill the hole when its home slot is not between the hole and it.
            const std::size_t from = home(slots_[j].key, shift_);
            if (((j - from) & mask) >= ((j - hole) & mask)) {
                slots_[hole] = slots_[j];
                hole = j;
            }
        }
        slots_[hole].key = empty_key<Key>();
        --size_;
        if (slots_.size() > kInitialCapacity && 8 * size_ < slots_.size()) rehash(slots_.size() / 2);
    }
    void erase(const Key& key) {
        const std::size_t i = index_of(key);
        if (i != npos) erase_at(i);
    }

private:
    struct Slot {
        Key key;
        Value value;
    };
    static constexpr std::size_t kInitialCapacity = 64;

    void rehash(std::size_t capacity) {
        std::vector<Slot> slots(capacity, Slot{empty_key<Key>(), Value{}});
        const std::size_t mask = capacity - 1;
        const int shift = 64 - std::countr_zero(capacity);
        for (const Slot& old : slots_) {
            if (is_empty(old.key)) continue;
            std::size_t i = home(old.key, shift);
            while (!is_empty(slots[i].key)) i = (i + 1) & mask;
            slots[i] = old;
        }
        slots_.swap(slots);
        shift_ = shift;
    }

    std::size_t home(const Key& key, int shift) const noexcept {
        return static_cast<std::size_t>(hash_of(key, salt_) >> shift);
    }

    std::vector<Slot> slots_;
    std::size_t size_ = 0;
    int shift_ = 64;  // 64 - log2(capacity)
    uint64_t salt_ = features::hash_salt();
};

// A double-ended queue over a power-of-two array.
template <class T>
class Ring {
public:
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    T& operator[](std::size_t i) noexcept { return slots_[(head_ + i) & (slots_.size() - 1)]; }
    const T& operator[](std::size_t i) const noexcept { return slots_[(head_ + i) & (slots_.size() - 1)]; }
    T& front() noexcept { return slots_[head_]; }
    T& back() noexcept { return (*this)[size_ - 1]; }

    void push_back(const T& v) {
        if (size_ == slots_.size()) grow();
        slots_[(head_ + size_) & (slots_.size() - 1)] = v;
        ++size_;
    }
    void push_front(const T& v) {
        if (size_ == slots_.size()) grow();
        head_ = (head_ + slots_.size() - 1) & (slots_.size() - 1);
        slots_[head_] = v;
        ++size_;
    }
    void pop_front() noexcept {
        head_ = (head_ + 1) & (slots_.size() - 1);
        --size_;
    }
    void pop_back() noexcept { --size_; }

private:
    void grow() {
        std::vector<T> slots(slots_.empty() ? 16 : 2 * slots_.size());
        for (std::size_t i = 0; i < size_; ++i) slots[i] = (*this)[i];
        slots_.swap(slots);
        head_ = 0;
    }
    std::vector<T> slots_;
    std::size_t head_ = 0;
    std::size_t size_ = 0;
};

// Connections of one host and service in each window.
struct PairCounts {
    uint32_t time, host;
};

// Connections of one host or one service in each window, with their errors.
struct WindowTally {
    uint32_t time, time_syn, time_rej;
    uint32_t host, host_syn, host_rej;
};

// Dense ids for responder hosts, held while anything refers to them: the
// in-memory history, and the windows while a host is in them. A host's
// window counts live in its entry, beside its key, so that the lookup of a
// connection's host brings them into the cache. An id is reused once free.
class HostTable {
public:
    uint32_t acquire(const HostKey& key) {
        uint32_t& slot = index_.find_or_insert(key);  // 0: new; else id + 1
        if (slot == 0) {
            uint32_t id;
            if (free_.empty()) {
                id = static_cast<uint32_t>(entries_.size());
                entries_.push_back(entry_of(key));
            } else {
                id = free_.back();
                free_.pop_back();
                entries_[id] = entry_of(key);
            }
            slot = id + 1;
        }
        ++entries_[slot - 1].refs;
        return slot - 1;
    }
    void retain(uint32_t id) noexcept { ++entries_[id].refs; }
    void release(uint32_t id) {
        if (--entries_[id].refs) return;
        index_.erase(key(id));
        free_.push_back(id);
    }
    HostKey key(uint32_t id) const noexcept {
        const Entry& e = entries_[id];
        HostKey k;
        k.head = e.head;
        k.tail = e.tail;
        k.version = e.version;
        return k;
    }
    WindowTally& tally(uint32_t id) noexcept { return entries_[id].tally; }
    const WindowTally& tally(uint32_t id) const noexcept { return entries_[id].tally; }
    std::size_t size() const noexcept { return index_.size(); }

private:
    struct Entry {  // 48 bytes: the key's fields with the count of references in its padding
        uint64_t head, tail;
        uint8_t version;
        uint32_t refs;
        WindowTally tally;
    };
    static_assert(sizeof(Entry) == 48);
    static Entry entry_of(const HostKey& key) noexcept { return {key.head, key.tail, key.version, 0, {}}; }
    FlatMap<HostKey, uint32_t> index_;
    std::vector<Entry> entries_;
    std::vector<uint32_t> free_;
};

// Record flags: the error class in the low two bits, then the port's presence.
inline constexpr uint8_t kErrorMask = 0x3;
inline constexpr uint8_t kErrorNotYetKnown = 0x3;  // a live connection that has not ended
inline constexpr uint8_t kHasPort = 0x4;

// One connection as the windows need it, 16 bytes.
struct Record {
    int64_t ts;
    uint32_t host;  // HostTable id
    uint16_t port;
    uint8_t service;
    uint8_t flags;
};
static_assert(sizeof(Record) == 16);

// The same in the temporary file, with the host's key in place of its id so
// that ids can be reused once only the file refers to a host.
struct SpilledRecord {
    int64_t ts;
    uint64_t addr_head, addr_tail;
    uint16_t port;
    uint8_t version;
    uint8_t service;
    uint8_t flags;
    uint8_t unused[3];
};
static_assert(sizeof(SpilledRecord) == 32);

inline bool write_all(int fd, const void* data, std::size_t size, off_t offset) noexcept {
    const char* p = static_cast<const char*>(data);
    while (size) {
        const ssize_t n = pwrite(fd, p, size, offset);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
        offset += n;
    }
    return true;
}

inline bool read_all(int fd, void* data, std::size_t size, off_t offset) noexcept {
    char* p = static_cast<char*>(data);
    while (size) {
        const ssize_t n = pread(fd, p, size, offset);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) {
            errno = EIO;  // the file is shorter than what was written to it
            return false;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
        offset += n;
    }
    return true;
}

// A file no other process can open, gone when closed.
inline int open_unlinked_file(const std::string& dir) noexcept {
    int fd = open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
    std::string path = dir + "/kavrel-traffic-XXXXXX";  // file systems without O_TMPFILE
    fd = mkostemp(path.data(), O_CLOEXEC);
    if (fd >= 0) unlink(path.c_str());
    return fd;
}

// Every connection's Record by position (0, 1, ... in table order): the
// newest in memory, the oldest in the temporary file once memory holds
// `memory_records`. A spill that cannot be written leaves the records in
// memory (still exact, no longer flat) and says so in spill_errno().
class History {
public:
    History(HostTable& hosts, std::size_t memory_records, std::string spill_dir)
        : hosts_(hosts),
          memory_records_(std::max<std::size_t>(memory_records, 1)),
          spill_dir_(std::move(spill_dir)) {}
    ~History() {
        if (fd_ >= 0) close(fd_);
    }
    History(const History&) = delete;
    History& operator=(const History&) = delete;

    uint64_t end() const noexcept { return memory_begin_ + memory_.size(); }
    uint64_t spilled() const noexcept { return memory_begin_; }
    std::size_t in_memory() const noexcept { return memory_.size(); }
    int spill_errno() const noexcept { return spill_errno_; }

    // Appends the next connection; the record's host reference passes to the history.
    void append(const Record& r) {
        // A quarter of the bound at a time: one write for many connections.
        if (memory_.size() >= memory_records_ && spill_errno_ == 0) {
            spill(std::max<std::size_t>(memory_records_ / 4, 1));
        }
        memory_.push_back(r);
    }

    bool ts_at(uint64_t pos, int64_t& ts) {
        if (pos >= memory_begin_) {
            ts = memory_[pos - memory_begin_].ts;
            return true;
        }
        const SpilledRecord* s = spilled_record(pos);
        if (!s) return false;
        ts = s->ts;
        return true;
    }

    // Calls f(const Record&) with the record at `pos`, its host id valid for
    // the call; false when the temporary file could not be read.
    template <class F>
    bool visit(uint64_t pos, F&& f) {
        if (pos >= memory_begin_) {
            f(memory_[pos - memory_begin_]);
            return true;
        }
        const SpilledRecord* s = spilled_record(pos);
        if (!s) return false;
        HostKey key;
        key.head = s->addr_head;
        key.tail = s->addr_tail;
        key.version = s->version;
        const Record r{s->ts, hosts_.acquire(key), s->port, s->service, s->flags};
        f(r);
        hosts_.release(r.host);
        return true;
    }

    bool set_error(uint64_t pos, uint8_t error) {
        if (pos >= memory_begin_) {
            Record& r = memory_[pos - memory_begin_];
            r.flags = static_cast<uint8_t>((r.flags & ~kErrorMask) | error);
            return true;
        }
        SpilledRecord* s = spilled_record(pos);
        if (!s) return false;
        s->flags = static_cast<uint8_t>((s->flags & ~kErrorMask) | error);
        return write_all(fd_, &s->flags, 1, static_cast<off_t>(pos * sizeof(SpilledRecord) +
                                                                 offsetof(SpilledRecord, flags)));
    }

private:
    static constexpr std::size_t kBlockRecords = 2048;  // 64 KiB read from the file at a time

    struct Block {
        uint64_t first = 0;   // position of records[0]
        std::size_t size = 0; // 0: empty
        uint64_t used_at = 0;
        std::vector<SpilledRecord> records;
    };

    void spill(std::size_t n) {
        if (fd_ < 0) {
            const char* tmp = std::getenv("TMPDIR");
            fd_ = open_unlinked_file(!spill_dir_.empty() ? spill_dir_ : tmp && *tmp ? tmp : "/tmp");
            if (fd_ < 0) {
                spill_errno_ = errno ? errno : EIO;
                return;
            }
        }
        out_.resize(n);
        for (std::size_t k = 0; k < n; ++k) {
            const Record& r = memory_[k];
            const HostKey key = hosts_.key(r.host);
            out_[k] = SpilledRecord{r.ts, key.head, key.tail, r.port, key.version, r.service, r.flags, {}};
        }
        if (!write_all(fd_, out_.data(), n * sizeof(SpilledRecord),
                       static_cast<off_t>(memory_begin_ * sizeof(SpilledRecord)))) {
            spill_errno_ = errno ? errno : EIO;
            return;
        }
        for (std::size_t k = 0; k < n; ++k) {
            hosts_.release(memory_.front().host);
            memory_.pop_front();
        }
        memory_begin_ += n;
        // A block read before these records reached the file holds fewer than it could.
        for (Block& b : blocks_) {
            if (b.size && b.first + kBlockRecords > memory_begin_ - n) b.size = 0;
        }
    }

    SpilledRecord* spilled_record(uint64_t pos) {
        const uint64_t first = pos - pos % kBlockRecords;
        Block* victim = &blocks_[0];
        for (Block& b : blocks_) {
            if (b.size && b.first == first) {
                if (pos - first < b.size) {
                    b.used_at = ++clock_;
                    return &b.records[pos - first];
                }
                victim = &b;  // read before the file reached pos: read it again
                break;
            }
            if (b.used_at < victim->used_at) victim = &b;
        }
        const std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(kBlockRecords, memory_begin_ - first));
        victim->records.resize(kBlockRecords);
        victim->size = 0;
        if (!read_all(fd_, victim->records.data(), n * sizeof(SpilledRecord),
                      static_cast<off_t>(first * sizeof(SpilledRecord)))) {
            return nullptr;
        }
        victim->first = first;
        victim->size = n;
        victim->used_at = ++clock_;
        return &victim->records[pos - first];
    }

    HostTable& hosts_;
    const std::size_t memory_records_;
    const std::string spill_dir_;
    Ring<Record> memory_;        // positions memory_begin_ ..
    uint64_t memory_begin_ = 0;  // positions before it are in the file
    int fd_ = -1;
    int spill_errno_ = 0;
    std::vector<SpilledRecord> out_;
    std::array<Block, 2> blocks_;  // the walk back and the window's front may both be in the file
    uint64_t clock_ = 0;
};

// The counts of a time window [time_begin, end) and a host window
// [host_begin, end) of positions, moved to any other pair of windows by adding
// and removing the records between.
class WindowCounts {
public:
    explicit WindowCounts(HostTable& hosts) : host_table_(hosts) {}

    // Moves to the windows [time_begin, end) and [host_begin, end) and gives
    // the features of the connection at end - 1; false when the history could
    // not be read. The usual step -- that connection is the next one, and the
    // oldest leave the windows -- adds it last and reads its features off the
    // counts it has just touched.
    bool features_at(History& history, uint64_t time_begin, uint64_t host_begin, uint64_t end,
                     TrafficFeatures& out) {
        if (end != end_ + 1 || time_begin < time_begin_ || host_begin < host_begin_ || time_begin > end_ ||
            host_begin > end_) {
            if (!shift(history, time_begin_, time_begin, end, true)) return false;
            if (!shift(history, host_begin_, host_begin, end, false)) return false;
            end_ = end;
            return history.visit(end - 1, [&](const Record& c) { out = features(c); });
        }
        for (; time_begin_ < time_begin; ++time_begin_) {
            if (!history.visit(time_begin_, [&](const Record& r) { remove(r, true, false); })) return false;
        }
        for (; host_begin_ < host_begin; ++host_begin_) {
            if (!history.visit(host_begin_, [&](const Record& r) { remove(r, false, true); })) return false;
        }
        return history.visit(end_++, [&](const Record& c) {
            Counts& host = host_table_.tally(c.host);
            if (host.time == 0 && host.host == 0) host_table_.retain(c.host);
            count(host, c.flags, true, true, 1);
            Counts& service = services_[c.service];
            count(service, c.flags, true, true, 1);
            PairCounts& pair = host_service_.find_or_insert(pair_key(c));
            ++pair.time;
            ++pair.host;
            const PairCounts same = pair;
            const uint32_t port = ++host_port_.find_or_insert(port_key(c));
            out = features_of(host, service, same, port);
        });
    }

    // The features of connection c, the last of both windows.
    TrafficFeatures features(const Record& c) const noexcept {
        const PairCounts* pair = host_service_.find(pair_key(c));
        const uint32_t* port = host_port_.find(port_key(c));
        return features_of(host_table_.tally(c.host), services_[c.service], pair ? *pair : PairCounts{0, 0},
                           port ? *port : 0);
    }

private:
    using Counts = WindowTally;

    // Each rate's part is within its whole, so part / max(whole, 1) is the
    // quotient, and 0.0 over an empty set, without a branch.
    static double rate(uint32_t part, uint32_t whole) noexcept {
        return static_cast<double>(part) / static_cast<double>(std::max(whole, 1u));
    }

    static TrafficFeatures features_of(const Counts& host, const Counts& service, PairCounts same,
                                       uint32_t same_port) noexcept {
        const uint32_t same_t = same.time, same_h = same.host;
        TrafficFeatures f;
        f.count = host.time;
        f.srv_count = service.time;
        f.serror_rate = rate(host.time_syn, host.time);
        f.srv_serror_rate = rate(service.time_syn, service.time);
        f.rerror_rate = rate(host.time_rej, host.time);
        f.srv_rerror_rate = rate(service.time_rej, service.time);
        f.same_srv_rate = rate(same_t, host.time);
        f.diff_srv_rate = rate(host.time - same_t, host.time);
        f.srv_diff_host_rate = rate(service.time - same_t, service.time);
        f.dst_host_count = host.host;
        f.dst_host_srv_count = same_h;
        f.dst_host_same_srv_rate = rate(same_h, host.host);
        f.dst_host_diff_srv_rate = rate(host.host - same_h, host.host);
        f.dst_host_same_src_port_rate = rate(same_port, host.host);
        f.dst_host_srv_diff_host_rate = rate(service.host - same_h, service.host);
        f.dst_host_serror_rate = rate(host.host_syn, host.host);
        f.dst_host_srv_serror_rate = rate(service.host_syn, service.host);
        f.dst_host_rerror_rate = rate(host.host_rej, host.host);
        f.dst_host_srv_rerror_rate = rate(service.host_rej, service.host);
        return f;
    }

    static uint64_t pair_key(const Record& r) noexcept { return uint64_t{r.host} << 8 | r.service; }
    // A portless connection gets a value no port has: null equals null and no number.
    static uint64_t port_key(const Record& r) noexcept {
        return uint64_t{r.host} << 17 | (r.flags & kHasPort ? r.port : 0x10000u);
    }

    static void count(Counts& c, uint8_t flags, bool time, bool host, uint32_t delta) noexcept {
        const uint8_t error = flags & kErrorMask;
        if (time) {
            c.time += delta;
            c.time_syn += error == 1 ? delta : 0;
            c.time_rej += error == 2 ? delta : 0;
        }
        if (host) {
            c.host += delta;
            c.host_syn += error == 1 ? delta : 0;
            c.host_rej += error == 2 ? delta : 0;
        }
    }

    void add(const Record& r, bool time, bool host) {
        Counts& h = host_table_.tally(r.host);
        if (h.time == 0 && h.host == 0) host_table_.retain(r.host);
        count(h, r.flags, time, host, 1);
        count(services_[r.service], r.flags, time, host, 1);
        PairCounts& pair = host_service_.find_or_insert(pair_key(r));
        pair.time += time;
        pair.host += host;
        if (host) ++host_port_.find_or_insert(port_key(r));
    }

    void remove(const Record& r, bool time, bool host) {
        Counts& h = host_table_.tally(r.host);
        count(h, r.flags, time, host, UINT32_MAX);
        count(services_[r.service], r.flags, time, host, UINT32_MAX);
        const std::size_t at = host_service_.index_of(pair_key(r));
        PairCounts& pair = host_service_.value_at(at);
        pair.time -= time;
        pair.host -= host;
        if (pair.time == 0 && pair.host == 0) host_service_.erase_at(at);
        if (host) {
            const std::size_t p = host_port_.index_of(port_key(r));
            if (--host_port_.value_at(p) == 0) host_port_.erase_at(p);
        }
        if (h.time == 0 && h.host == 0) host_table_.release(r.host);
    }

    // Moves one window from [begin, end_) to [to, end), record by record.
    bool shift(History& history, uint64_t& begin, uint64_t to, uint64_t end, bool time) {
        const auto add_one = [&](uint64_t p) {
            return history.visit(p, [&](const Record& r) { add(r, time, !time); });
        };
        const auto remove_one = [&](uint64_t p) {
            return history.visit(p, [&](const Record& r) { remove(r, time, !time); });
        };
        if (begin >= end_ || to >= end_ || end <= begin) {  // empty before, or no overlap: start afresh
            for (uint64_t p = begin; p < end_; ++p) {
                if (!remove_one(p)) return false;
            }
            for (uint64_t p = to; p < end; ++p) {
                if (!add_one(p)) return false;
            }
            begin = to;
            return true;
        }
        for (uint64_t p = to; p < begin; ++p) {
            if (!add_one(p)) return false;
        }
        for (uint64_t p = begin; p < to; ++p) {
            if (!remove_one(p)) return false;
        }
        for (uint64_t p = end_; p < end; ++p) {
            if (!add_one(p)) return false;
        }
        for (uint64_t p = end; p < end_; ++p) {
            if (!remove_one(p)) return false;
        }
        begin = to;
        return true;
    }

    HostTable& host_table_;
    uint64_t time_begin_ = 0, host_begin_ = 0, end_ = 0;
    std::array<Counts, 256> services_{};
    FlatMap<uint64_t, PairCounts> host_service_;
    FlatMap<uint64_t, uint32_t> host_port_;
};

}  // namespace detail

// The traffic features of a connection table, fed in table order. Used one of
// two ways (not both on one instance):
//   - a file: add() per connection, each final when it comes, its features
//     out at once;
//   - live: start() per connection in uid order (its error not yet known),
//     end() in any order; a row is final once its connection and every
//     connection in its two windows have ended, and end() hands out each row
//     as soon as it is final (the rows made final by one end in uid order).
// Both give the same values for the same sequence. One thread at a time.
//
// Memory: the windows' counts and deque, 16 bytes a connection of history up
// to settings.history_bytes, and, live, about 90 bytes per open connection or
// unfinished row. Beyond the byte bound the history goes to the temporary
// file (32 bytes a connection), which grows with the table: any later
// connection stamped far enough in the past reaches back over all of it.
class TrafficWindows {
public:
    // An instance with settings that check() refuses fails every call, with error() set.
    explicit TrafficWindows(const TrafficSettings& settings = {})
        : settings_(settings),
          history_(hosts_, settings.history_bytes / sizeof(detail::Record), settings.spill_dir),
          counts_(hosts_) {
        if (const char* why = check(settings)) {
            failed_ = true;
            error_ = why;
            return;
        }
        window_ns_ = std::llround(settings.time_window * 1e9);
    }

    // An instance that continues from `history`, the connections just before
    // the first one it will be given, as history_start() chose them: a table
    // computed in partitions this way equals the one pass, value for value.
    TrafficWindows(const TrafficSettings& settings, std::span<const TrafficInput> history)
        : TrafficWindows(settings) {
        if (failed_ || history.empty()) return;
        for (const TrafficInput& c : history) history_.append(record_of(c, static_cast<uint8_t>(c.error)));
        time_begin_ = history_.end();
        before_time_begin_ts_ = history.back().ts_ns;
        last_uid_ = history.back().uid;
        have_uid_ = true;
    }

    TrafficWindows(const TrafficWindows&) = delete;
    TrafficWindows& operator=(const TrafficWindows&) = delete;

    // Why `settings` cannot be used, or nullptr.
    static const char* check(const TrafficSettings& settings) noexcept {
        if (!(settings.time_window > 0.0) || !std::isfinite(settings.time_window)) {
            return "time_window must be a positive number of seconds";
        }
        if (settings.time_window * 1e9 >= 9.0e18) return "time_window must be below 9e9 seconds";
        if (settings.host_window < 1 || settings.host_window > UINT32_MAX) {
            return "host_window must be a whole number from 1 to 4294967295";
        }
        return nullptr;
    }

    // Where, in `before` (every connection before a partition, in table
    // order), the history that partition needs starts: its last host_window - 1
    // connections, and every connection after the last one stamped more than
    // time_window before `earliest_ts`, the partition's earliest timestamp --
    // the time-window walk of any of its connections stops there at the latest.
    static std::size_t history_start(std::span<const TrafficInput> before, int64_t earliest_ts,
                                     const TrafficSettings& settings) noexcept {
        const std::size_t n = before.size();
        const uint64_t keep = settings.host_window ? settings.host_window - 1 : 0;
        const std::size_t by_count = n > keep ? n - static_cast<std::size_t>(keep) : 0;
        const int64_t older = detail::earlier_by(earliest_ts, std::llround(settings.time_window * 1e9));
        std::size_t by_time = n;
        while (by_time > 0 && before[by_time - 1].ts_ns >= older) --by_time;
        return std::min(by_count, by_time);
    }

    // A file's connection; false (nothing changed, error() says why) when its
    // uid is not above the last one or the instance is used live, and false
    // for good when the temporary file could not be read.
    bool add(const TrafficInput& c, TrafficFeatures& out) {
        if (!admit(c, Mode::file)) return false;
        const uint64_t pos = history_.end();
        uint64_t time_begin;
        if (!find_time_begin(c.ts_ns, pos, time_begin)) return fail_io();
        history_.append(record_of(c, static_cast<uint8_t>(c.error)));
        if (!counts_.features_at(history_, time_begin, host_begin(pos), pos + 1, out)) return fail_io();
        return true;
    }

    // A live connection has started: everything but its error is known.
    bool start(const TrafficInput& c) {
        if (!admit(c, Mode::live)) return false;
        const uint64_t pos = history_.end();
        uint64_t time_begin;
        if (!find_time_begin(c.ts_ns, pos, time_begin)) return fail_io();
        history_.append(record_of(c, detail::kErrorNotYetKnown));

        uint32_t e;
        if (free_entries_.empty()) {
            e = static_cast<uint32_t>(entries_.size());
            entries_.emplace_back();
        } else {
            e = free_entries_.back();
            free_entries_.pop_back();
        }
        LiveEntry& entry = entries_[e];
        entry = LiveEntry{};
        entry.uid = c.uid;
        entry.pos = pos;
        entry.time_begin = time_begin;
        entry.open_prev = open_tail_;
        if (open_tail_ != detail::kNoEntry) entries_[open_tail_].open_next = e;
        open_tail_ = e;
        entry.wait_head = entry.wait_tail = e;  // its row waits on itself first
        open_by_uid_.find_or_insert(c.uid) = e;
        ++pending_;
        return true;
    }

    // A live connection has ended with `error`; appends the rows that are now
    // final to `ready`. False when no started connection with this uid is open
    // (nothing changed), and for good when the temporary file failed.
    bool end(uint64_t uid, ErrorClass error, std::vector<TrafficRow>& ready) {
        if (failed_) return false;
        const std::size_t at = open_by_uid_.index_of(uid);
        if (mode_ != Mode::live || at == open_by_uid_.npos) {
            error_ = "no started connection with this uid is open";
            return false;
        }
        const uint32_t e = open_by_uid_.value_at(at);
        open_by_uid_.erase_at(at);
        if (!history_.set_error(entries_[e].pos, static_cast<uint8_t>(error))) return fail_io();

        // The rows waiting on e have no open connection between it and them:
        // they now wait on the open connection before e, unless their windows
        // begin after it.
        LiveEntry& ended = entries_[e];
        const uint32_t before = ended.open_prev;
        if (before != detail::kNoEntry) entries_[before].open_next = ended.open_next;
        if (ended.open_next != detail::kNoEntry) {
            entries_[ended.open_next].open_prev = before;
        } else {
            open_tail_ = before;
        }
        const uint64_t final_from = before == detail::kNoEntry ? 0 : entries_[before].pos + 1;
        uint32_t head = ended.wait_head, tail = ended.wait_tail;
        bool sorted = ended.waits_sorted;
        ended.wait_head = ended.wait_tail = detail::kNoEntry;

        finals_.clear();
        if (sorted) {
            // Window begins rise along the list: the final rows are its tail.
            while (tail != detail::kNoEntry && window_begin(entries_[tail]) >= final_from) {
                finals_.push_back(tail);
                tail = entries_[tail].row_prev;
            }
            std::reverse(finals_.begin(), finals_.end());
            if (tail == detail::kNoEntry) {
                head = detail::kNoEntry;
            } else {
                entries_[tail].row_next = detail::kNoEntry;
            }
        } else {
            uint32_t kept_head = detail::kNoEntry, kept_tail = detail::kNoEntry;
            sorted = true;
            for (uint32_t r = head; r != detail::kNoEntry;) {
                const uint32_t next = entries_[r].row_next;
                if (window_begin(entries_[r]) >= final_from) {
                    finals_.push_back(r);
                } else {
                    entries_[r].row_prev = kept_tail;
                    entries_[r].row_next = detail::kNoEntry;
                    if (kept_tail == detail::kNoEntry) {
                        kept_head = r;
                    } else {
                        entries_[kept_tail].row_next = r;
                        sorted = sorted && window_begin(entries_[kept_tail]) <= window_begin(entries_[r]);
                    }
                    kept_tail = r;
                }
                r = next;
            }
            head = kept_head;
            tail = kept_tail;
        }
        if (head != detail::kNoEntry) {  // `before` exists: the rows left begin at or before it
            LiveEntry& waiter = entries_[before];
            if (waiter.wait_tail == detail::kNoEntry) {
                waiter.wait_head = head;
                waiter.waits_sorted = sorted;
            } else {
                waiter.waits_sorted = waiter.waits_sorted && sorted &&
                                      window_begin(entries_[waiter.wait_tail]) <= window_begin(entries_[head]);
                entries_[waiter.wait_tail].row_next = head;
                entries_[head].row_prev = waiter.wait_tail;
            }
            waiter.wait_tail = tail;
        }

        for (const uint32_t r : finals_) {
            const LiveEntry& row = entries_[r];
            TrafficRow out{row.uid, {}};
            if (!counts_.features_at(history_, row.time_begin, host_begin(row.pos), row.pos + 1, out.features)) {
                return fail_io();
            }
            ready.push_back(out);
            free_entries_.push_back(r);
            --pending_;
        }
        return true;
    }

    // Live rows started and not yet handed out.
    std::size_t pending() const noexcept { return pending_; }

    std::size_t history_in_memory() const noexcept { return history_.in_memory(); }
    uint64_t history_spilled() const noexcept { return history_.spilled(); }
    // Why history stayed in memory beyond the bound (0: it did not).
    int spill_errno() const noexcept { return history_.spill_errno(); }

    const std::string& error() const noexcept { return error_; }
    int os_errno() const noexcept { return os_errno_; }
    bool failed() const noexcept { return failed_; }

private:
    enum class Mode : uint8_t { unused, file, live };

    // A live connection that is open, or whose row is not yet final, or both.
    struct LiveEntry {
        uint64_t uid = 0;
        uint64_t pos = 0;
        uint64_t time_begin = 0;               // its time window's first position
        uint32_t open_prev = detail::kNoEntry;    // the open connections, in table order
        uint32_t open_next = detail::kNoEntry;
        uint32_t wait_head = detail::kNoEntry;    // while open: the unfinished rows whose latest
        uint32_t wait_tail = detail::kNoEntry;    // open window member it is, in table order
        uint32_t row_prev = detail::kNoEntry;     // this row's neighbours in that list
        uint32_t row_next = detail::kNoEntry;
        bool waits_sorted = true;              // the list's window begins never fall
    };

    struct Stamp {
        int64_t ts;
        uint64_t pos;
    };

    bool admit(const TrafficInput& c, Mode mode) {
        if (failed_) return false;
        if (mode_ != Mode::unused && mode_ != mode) {
            error_ = mode == Mode::file ? "this instance is fed live (start/end)" : "this instance is fed a file (add)";
            return false;
        }
        if (have_uid_ && c.uid <= last_uid_) {
            error_ = "connections must come in increasing uid order";
            return false;
        }
        if (mode == Mode::live && c.uid == detail::kEmptyKey) {
            error_ = "a live connection's uid must be below 2^64 - 1";
            return false;
        }
        mode_ = mode;
        last_uid_ = c.uid;
        have_uid_ = true;
        return true;
    }

    bool fail_io() {
        failed_ = true;
        os_errno_ = errno ? errno : EIO;
        error_ = "the temporary file of traffic history could not be read or written: ";
        error_ += std::strerror(os_errno_);
        return false;
    }

    detail::Record record_of(const TrafficInput& c, uint8_t error) {
        const uint32_t host = hosts_.acquire(detail::HostKey::of(c.resp_version, c.resp_addr));
        const auto flags = static_cast<uint8_t>(error | (c.has_orig_port ? detail::kHasPort : 0));
        return {c.ts_ns, host, c.has_orig_port ? c.orig_port : uint16_t{0}, c.service, flags};
    }

    uint64_t host_begin(uint64_t pos) const noexcept {
        return pos + 1 > settings_.host_window ? pos + 1 - settings_.host_window : 0;
    }
    uint64_t window_begin(const LiveEntry& e) const noexcept { return std::min(e.time_begin, host_begin(e.pos)); }

    // The first position of the time window of a connection stamped `ts` at
    // position `pos`: one after the last earlier connection stamped before
    // ts - time_window. `minima_` holds the suffix minima of the timestamps
    // of [time_begin_, pos): if the oldest of them is too old, the window's
    // start moves forward past it; if none is, a connection older still may be
    // before time_begin_, and the walk back looks for it (rare: only for a
    // connection stamped earlier than the one just before its window).
    bool find_time_begin(int64_t ts, uint64_t pos, uint64_t& begin) {
        const int64_t older = detail::earlier_by(ts, window_ns_);
        if (!minima_.empty() && minima_.front().ts < older) {
            do {
                before_time_begin_ts_ = minima_.front().ts;
                time_begin_ = minima_.front().pos + 1;
                minima_.pop_front();
            } while (!minima_.empty() && minima_.front().ts < older);
        } else {
            while (time_begin_ > 0 && before_time_begin_ts_ >= older) {
                --time_begin_;
                if (minima_.empty() || before_time_begin_ts_ < minima_.front().ts) {
                    minima_.push_front({before_time_begin_ts_, time_begin_});
                }
                if (time_begin_ > 0 && !history_.ts_at(time_begin_ - 1, before_time_begin_ts_)) return false;
            }
        }
        begin = time_begin_;
        while (!minima_.empty() && minima_.back().ts >= ts) minima_.pop_back();
        minima_.push_back({ts, pos});
        return true;
    }

    TrafficSettings settings_;
    int64_t window_ns_ = 0;
    detail::HostTable hosts_;
    detail::History history_;
    detail::WindowCounts counts_;

    detail::Ring<Stamp> minima_;
    uint64_t time_begin_ = 0;
    int64_t before_time_begin_ts_ = 0;  // the timestamp at time_begin_ - 1, when time_begin_ > 0

    Mode mode_ = Mode::unused;
    bool have_uid_ = false;
    uint64_t last_uid_ = 0;

    std::vector<LiveEntry> entries_;
    std::vector<uint32_t> free_entries_;
    detail::FlatMap<uint64_t, uint32_t> open_by_uid_;
    uint32_t open_tail_ = detail::kNoEntry;
    std::size_t pending_ = 0;
    std::vector<uint32_t> finals_;

    bool failed_ = false;
    std::string error_;
    int os_errno_ = 0;
};

}  // namespace kavrel::connections
