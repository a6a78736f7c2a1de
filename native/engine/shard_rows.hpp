// A shard's rows, held until the pass over every shard in order says what to
// add to their counts (see shards.hpp): the batches of the table, and per row
// the value that mends its count (a destination id while the row is in that
// destination's first chain, else kNotFirstChain), kept beside the batches,
// never as a column. The counts are mended in place, in memory the rows' owner
// writes: the heap of this process, or a worker's memory file it mapped.
//
// A worker builds its shard in a SharedArena and describes where every buffer
// lies (describe()); the process it hands the file to maps it and rebuilds the
// very same batches over the mapping (rebuild()), nothing copied.
#pragma once

#include "columnar/arena.hpp"
#include "columnar/arrow_c.hpp"
#include "columnar/columns.hpp"
#include "engine/shards.hpp"

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace kavrel::engine {

class ShardRows {
public:
    ShardRows() = default;
    ShardRows(const ShardRows&) = delete;
    ShardRows& operator=(const ShardRows&) = delete;
    ~ShardRows() {
        for (Batch& b : batches_) release(b);
    }

    // Takes over a batch and its mending values (a batch of one uint32 column,
    // or none: release null). False when memory ran out (both are released).
    bool add(ArrowArray rows, ArrowArray mend) noexcept {
        try {
            batches_.push_back({rows, mend});
        } catch (...) {
            Batch b{rows, mend};
            release(b);
            return false;
        }
        rows_ += rows.length;
        return true;
    }

    int64_t rows() const noexcept { return rows_; }
    std::size_t batches() const noexcept { return batches_.size(); }

    // Adds `carry[id]` to column `count` (uint32) of every row whose mending value is an id
    // below `n`: the rows of each destination's first chain take the count carried in.
    void mend(const uint32_t* carry, std::size_t n, int count) noexcept {
        for (Batch& b : batches_) {
            if (!b.mend.release || b.rows.n_children <= count) continue;
            ArrowArray* column = b.rows.children[count];
            auto* counts = static_cast<uint32_t*>(const_cast<void*>(column->buffers[1])) + column->offset;
            const ArrowArray* ids_array = b.mend.children[0];
            const auto* ids = static_cast<const uint32_t*>(ids_array->buffers[1]) + ids_array->offset;
            for (int64_t i = 0; i < b.rows.length; ++i) {
                if (ids[i] < n) counts[i] += carry[ids[i]];  // kNotFirstChain is past every carry
            }
        }
    }

    // Every row's mending value, in row order.
    std::vector<uint32_t> mend_values() const {
        std::vector<uint32_t> out;
        out.reserve(static_cast<std::size_t>(rows_));
        for (const Batch& b : batches_) {
            if (!b.mend.release) {
                out.insert(out.end(), static_cast<std::size_t>(b.rows.length), kNotFirstChain);
                continue;
            }
            const ArrowArray* a = b.mend.children[0];
            const auto* ids = static_cast<const uint32_t*>(a->buffers[1]) + a->offset;
            out.insert(out.end(), ids, ids + b.rows.length);
        }
        return out;
    }

    // Moves the batches out, in order, their mending values dropped.
    std::vector<ArrowArray> take_batches() {
        std::vector<ArrowArray> out;
        out.reserve(batches_.size());
        for (Batch& b : batches_) {
            out.push_back(b.rows);
            if (b.mend.release) b.mend.release(&b.mend);
        }
        batches_.clear();
        rows_ = 0;
        return out;
    }

    // Where every buffer lies in `arena`, in which all of them were made: words of
    // 64 bits, host order (the reader is another process of this program on this host).
    // False when a buffer lies elsewhere.
    bool describe(const columnar::SharedArena& arena, std::string& out) const {
        std::vector<uint64_t> w{kManifestMark, batches_.size(),
                                batches_.empty() ? 0 : uint64_t(batches_[0].rows.n_children), arena.used()};
        bool inside = true;
        auto at = [&](const void* p) {
            if (!p) return kNone;
            inside = inside && arena.contains(p);
            return arena.offset_of(p);
        };
        for (const Batch& b : batches_) {
            w.push_back(static_cast<uint64_t>(b.rows.length));
            for (int64_t c = 0; c < b.rows.n_children; ++c) {
                const ArrowArray* a = b.rows.children[c];
                w.push_back(static_cast<uint64_t>(a->null_count));
                w.push_back(static_cast<uint64_t>(a->n_buffers));
                for (int k = 0; k < 3; ++k) w.push_back(k < a->n_buffers ? at(a->buffers[k]) : kNone);
            }
            w.push_back(b.mend.release ? at(b.mend.children[0]->buffers[1]) : kNone);
        }
        out.assign(reinterpret_cast<const char*>(w.data()), w.size() * sizeof(uint64_t));
        return inside;
    }

    // The batches `manifest` describes, over `share` (the worker's file, mapped), each
    // buffer checked to lie within it, into an empty ShardRows. False with `why` set
    // when the manifest does not describe batches of `fields` in that file.
    static bool rebuild(const std::shared_ptr<columnar::MappedShare>& share, const std::string& manifest,
                        const std::vector<columnar::Field>& fields, ShardRows& out, std::string& why) {
        const auto* w = reinterpret_cast<const uint64_t*>(manifest.data());
        const std::size_t words = manifest.size() / sizeof(uint64_t);
        std::size_t i = 0;
        auto next = [&](uint64_t& v) {
            if (i >= words) return false;
            v = w[i++];
            return true;
        };
        uint64_t mark, batches, columns, used;
        if (manifest.size() % sizeof(uint64_t) || !next(mark) || mark != kManifestMark || !next(batches) ||
            !next(columns) || !next(used) || (batches && columns != fields.size())) {
            why = "not a description of a shard's rows";
            return false;
        }
        const uint8_t* base = share->base();
        const uint64_t size = share->size();
        auto inside = [&](uint64_t offset, uint64_t length) { return offset <= size && length <= size - offset; };
        for (uint64_t b = 0; b < batches; ++b) {
            uint64_t rows;
            if (!next(rows) || rows > (uint64_t{1} << 40)) return refuse(why);
            std::vector<columnar::ColumnBuffers> cols(fields.size());
            for (std::size_t c = 0; c < fields.size(); ++c) {
                columnar::ColumnBuffers& col = cols[c];
                col.field = fields[c];
                uint64_t nulls, nbuf, offsets[3];
                if (!next(nulls) || !next(nbuf) || !next(offsets[0]) || !next(offsets[1]) || !next(offsets[2]) ||
                    nulls > rows || nbuf != (fields[c].type == columnar::Type::utf8 ? 3u : 2u)) {
                    return refuse(why);
                }
                col.null_count = static_cast<int64_t>(nulls);
                col.n_buffers = static_cast<int>(nbuf);
                const uint64_t lengths[3] = {(rows + 7) / 8, value_bytes(fields[c].type, rows), 0};
                for (int k = 0; k < 3; ++k) {
                    if (offsets[k] == kNone) {
                        if (k == 1 || (k == 0 && nulls) || (k == 2 && nbuf == 3)) return refuse(why);
                        continue;
                    }
                    if (k < int(nbuf) && !inside(offsets[k], lengths[k])) return refuse(why);
                    col.buffers[k] = const_cast<uint8_t*>(base + offsets[k]);
                }
                if (nbuf == 3) {  // the text ends where its last offset says
                    int32_t last;
                    std::memcpy(&last, base + offsets[1] + rows * 4, 4);
                    if (last < 0 || !inside(offsets[2], static_cast<uint64_t>(last))) return refuse(why);
                }
            }
            uint64_t mend_at;
            if (!next(mend_at) || (mend_at != kNone && !inside(mend_at, rows * 4))) return refuse(why);
            ArrowArray rows_batch, mend_batch{};
            if (!columnar::export_buffers(static_cast<int64_t>(rows), cols, {}, share, &rows_batch)) {
                why = "out of memory";
                return false;
            }
            if (mend_at != kNone) {
                std::vector<columnar::ColumnBuffers> ids(1);
                ids[0].field = kMendField;
                ids[0].buffers[1] = const_cast<uint8_t*>(base + mend_at);
                if (!columnar::export_buffers(static_cast<int64_t>(rows), ids, {}, share, &mend_batch)) {
                    rows_batch.release(&rows_batch);
                    why = "out of memory";
                    return false;
                }
            }
            if (!out.add(rows_batch, mend_batch)) {
                why = "out of memory";
                return false;
            }
        }
        return true;
    }

    // The bytes at the start of the file that the rows described lie in (0: not a description).
    static uint64_t described_bytes(const std::string& manifest) noexcept {
        uint64_t w[4];
        if (manifest.size() < sizeof w) return 0;
        std::memcpy(w, manifest.data(), sizeof w);
        return w[0] == kManifestMark ? w[3] : 0;
    }

    // The one column of a batch of mending values.
    static inline const columnar::Field kMendField{"mend", columnar::Type::u32, false};

private:
    struct Batch {
        ArrowArray rows;
        ArrowArray mend;
    };

    static constexpr uint64_t kManifestMark = 0x6b7672732d726f77;  // "wor-srvk": what follows describes rows
    static constexpr uint64_t kNone = UINT64_MAX;

    static uint64_t value_bytes(columnar::Type t, uint64_t rows) noexcept {
        if (t == columnar::Type::boolean) return (rows + 7) / 8;
        if (t == columnar::Type::utf8) return (rows + 1) * 4;
        return columnar::width_of(t) * rows;
    }
    static bool refuse(std::string& why) {
        why = "the description of a shard's rows does not fit its file";
        return false;
    }
    static void release(Batch& b) noexcept {
        if (b.rows.release) b.rows.release(&b.rows);
        if (b.mend.release) b.mend.release(&b.mend);
    }

    std::vector<Batch> batches_;
    int64_t rows_ = 0;
};

}  // namespace kavrel::engine
