// Typed column buffers filled in place, one value per row, and their export as
// an Arrow record batch (a struct array) and schema through the C data
// interface. Buffers are 64-byte aligned and handed over without a copy; they
// come from the heap or from an arena another process can map (arena.hpp).
#pragma once

#include "columnar/arena.hpp"
#include "columnar/arrow_c.hpp"

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace kavrel::columnar {

enum class Type : uint8_t { u8, u16, u32, u64, i64, f64, boolean, utf8, timestamp_ns_utc, dictionary_utf8 };

struct Field {
    const char* name;
    Type type;
    bool nullable;
    const char* const* dictionary = nullptr;  // dictionary_utf8: the values, in index order
    int dictionary_size = 0;
};

inline const char* format_of(Type t) noexcept {
    switch (t) {
    case Type::u8: return "C";
    case Type::u16: return "S";
    case Type::u32: return "I";
    case Type::u64: return "L";
    case Type::i64: return "l";
    case Type::f64: return "g";
    case Type::boolean: return "b";
    case Type::utf8: return "u";
    case Type::timestamp_ns_utc: return "tsn:UTC";
    case Type::dictionary_utf8: return "c";  // int8 indices
    }
    return "n";
}

inline std::size_t width_of(Type t) noexcept {
    switch (t) {
    case Type::u8: case Type::dictionary_utf8: return 1;
    case Type::u16: return 2;
    case Type::u32: return 4;
    case Type::u64: case Type::i64: case Type::f64: case Type::timestamp_ns_utc: return 8;
    case Type::boolean: case Type::utf8: return 0;
    }
    return 0;
}

// A 64-byte aligned block that grows by doubling, on the heap or in an arena.
class Buffer {
public:
    explicit Buffer(Arena* arena = nullptr) noexcept : arena_(arena) {}
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    Buffer(Buffer&& o) noexcept : arena_(o.arena_), data_(o.data_), size_(o.size_), capacity_(o.capacity_) {
        o.data_ = nullptr;
        o.size_ = o.capacity_ = 0;
    }
    ~Buffer() { drop(data_, capacity_); }

    uint8_t* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }
    void set_size(std::size_t n) noexcept { size_ = n; }

    // Room for `bytes` bytes in all (contents kept); false when memory ran out.
    bool reserve(std::size_t bytes) noexcept {
        if (bytes <= capacity_) return true;
        std::size_t cap = capacity_ ? capacity_ : 64;
        while (cap < bytes) cap *= 2;
        auto* p = static_cast<uint8_t*>(arena_ ? arena_->allocate(cap) : std::aligned_alloc(64, cap));
        if (!p) return false;
        if (size_) std::memcpy(p, data_, size_);
        drop(data_, capacity_);
        data_ = p;
        capacity_ = cap;
        return true;
    }
    // The block, for a new owner; this buffer is left empty. A heap block mostly
    // unused is shrunk first (an arena's stays: its file is handed on whole).
    void* take() noexcept {
        if (!arena_ && data_ && capacity_ > 4096 && size_ < capacity_ / 2) {
            if (auto* p = static_cast<uint8_t*>(std::aligned_alloc(64, (size_ + 63) / 64 * 64 + 64))) {
                std::memcpy(p, data_, size_);
                std::free(data_);
                data_ = p;
            }
        }
        void* out = data_;
        data_ = nullptr;
        size_ = capacity_ = 0;
        return out;
    }

private:
    void drop(void* block, std::size_t bytes) noexcept {
        if (!block) return;
        if (arena_) arena_->release(block, bytes);
        else std::free(block);
    }

    Arena* arena_;
    uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// Rows in a batch unless asked otherwise: a few megabytes of columns, little per batch.
inline constexpr std::size_t kDefaultBatchRows = 65536;

// The most text one column of a batch holds: its offsets are 32-bit.
inline constexpr std::size_t kMaxTextBytes = INT32_MAX;

// One column of a batch being built. Every row appends exactly one value or a null.
class Column {
public:
    explicit Column(const Field& f, Arena* arena = nullptr)
        : field_(f), width_(width_of(f.type)), arena_(arena), validity_(arena), values_(arena), offsets_(arena),
          data_(arena) {}

    const Field& field() const noexcept { return field_; }
    Arena* arena() const noexcept { return arena_; }
    int64_t length() const noexcept { return length_; }

    // Makes room for `rows` rows; false when memory ran out.
    bool start(std::size_t rows) noexcept {
        length_ = null_count_ = 0;
        const std::size_t bitmap = (rows + 7) / 8;
        if (!validity_.reserve(bitmap)) return false;
        // Every row starts valid; push_null() clears its bit.
        std::memset(validity_.data(), 0xFF, bitmap);
        validity_.set_size(bitmap);
        switch (field_.type) {
        case Type::boolean:
            if (!values_.reserve(bitmap)) return false;
            std::memset(values_.data(), 0, bitmap);
            values_.set_size(bitmap);
            return true;
        case Type::utf8:
            if (!offsets_.reserve((rows + 1) * 4) || !data_.reserve(rows * 16)) return false;
            offsets_.set_size((rows + 1) * 4);
            reinterpret_cast<int32_t*>(offsets_.data())[0] = 0;
            data_.set_size(0);
            return true;
        default:
            if (!values_.reserve(rows * width_)) return false;
            values_.set_size(rows * width_);
            return true;
        }
    }

    template <class T>
    void push(T value) noexcept {
        reinterpret_cast<T*>(values_.data())[length_] = value;
        mark_valid();
    }
    void push_bool(bool value) noexcept {
        if (value) values_.data()[length_ >> 3] |= static_cast<uint8_t>(1u << (length_ & 7));
        mark_valid();
    }
    // Text bytes this column holds so far in the batch.
    std::size_t text_bytes() const noexcept { return data_.size(); }
    // Whether `n` more text bytes fit in the batch's 32-bit offsets, below `limit`
    // (builders cut a batch before a row that would not fit).
    bool text_fits(std::size_t n, std::size_t limit = kMaxTextBytes) const noexcept {
        return n <= limit && data_.size() <= limit - n;
    }
    // Room for `max` more text bytes of this row; commit_text() then says how many were
    // written. nullptr when memory ran out, or when they would not fit the offsets.
    char* text_space(std::size_t max) noexcept {
        if (!text_fits(max) || !data_.reserve(data_.size() + max)) return nullptr;
        return reinterpret_cast<char*>(data_.data() + data_.size());
    }
    void commit_text(std::size_t n) noexcept {
        data_.set_size(data_.size() + n);
        reinterpret_cast<int32_t*>(offsets_.data())[length_ + 1] = static_cast<int32_t>(data_.size());
        mark_valid();
    }
    bool push_text(const char* text, std::size_t n) noexcept {
        char* out = text_space(n);
        if (!out) return false;
        std::memcpy(out, text, n);
        commit_text(n);
        return true;
    }
    void push_null() noexcept {
        switch (field_.type) {
        case Type::boolean: break;
        case Type::utf8:
            reinterpret_cast<int32_t*>(offsets_.data())[length_ + 1] = static_cast<int32_t>(data_.size());
            break;
        case Type::u8: case Type::dictionary_utf8: values_.data()[length_] = 0; break;
        case Type::u16: reinterpret_cast<uint16_t*>(values_.data())[length_] = 0; break;
        case Type::u32: reinterpret_cast<uint32_t*>(values_.data())[length_] = 0; break;
        default: reinterpret_cast<uint64_t*>(values_.data())[length_] = 0; break;
        }
        validity_.data()[length_ >> 3] &= static_cast<uint8_t>(~(1u << (length_ & 7)));
        ++null_count_;
        ++length_;
    }

    // Hands the buffers over: (validity or nullptr, values/offsets, data).
    int take_buffers(void* out[3]) noexcept {
        out[0] = null_count_ ? validity_.take() : nullptr;
        if (field_.type == Type::utf8) {
            offsets_.set_size(static_cast<std::size_t>(length_ + 1) * 4);
            out[1] = offsets_.take();
            out[2] = data_.take();
            // A batch with no text still needs a data buffer.
            if (!out[2]) out[2] = arena_ ? arena_->allocate(64) : std::aligned_alloc(64, 64);
            return 3;
        }
        out[1] = values_.take();
        return 2;
    }
    int64_t null_count() const noexcept { return null_count_; }

private:
    void mark_valid() noexcept { ++length_; }

    Field field_;
    std::size_t width_;
    Arena* arena_;
    Buffer validity_, values_, offsets_, data_;
    int64_t length_ = 0;
    int64_t null_count_ = 0;
};

// ---- export ---------------------------------------------------------------

namespace detail {

// The memory of one exported batch, shared by the batch and each of its
// columns: a consumer may move a column out and release it on its own.
struct BatchMemory {
    std::atomic<int> refs{1};
    std::vector<void*> blocks;  // heap blocks; an arena's stay its own
    std::shared_ptr<void> keep;  // the arena or mapping the other buffers lie in
    std::vector<ArrowArray> columns;
    std::vector<ArrowArray*> column_ptrs;
    std::vector<ArrowArray> dictionaries;
    std::vector<std::array<const void*, 3>> buffers;
    std::vector<std::array<const void*, 3>> dictionary_buffers;
    const void* batch_buffers[1] = {nullptr};

    ~BatchMemory() {
        for (void* b : blocks) std::free(b);
    }
    void unref() noexcept {
        if (refs.fetch_sub(1) == 1) delete this;
    }
};

inline void release_dictionary(ArrowArray* a) noexcept {
    static_cast<BatchMemory*>(a->private_data)->unref();
    a->release = nullptr;
}
inline void release_column(ArrowArray* a) noexcept {
    if (a->dictionary && a->dictionary->release) a->dictionary->release(a->dictionary);
    static_cast<BatchMemory*>(a->private_data)->unref();
    a->release = nullptr;
}
inline void release_batch(ArrowArray* a) noexcept {
    for (int64_t i = 0; i < a->n_children; ++i) {
        if (a->children[i]->release) a->children[i]->release(a->children[i]);
    }
    static_cast<BatchMemory*>(a->private_data)->unref();
    a->release = nullptr;
}

// The values of a dictionary column, as utf8 buffers.
inline bool dictionary_blocks(const Field& f, std::vector<void*>& blocks, std::array<const void*, 3>& out) {
    std::size_t total = 0;
    for (int i = 0; i < f.dictionary_size; ++i) total += std::strlen(f.dictionary[i]);
    auto* offsets = static_cast<int32_t*>(std::aligned_alloc(64, ((f.dictionary_size + 1) * 4 + 63) / 64 * 64));
    auto* data = static_cast<char*>(std::aligned_alloc(64, (total + 63) / 64 * 64 + 64));
    if (!offsets || !data) {
        std::free(offsets);
        std::free(data);
        return false;
    }
    blocks.push_back(offsets);
    blocks.push_back(data);
    offsets[0] = 0;
    for (int i = 0; i < f.dictionary_size; ++i) {
        const std::size_t n = std::strlen(f.dictionary[i]);
        std::memcpy(data + offsets[i], f.dictionary[i], n);
        offsets[i + 1] = offsets[i] + static_cast<int32_t>(n);
    }
    out = {nullptr, offsets, data};
    return true;
}

}  // namespace detail

// One column's buffers as a batch hands them over: validity (or nullptr),
// values or offsets, and a text column's data.
struct ColumnBuffers {
    Field field;
    int64_t null_count = 0;
    int n_buffers = 2;
    void* buffers[3] = {nullptr, nullptr, nullptr};
};

// A record batch of `rows` rows over the buffers of `columns`, handed over without a
// copy. The blocks in `owned` are heap blocks the batch frees when released; the
// others lie in memory `keep` holds for as long as the batch lives. False when
// memory ran out (the owned blocks are freed).
inline bool export_buffers(int64_t rows, const std::vector<ColumnBuffers>& columns, const std::vector<void*>& owned,
                           std::shared_ptr<void> keep, ArrowArray* out) noexcept {
    using namespace detail;
    const std::size_t n = columns.size();
    auto* mem = new (std::nothrow) BatchMemory;
    if (!mem) {
        for (void* b : owned) std::free(b);
        return false;
    }
    mem->keep = std::move(keep);
    try {
        mem->blocks = owned;
        mem->columns.resize(n);
        mem->column_ptrs.resize(n);
        mem->buffers.resize(n);
        mem->dictionaries.resize(n);
        mem->dictionary_buffers.resize(n);
        mem->blocks.reserve(mem->blocks.size() + 2 * n);
    } catch (...) {
        for (void* b : owned) std::free(b);
        delete mem;
        return false;
    }
    for (std::size_t i = 0; i < n; ++i) {
        const ColumnBuffers& c = columns[i];
        for (int b = 0; b < c.n_buffers; ++b) mem->buffers[i][b] = c.buffers[b];
        ArrowArray& a = mem->columns[i];
        a = ArrowArray{rows, c.null_count, 0, c.n_buffers, 0, mem->buffers[i].data(), nullptr, nullptr,
                       release_column, mem};
        mem->refs.fetch_add(1);
        if (c.field.type == Type::dictionary_utf8) {
            if (!dictionary_blocks(c.field, mem->blocks, mem->dictionary_buffers[i])) {
                delete mem;  // nothing refers to it yet
                return false;
            }
            ArrowArray& d = mem->dictionaries[i];
            d = ArrowArray{c.field.dictionary_size, 0, 0, 3, 0, mem->dictionary_buffers[i].data(), nullptr,
                           nullptr, release_dictionary, mem};
            mem->refs.fetch_add(1);
            a.dictionary = &d;
        }
        mem->column_ptrs[i] = &a;
    }
    *out = ArrowArray{rows, 0, 0, 1, static_cast<int64_t>(n), mem->batch_buffers, mem->column_ptrs.data(), nullptr,
                      release_batch, mem};
    return true;
}

// Moves the built rows of `columns` into `out` as one record batch; the
// columns are then empty, ready for start(). Columns built in an arena need
// `keep` to hold it for as long as the batch lives. False when memory ran out.
inline bool export_batch(std::vector<Column>& columns, ArrowArray* out, std::shared_ptr<void> keep = {}) noexcept {
    const int64_t rows = columns.empty() ? 0 : columns[0].length();
    std::vector<ColumnBuffers> taken;
    std::vector<void*> owned;
    try {
        taken.resize(columns.size());
        owned.reserve(3 * columns.size());
    } catch (...) {
        return false;
    }
    for (std::size_t i = 0; i < columns.size(); ++i) {
        Column& c = columns[i];
        ColumnBuffers& t = taken[i];
        t.field = c.field();
        t.null_count = c.null_count();
        t.n_buffers = c.take_buffers(t.buffers);
        for (int b = 0; b < t.n_buffers; ++b) {
            if (t.buffers[b] && !c.arena()) owned.push_back(t.buffers[b]);
        }
    }
    return export_buffers(rows, taken, owned, std::move(keep), out);
}

namespace detail {
// Two batches of the same rows side by side: the columns of both, one parent.
struct JoinedBatches {
    ArrowArray left, right;
    std::vector<ArrowArray*> children;
};
inline void release_joined(ArrowArray* a) noexcept {
    auto* j = static_cast<JoinedBatches*>(a->private_data);
    for (ArrowArray* child : j->children) {
        if (child->release) child->release(child);
    }
    j->left.release(&j->left);  // their columns are released already
    j->right.release(&j->right);
    delete j;
    a->release = nullptr;
}
}  // namespace detail

// One batch holding the columns of `left` then those of `right` (same row
// count), which it takes over. False when memory ran out (both released).
inline bool join_batches(ArrowArray left, ArrowArray right, ArrowArray* out) noexcept {
    auto* j = new (std::nothrow) detail::JoinedBatches{left, right, {}};
    if (j) {
        try {
            j->children.reserve(static_cast<std::size_t>(left.n_children + right.n_children));
        } catch (...) {
            delete j;
            j = nullptr;
        }
    }
    if (!j) {
        left.release(&left);
        right.release(&right);
        return false;
    }
    for (int64_t i = 0; i < j->left.n_children; ++i) j->children.push_back(j->left.children[i]);
    for (int64_t i = 0; i < j->right.n_children; ++i) j->children.push_back(j->right.children[i]);
    *out = ArrowArray{left.length, 0, 0, 1, static_cast<int64_t>(j->children.size()), j->left.buffers,
                      j->children.data(), nullptr, detail::release_joined, j};
    return true;
}

namespace detail {
struct SchemaMemory {
    std::vector<ArrowSchema> columns;
    std::vector<ArrowSchema*> column_ptrs;
    std::vector<ArrowSchema> dictionaries;
};
inline void release_child_schema(ArrowSchema* s) noexcept {
    if (s->dictionary && s->dictionary->release) s->dictionary->release(s->dictionary);
    s->release = nullptr;
}
inline void release_leaf_schema(ArrowSchema* s) noexcept { s->release = nullptr; }
inline void release_schema(ArrowSchema* s) noexcept {
    for (int64_t i = 0; i < s->n_children; ++i) {
        if (s->children[i]->release) s->children[i]->release(s->children[i]);
    }
    delete static_cast<SchemaMemory*>(s->private_data);
    s->release = nullptr;
}
}  // namespace detail

// The schema of batches of `fields`: a struct of the columns, in order. The
// names and formats are static texts.
inline bool export_schema(const std::vector<Field>& fields, ArrowSchema* out) noexcept {
    using namespace detail;
    auto* mem = new (std::nothrow) SchemaMemory;
    if (!mem) return false;
    try {
        mem->columns.resize(fields.size());
        mem->column_ptrs.resize(fields.size());
        mem->dictionaries.resize(fields.size());
    } catch (...) {
        delete mem;
        return false;
    }
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const Field& f = fields[i];
        ArrowSchema& s = mem->columns[i];
        s = ArrowSchema{format_of(f.type), f.name, nullptr, f.nullable ? ARROW_FLAG_NULLABLE : 0, 0, nullptr, nullptr,
                        release_child_schema, nullptr};
        if (f.type == Type::dictionary_utf8) {
            mem->dictionaries[i] = ArrowSchema{"u", nullptr, nullptr, 0, 0, nullptr, nullptr, release_leaf_schema, nullptr};
            s.dictionary = &mem->dictionaries[i];
        }
        mem->column_ptrs[i] = &s;
    }
    *out = ArrowSchema{"+s", "", nullptr, 0, static_cast<int64_t>(fields.size()), mem->column_ptrs.data(), nullptr,
                       release_schema, mem};
    return true;
}

// The columns of one table being built, batch after batch: every column of a row
// is appended by the builder that owns the set.
class ColumnSet {
public:
    // Columns built in `arena` (nullptr: the heap), which `keep` holds alive.
    explicit ColumnSet(std::shared_ptr<Arena> arena = {}) : arena_(std::move(arena)) {}

    void add(const Field& f) { columns_.emplace_back(f, arena_.get()); }
    Column& operator[](std::size_t i) noexcept { return columns_[i]; }
    const Column& operator[](std::size_t i) const noexcept { return columns_[i]; }
    std::size_t size() const noexcept { return columns_.size(); }
    auto begin() noexcept { return columns_.begin(); }
    auto end() noexcept { return columns_.end(); }
    auto begin() const noexcept { return columns_.begin(); }
    auto end() const noexcept { return columns_.end(); }

    std::vector<Field> fields() const {
        std::vector<Field> out;
        for (const auto& c : columns_) out.push_back(c.field());
        return out;
    }
    // Rows built so far in this batch.
    int64_t rows() const noexcept { return columns_.empty() ? 0 : columns_[0].length(); }

    // Makes room for a batch of `rows` rows; false when memory ran out.
    bool start(std::size_t rows) noexcept {
        for (auto& c : columns_) {
            if (!c.start(rows)) return false;
        }
        return true;
    }
    // The batch built so far into `out`; the set is then ready for start().
    bool export_batch(ArrowArray* out) noexcept { return columnar::export_batch(columns_, out, arena_); }

private:
    std::shared_ptr<Arena> arena_;
    std::vector<Column> columns_;
};

}  // namespace kavrel::columnar
