// Reading columns handed in through the Arrow C data interface: a record batch
// (struct array) whose children are primitive or utf8 arrays.
#pragma once

#include "columnar/arrow_c.hpp"
#include "columnar/columns.hpp"

#include <cstdint>
#include <cstring>
#include <string_view>

namespace kavrel::columnar {

// One child array, read in place; valid only while the batch lives.
class ImportedColumn {
public:
    ImportedColumn() = default;
    explicit ImportedColumn(const ArrowArray* a) noexcept : a_(a) {}

    int64_t length() const noexcept { return a_ ? a_->length : 0; }
    bool valid(int64_t i) const noexcept {
        const auto* bits = static_cast<const uint8_t*>(a_->buffers[0]);
        if (!bits || a_->null_count == 0) return true;
        const int64_t k = i + a_->offset;
        return (bits[k >> 3] >> (k & 7)) & 1;
    }
    template <class T>
    T value(int64_t i) const noexcept {
        return static_cast<const T*>(a_->buffers[1])[i + a_->offset];
    }
    bool bit(int64_t i) const noexcept {
        const auto* bits = static_cast<const uint8_t*>(a_->buffers[1]);
        const int64_t k = i + a_->offset;
        return (bits[k >> 3] >> (k & 7)) & 1;
    }
    std::string_view text(int64_t i) const noexcept {
        const auto* offsets = static_cast<const int32_t*>(a_->buffers[1]);
        const auto* data = static_cast<const char*>(a_->buffers[2]);
        const int32_t b = offsets[i + a_->offset], e = offsets[i + a_->offset + 1];
        return data ? std::string_view(data + b, static_cast<std::size_t>(e - b)) : std::string_view();
    }

private:
    const ArrowArray* a_ = nullptr;
};

// Appends rows [begin, end) of `from`, a column of type `field` as export_batch() makes
// them, to `to` (started with room for them); false when memory ran out.
inline bool append_rows(const ArrowArray* from, const Field& field, int64_t begin, int64_t end,
                        Column& to) noexcept {
    const ImportedColumn c(from);
    for (int64_t i = begin; i < end; ++i) {
        if (!c.valid(i)) {
            to.push_null();
            continue;
        }
        switch (field.type) {
        case Type::u8: case Type::dictionary_utf8: to.push<uint8_t>(c.value<uint8_t>(i)); break;
        case Type::u16: to.push<uint16_t>(c.value<uint16_t>(i)); break;
        case Type::u32: to.push<uint32_t>(c.value<uint32_t>(i)); break;
        case Type::u64: case Type::i64: case Type::f64: case Type::timestamp_ns_utc:
            to.push<uint64_t>(c.value<uint64_t>(i));
            break;
        case Type::boolean: to.push_bool(c.bit(i)); break;
        case Type::utf8: {
            const std::string_view t = c.text(i);
            if (!to.push_text(t.data(), t.size())) return false;
            break;
        }
        }
    }
    return true;
}

// The child of `batch` named `name` with format `format`; false when there is none.
inline bool find_column(const ArrowSchema* schema, const ArrowArray* batch, const char* name, const char* format,
                        ImportedColumn& out) noexcept {
    for (int64_t i = 0; i < schema->n_children; ++i) {
        const ArrowSchema* child = schema->children[i];
        if (child->name && std::strcmp(child->name, name) == 0) {
            if (std::strcmp(child->format, format) != 0) return false;
            out = ImportedColumn(batch->children[i]);
            return true;
        }
    }
    return false;
}

}  // namespace kavrel::columnar
