// Reading one capture in shards and still counting as one pass does.
//
// The 2-second count of a packet depends on every earlier packet to its
// destination, so shards are counted on their own first and then mended:
//   - a shard counts its rows with a fresh table and sums up, per destination,
//     its first and last packet times, the count at its last packet, and
//     whether its first chain runs to its last packet (ShardCounter);
//   - a pass over the summaries in order (CarryState) gives each shard, per
//     destination, the count carried in from all shards before it: the count
//     a chain had when the shard began, if the shard's first packet to that
//     destination continues it (gap <= 2.0 s, a negative gap included);
//   - each row of a destination's first chain in the shard adds that carry.
// A chain's state after a shard is the shard's own count at its last packet,
// plus the carry if the first chain never broke. Destinations absent from a
// shard keep their state, so chains run across shards that never see them.
#pragma once

#include "features/destination_table.hpp"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace kavrel::engine {

// A destination as both tables key it: the IP version and the address.
struct DestinationKey {
    uint8_t version;
    uint8_t addr[16];

    static DestinationKey of(int version, const uint8_t* dst) noexcept {
        DestinationKey k{static_cast<uint8_t>(version), {}};
        std::memcpy(k.addr, dst, version == 6 ? 16 : 4);
        return k;
    }
};

// Dense ids for keys, in order of first sight: open addressing, the id kept
// in the slot beside its key, so that a lookup is one probe sequence.
template <class Key>
class IdMap {
public:
    // The id of `key` (`next_id` when new, and `added` says so).
    uint32_t find_or_add(const Key& key, uint32_t next_id, bool& added) {
        if (2 * (size_ + 1) > slots_.size()) grow();
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = features::hash_key(key) & mask;; i = (i + 1) & mask) {
            Slot& slot = slots_[i];
            if (slot.id_plus_one == 0) {
                slot = {key, next_id + 1};
                ++size_;
                added = true;
                return next_id;
            }
            if (slot.key == key) {
                added = false;
                return slot.id_plus_one - 1;
            }
        }
    }

private:
    struct Slot {
        Key key;
        uint32_t id_plus_one;  // 0: empty
    };
    void grow() {
        std::vector<Slot> slots(slots_.empty() ? 64 : 2 * slots_.size(), Slot{Key{}, 0});
        const std::size_t mask = slots.size() - 1;
        for (const Slot& old : slots_) {
            if (!old.id_plus_one) continue;
            std::size_t i = features::hash_key(old.key) & mask;
            while (slots[i].id_plus_one) i = (i + 1) & mask;
            slots[i] = old;
        }
        slots_.swap(slots);
    }
    std::vector<Slot> slots_;
    std::size_t size_ = 0;
};

// An index of destinations to dense ids, in order of first sight.
class KeyIndex {
public:
    uint32_t find_or_add(const DestinationKey& key, bool& added) {
        const auto next = static_cast<uint32_t>(keys_.size());
        uint32_t id;
        if (key.version == 6) {
            features::Ip6Address a;
            std::memcpy(&a, key.addr, 16);
            id = ipv6_.find_or_add(a, next, added);
        } else {
            uint32_t a;
            std::memcpy(&a, key.addr, 4);
            id = ipv4_.find_or_add(a, next, added);
        }
        if (added) keys_.push_back(key);
        return id;
    }
    const DestinationKey& key(uint32_t id) const noexcept { return keys_[id]; }
    std::size_t size() const noexcept { return keys_.size(); }

private:
    IdMap<uint32_t> ipv4_;
    IdMap<features::Ip6Address> ipv6_;
    std::vector<DestinationKey> keys_;
};

// A destination's chain in one shard, as small as a plain count's entry so
// that the shard's table costs what the one pass's does.
struct ShardState {
    uint32_t count = 0;
    uint32_t tag = kNew;  // the dense id (in order of first sight), kBroken set once the first chain ended
    double last_seen_time = 0.0;

    static constexpr uint32_t kNew = UINT32_MAX;
    static constexpr uint32_t kBroken = 0x80000000u;
};

// A shard's summary: per destination, in id order, an entry of these fields, packed.
namespace summary_entry {
inline constexpr std::size_t kVersion = 0;     // uint8: 4 or 6
inline constexpr std::size_t kAddress = 1;     // 16 bytes, as in the frame
inline constexpr std::size_t kFirstTime = 17;  // double: the shard's first packet to it
inline constexpr std::size_t kLastTime = 25;   // double: its last
inline constexpr std::size_t kLastCount = 33;  // uint32: the count at the last
inline constexpr std::size_t kUnbroken = 37;   // uint8: the first chain ran to the last packet
inline constexpr std::size_t kSize = 38;
}  // namespace summary_entry

// The carry state as bytes: per destination an entry of these fields, packed.
namespace carry_entry {
inline constexpr std::size_t kVersion = 0;    // uint8
inline constexpr std::size_t kAddress = 1;    // 16 bytes
inline constexpr std::size_t kCount = 17;     // uint32: the chain's count
inline constexpr std::size_t kLastTime = 21;  // double: its last packet
inline constexpr std::size_t kSize = 29;
}  // namespace carry_entry

// The mending column's value for a row outside its destination's first chain.
inline constexpr uint32_t kNotFirstChain = UINT32_MAX;

// A shard's count table, keeping what its summary needs on the way.
class ShardCounter {
public:
    // The shard-local count of a packet at `now` to `dst` (0: out of memory),
    // and its mending value: its destination's id while the row is in that
    // destination's first chain, else kNotFirstChain.
    uint32_t count(int version, const uint8_t* dst, double now, uint32_t& mend) {
        ShardState* s = table_.state(version, dst);
        if (!s) return 0;
        const bool first_packet = s->tag == ShardState::kNew;
        if (first_packet) {
            if (keys_.size() >= ShardState::kBroken) return 0;  // ids beyond the tag's bits: treated as no memory
            s->tag = static_cast<uint32_t>(keys_.size());
            keys_.push_back(DestinationKey::of(version, dst));
            first_times_.push_back(now);
        }
        const uint32_t count = features::advance(*s, now);
        // Rows are in the first chain until a restart: a count of 1 after the first packet.
        if (!first_packet && count == 1) s->tag |= ShardState::kBroken;
        mend = s->tag & ShardState::kBroken ? kNotFirstChain : s->tag;
        return count;
    }

    std::string serialize() {
        using namespace summary_entry;
        std::string out(keys_.size() * kSize, '\0');
        char* p = out.data();
        for (uint32_t id = 0; id < keys_.size(); ++id, p += kSize) {
            const DestinationKey& k = keys_[id];
            const ShardState& d = *find(k);
            p[kVersion] = static_cast<char>(k.version);
            std::memcpy(p + kAddress, k.addr, 16);
            std::memcpy(p + kFirstTime, &first_times_[id], 8);
            std::memcpy(p + kLastTime, &d.last_seen_time, 8);
            std::memcpy(p + kLastCount, &d.count, 4);
            p[kUnbroken] = d.tag & ShardState::kBroken ? 0 : 1;
        }
        return out;
    }

private:
    const ShardState* find(const DestinationKey& k) { return table_.state(k.version, k.addr); }

    features::DestinationTableOf<ShardState> table_;
    std::vector<DestinationKey> keys_;
    std::vector<double> first_times_;  // by id
};

// The chains after every shard so far, and the carry of the next one.
class CarryState {
public:
    // The carry of each destination of the next shard's summary (in its id
    // order); the state then moves past that shard. False for a summary that
    // is not one.
    bool next(const char* summary, std::size_t size, std::vector<uint32_t>& carry) {
        using namespace summary_entry;
        if (size % kSize) return false;
        const std::size_t n = size / kSize;
        carry.assign(n, 0);
        for (std::size_t id = 0; id < n; ++id) {
            const char* p = summary + id * kSize;
            DestinationKey key{static_cast<uint8_t>(p[kVersion]), {}};
            std::memcpy(key.addr, p + kAddress, 16);
            double first, last;
            uint32_t last_count;
            std::memcpy(&first, p + kFirstTime, 8);
            std::memcpy(&last, p + kLastTime, 8);
            std::memcpy(&last_count, p + kLastCount, 4);
            const bool unbroken = p[kUnbroken] != 0;
            bool added;
            const uint32_t at = index_.find_or_add(key, added);
            if (added) chains_.push_back({0, 0.0});
            features::ConnectionState& chain = chains_[at];
            // The shard's first packet continues the chain as the one table would see it.
            const uint32_t c = !added && first - chain.last_seen_time <= features::kWindowSeconds ? chain.count : 0;
            carry[id] = c;
            chain.count = unbroken ? c + last_count : last_count;
            chain.last_seen_time = last;
        }
        return true;
    }

    std::size_t size() const noexcept { return chains_.size(); }

    // The state as bytes (version, address, count, last time per destination), and back.
    std::string serialize() const {
        using namespace carry_entry;
        std::string out(chains_.size() * kSize, '\0');
        char* p = out.data();
        for (uint32_t id = 0; id < chains_.size(); ++id, p += kSize) {
            const DestinationKey& k = index_.key(id);
            p[kVersion] = static_cast<char>(k.version);
            std::memcpy(p + kAddress, k.addr, 16);
            std::memcpy(p + kCount, &chains_[id].count, 4);
            std::memcpy(p + kLastTime, &chains_[id].last_seen_time, 8);
        }
        return out;
    }
    bool load(const char* data, std::size_t size) {
        using namespace carry_entry;
        if (size % kSize) return false;
        for (const char* p = data; p < data + size; p += kSize) {
            DestinationKey key{static_cast<uint8_t>(p[kVersion]), {}};
            std::memcpy(key.addr, p + kAddress, 16);
            bool added;
            const uint32_t at = index_.find_or_add(key, added);
            if (added) chains_.push_back({0, 0.0});
            std::memcpy(&chains_[at].count, p + kCount, 4);
            std::memcpy(&chains_[at].last_seen_time, p + kLastTime, 8);
        }
        return true;
    }

private:
    KeyIndex index_;
    std::vector<features::ConnectionState> chains_;
};

}  // namespace kavrel::engine
