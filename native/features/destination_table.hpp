// The 2-second per-destination counter: for every destination host, how many
// packets in a row reached it, each at most 2.0 s after the previous one.
#pragma once

#include <sys/random.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

namespace kavrel::features {

// Packets to one destination belong to the same chain while each follows the
// previous one by at most this many seconds.
inline constexpr double kWindowSeconds = 2.0;

// A live capture forgets a destination once its latest packet is this much
// (plus the window) older than the newest packet seen: its next packet, unless
// stamped more than this long before one already seen, starts a new chain
// anyway, exactly as it does in a fresh entry.
inline constexpr double kIdleSeconds = 300.0;

struct ConnectionState {
    uint32_t count = 0;           // packets in the current chain to this destination
    double last_seen_time = 0.0;  // timestamp of the chain's latest packet
};

// The next count of a chain whose state is `state`, for a packet at `now`. A new
// entry holds {0, 0.0}, so either branch gives it 1. A negative gap continues
// the chain; a NaN gap fails the test and restarts it.
template <class State>
inline uint32_t advance(State& state, double now) noexcept {
    state.count = now - state.last_seen_time <= kWindowSeconds ? state.count + 1 : 1;
    state.last_seen_time = now;
    return state.count;
}

struct Ip6Address {
    uint64_t head, tail;  // the 16 address bytes as they stand in the frame
    bool operator==(const Ip6Address&) const = default;
};

// splitmix64's finaliser: every input bit reaches every output bit.
inline uint64_t mix64(uint64_t x) noexcept {
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

// A secret per-process salt, so that traffic cannot be crafted to pile its
// destinations onto one probe sequence.
inline uint64_t hash_salt() noexcept {
    static const uint64_t salt = [] {
        uint64_t s = 0;
        if (getrandom(&s, sizeof s, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof s)) return s;
        // No entropy yet (early boot): the clock still varies between processes.
        return mix64(static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
    }();
    return salt;
}

inline uint64_t hash_key(uint32_t dst_ip) noexcept { return mix64(dst_ip ^ hash_salt()); }
inline uint64_t hash_key(const Ip6Address& dst) noexcept { return mix64(mix64(dst.head ^ hash_salt()) ^ dst.tail); }

// Open addressing with linear probing over a power-of-two array kept at most
// half full: a lookup is one hash and, almost always, one cache line. `State`
// is a ConnectionState, or one with more a reader keeps per destination.
template <class Key, class State = ConnectionState>
class DestinationMap {
public:
    DestinationMap() noexcept = default;
    DestinationMap(const DestinationMap&) = delete;
    DestinationMap& operator=(const DestinationMap&) = delete;
    ~DestinationMap() { delete[] slots_; }

    // The state for `key`, inserted as {0, 0.0} when missing; nullptr if the
    // table had to grow and memory ran out.
    State* find_or_insert(const Key& key) noexcept {
        bool inserted;
        return find_or_insert(key, inserted);
    }

    // The same, saying whether `key` was missing.
    State* find_or_insert(const Key& key, bool& inserted) noexcept {
        inserted = false;
        if (2 * (size_ + 1) > capacity_ && !grow()) return nullptr;
        Slot* slot = probe(slots_, capacity_ - 1, key);
        if (!slot->used) {
            *slot = Slot{key, State{}, true};
            ++size_;
            inserted = true;
        }
        return &slot->state;
    }

    // Room for `more` entries beyond the present ones, so that inserting them
    // cannot fail; false when memory ran out.
    bool reserve(std::size_t more) noexcept {
        while (2 * (size_ + more) > capacity_) {
            if (!grow()) return false;
        }
        return true;
    }

    // The state for `key`; nullptr when missing.
    State* find(const Key& key) noexcept {
        if (!size_) return nullptr;
        Slot* slot = probe(slots_, capacity_ - 1, key);
        return slot->used ? &slot->state : nullptr;
    }

    // Removes `key` (false when missing). Backward-shift deletion: each entry
    // after the hole that may move back into it does, so every probe sequence
    // stays unbroken without tombstones, and pointers to states are invalid after.
    bool erase(const Key& key) noexcept {
        if (!size_) return false;
        const std::size_t mask = capacity_ - 1;
        Slot* slot = probe(slots_, mask, key);
        if (!slot->used) return false;
        std::size_t hole = static_cast<std::size_t>(slot - slots_);
        for (std::size_t i = (hole + 1) & mask; slots_[i].used; i = (i + 1) & mask) {
            const std::size_t home = hash_key(slots_[i].key) & mask;
            // The entry at i may fill the hole unless its home lies cyclically in (hole, i].
            const bool stays = hole <= i ? (home > hole && home <= i) : (home > hole || home <= i);
            if (stays) continue;
            slots_[hole] = slots_[i];
            hole = i;
        }
        slots_[hole].used = false;
        --size_;
        return true;
    }

    // Calls f(key, state) for every entry, in slot order.
    template <class F>
    void for_each(F&& f) const {
        for (std::size_t i = 0; i < capacity_; ++i) {
            if (slots_[i].used) f(slots_[i].key, slots_[i].state);
        }
    }

    // Empties the table and gives its memory back.
    void clear() noexcept {
        delete[] std::exchange(slots_, nullptr);
        capacity_ = size_ = 0;
    }

    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }

    // Rebuilds the table with only the entries for which keep(state) holds, in
    // an array sized for them. Nothing changes when every entry stays or the
    // new array cannot be had (the table is then only larger than it need be).
    template <class Keep>
    void retain(Keep&& keep) noexcept {
        std::size_t kept = 0;
        for (std::size_t i = 0; i < capacity_; ++i) kept += slots_[i].used && keep(slots_[i].state);
        if (kept == size_) return;
        std::size_t capacity = kInitialCapacity;
        while (2 * (kept + 1) > capacity) capacity *= 2;
        Slot* slots = new (std::nothrow) Slot[capacity]();
        if (!slots) return;
        for (std::size_t i = 0; i < capacity_; ++i) {
            if (slots_[i].used && keep(slots_[i].state)) *probe(slots, capacity - 1, slots_[i].key) = slots_[i];
        }
        delete[] slots_;
        slots_ = slots;
        capacity_ = capacity;
        size_ = kept;
    }

private:
    struct Slot {
        Key key;
        State state;
        bool used;
    };
    static constexpr std::size_t kInitialCapacity = 64;

    static Slot* probe(Slot* slots, std::size_t mask, const Key& key) noexcept {
        for (std::size_t i = hash_key(key) & mask;; i = (i + 1) & mask) {
            if (!slots[i].used || slots[i].key == key) return &slots[i];
        }
    }

    bool grow() noexcept {
        const std::size_t capacity = capacity_ ? 2 * capacity_ : kInitialCapacity;
        Slot* slots = new (std::nothrow) Slot[capacity]();
        if (!slots) return false;
        for (std::size_t i = 0; i < capacity_; ++i) {
            if (slots_[i].used) *probe(slots, capacity - 1, slots_[i].key) = slots_[i];
        }
        delete[] slots_;
        slots_ = slots;
        capacity_ = capacity;
        return true;
    }

    Slot* slots_ = nullptr;
    std::size_t capacity_ = 0;
    std::size_t size_ = 0;
};

// One chain per destination host, keyed on the address of the packet's own IP
// version: an IPv4 and an IPv6 destination never share an entry.
template <class State = ConnectionState>
class DestinationTableOf {
public:
    // The state of `dst` (4 or 16 bytes as in the frame, by `version`),
    // inserted as {0, 0.0} when missing; nullptr when the table could not grow.
    State* state(int version, const uint8_t* dst) noexcept {
        if (version == 6) {
            Ip6Address key;
            std::memcpy(&key, dst, sizeof key);
            return ipv6_.find_or_insert(key);
        }
        uint32_t key;
        std::memcpy(&key, dst, sizeof key);
        return ipv4_.find_or_insert(key);
    }

    // The count of a packet at `now` to `dst`; 0 when the table could not grow.
    uint32_t count(int version, const uint8_t* dst, double now) noexcept {
        State* s = state(version, dst);
        return s ? advance(*s, now) : 0;
    }

    void clear() noexcept {
        ipv4_.clear();
        ipv6_.clear();
        newest_ = -std::numeric_limits<double>::infinity();
        sweep_at_ = kFirstSweep;
    }

    // count() for a live capture, whose table would otherwise hold every
    // destination ever seen: idle entries are swept out whenever the table has
    // doubled since the last sweep, so a packet costs O(1) amortised and the
    // table stays within twice the destinations active in the last 302 s.
    uint32_t count_live(int version, const uint8_t* dst, double now) noexcept {
        if (now > newest_) newest_ = now;
        const uint32_t n = count(version, dst, now);
        if (size() >= sweep_at_) {
            evict_idle();
            sweep_at_ = std::max(kFirstSweep, 2 * size());
        }
        return n;
    }

    // Drops the destinations idle for more than kIdleSeconds + kWindowSeconds
    // behind the newest packet count_live() saw.
    void evict_idle() noexcept {
        const double newest = newest_;
        const auto active = [newest](const State& s) {
            return !(newest - s.last_seen_time > kIdleSeconds + kWindowSeconds);
        };
        ipv4_.retain(active);
        ipv6_.retain(active);
    }

    std::size_t size() const noexcept { return ipv4_.size() + ipv6_.size(); }
    std::size_t capacity() const noexcept { return ipv4_.capacity() + ipv6_.capacity(); }

private:
    static constexpr std::size_t kFirstSweep = 1 << 14;

    DestinationMap<uint32_t, State> ipv4_;
    DestinationMap<Ip6Address, State> ipv6_;
    double newest_ = -std::numeric_limits<double>::infinity();  // of the packets count_live() saw
    std::size_t sweep_at_ = kFirstSweep;
};

using DestinationTable = DestinationTableOf<>;

}  // namespace kavrel::features
