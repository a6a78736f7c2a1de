// The one reader of untrusted frame bytes. Every decoder step reads through a
// Reader over the bytes of its own header onwards; a read that would go past
// the captured bytes is refused (has() is false, the value readers give 0).
#pragma once

#include <cstdint>
#include <cstring>

namespace kavrel::decode {

class Reader {
public:
    constexpr Reader() noexcept = default;
    Reader(const uint8_t* bytes, uint32_t caplen) noexcept : bytes_(bytes), size_(bytes ? caplen : 0) {}

    // The bytes from `offset` on, as a reader whose offsets count from there;
    // empty when `offset` is past the end.
    Reader from(uint32_t offset) const noexcept {
        return offset <= size_ ? Reader(bytes_ + offset, size_ - offset) : Reader(bytes_ + size_, 0);
    }
    uint32_t size() const noexcept { return size_; }
    bool has(uint32_t offset, uint32_t count) const noexcept { return offset <= size_ && count <= size_ - offset; }

    uint8_t u8(uint32_t offset) const noexcept { return has(offset, 1) ? bytes_[offset] : 0; }
    uint16_t be16(uint32_t offset) const noexcept {
        if (!has(offset, 2)) return 0;
        return static_cast<uint16_t>(bytes_[offset] << 8 | bytes_[offset + 1]);
    }
    uint32_t be32(uint32_t offset) const noexcept {
        if (!has(offset, 4)) return 0;
        return static_cast<uint32_t>(bytes_[offset]) << 24 | static_cast<uint32_t>(bytes_[offset + 1]) << 16 |
               static_cast<uint32_t>(bytes_[offset + 2]) << 8 | bytes_[offset + 3];
    }
    uint32_t le32(uint32_t offset) const noexcept {
        if (!has(offset, 4)) return 0;
        return static_cast<uint32_t>(bytes_[offset + 3]) << 24 | static_cast<uint32_t>(bytes_[offset + 2]) << 16 |
               static_cast<uint32_t>(bytes_[offset + 1]) << 8 | bytes_[offset];
    }
    // Copies `count` bytes as they stand; false (nothing copied) when they are not all captured.
    bool copy(uint32_t offset, void* out, uint32_t count) const noexcept {
        if (!has(offset, count)) return false;
        std::memcpy(out, bytes_ + offset, count);
        return true;
    }

private:
    const uint8_t* bytes_ = nullptr;
    uint32_t size_ = 0;
};

}  // namespace kavrel::decode
