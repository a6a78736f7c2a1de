// A reader of pcapng files that walks the blocks itself, in place (see
// ByteWindow). Every interface keeps its own link type, snapshot length and
// time stamp resolution, so a file merged from captures of different link
// types is read whole; otherwise blocks are read and refused exactly as
// libpcap reads them (its texts for what it refuses), with times in
// nanoseconds. Plain C++; the bytes are untrusted and every length is checked.
#pragma once

#include "capture/byte_window.hpp"
#include "capture/classic_pcap.hpp"
#include "capture/frame.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace kavrel::capture {

namespace pcapng {

inline constexpr uint32_t kSectionHeader = 0x0A0D0D0A;
inline constexpr uint32_t kInterface = 1;
inline constexpr uint32_t kObsoletePacket = 2;
inline constexpr uint32_t kSimplePacket = 3;
inline constexpr uint32_t kEnhancedPacket = 6;
inline constexpr uint32_t kByteOrderMagic = 0x1A2B3C4D;

inline constexpr uint32_t kBlockHeaderLen = 8;   // type, total length
inline constexpr uint32_t kBlockTrailerLen = 4;  // total length again
inline constexpr uint32_t kSectionFixedLen = 16;  // byte-order magic, version, section length
inline constexpr uint32_t kSectionMaxLen = 1u << 20;
inline constexpr uint32_t kInterfaceFixedLen = 8;   // link type, reserved, snapshot length
inline constexpr uint32_t kEnhancedFixedLen = 20;   // interface, time (2 words), caplen, length
inline constexpr uint32_t kObsoleteFixedLen = 20;   // interface (16 bits), drops (16 bits), time, caplen, length
inline constexpr uint32_t kSimpleFixedLen = 4;      // length
// No block larger than this is read, or than a packet of the first interface's
// largest snapshot length with room for options.
inline constexpr uint32_t kMaxBlockLen = 16u << 20;
inline constexpr uint32_t kOptionsRoom = 131072;

// libpcap's largest snapshot length for a link type (LINKTYPE_* numbers).
inline uint32_t largest_snapshot(int linktype) noexcept {
    switch (linktype) {
    case 231: return 128u << 20;  // D-Bus
    case 279: return 8u << 20;    // EBHSCR
    case 249: return 1u << 20;    // USBPcap
    default: return kMaxCaplen;
    }
}

// Interface options that change how times are read.
inline constexpr uint16_t kEndOfOptions = 0;
inline constexpr uint16_t kTimeResolution = 9;
inline constexpr uint16_t kTimeOffset = 14;

inline bool is_magic(const uint8_t* b) noexcept {
    uint32_t m;
    std::memcpy(&m, b, 4);
    return m == kSectionHeader;  // the same in either byte order
}

}  // namespace pcapng

class PcapngReader {
public:
    PcapngReader() = default;
    PcapngReader(const PcapngReader&) = delete;
    PcapngReader& operator=(const PcapngReader&) = delete;

    // Starts reading `fd` (not owned) at its first byte, of which the first
    // `seen` were read already into `head`: reads the section header and the
    // blocks up to the first interface, as an open does. False with error()
    // (the file is no pcapng that libpcap reads) or os_errno().
    bool start(int fd, const uint8_t* head, std::size_t seen, const CancelFlag* cancel = nullptr) {
        interfaces_.clear();
        error_[0] = '\0';
        max_block_ = pcapng::kMaxBlockLen;
        if (!window_.open(fd, 0, cancel, head, seen)) return false;
        constexpr uint32_t kSectionMinLen = pcapng::kBlockHeaderLen + pcapng::kSectionFixedLen + pcapng::kBlockTrailerLen;
        if (!window_.fill(pcapng::kBlockHeaderLen + 4)) return refuse(window_.os_errno() ? nullptr : kUnknown);
        const uint8_t* b = window_.data();
        uint32_t length, magic;
        std::memcpy(&length, b + 4, 4);
        std::memcpy(&magic, b + 8, 4);
        if (magic != pcapng::kByteOrderMagic) {
            if (bswap32(magic) != pcapng::kByteOrderMagic) return refuse(kUnknown);
            swapped_ = true;
            length = bswap32(length);
        }
        if (length < kSectionMinLen || length > pcapng::kSectionMaxLen) {
            std::snprintf(error_, sizeof error_,
                          "Section Header Block in pcapng dump file has invalid length %u < _%u_ < %u "
                          "(BT_SHB_INSANE_MAX)",
                          kSectionMinLen, length, pcapng::kSectionMaxLen);
            return false;
        }
        // The first section header is taken whole, its trailer unread, as libpcap takes it.
        if (!window_.fill(length)) {
            if (window_.os_errno()) return false;
            std::snprintf(error_, sizeof error_, "truncated pcapng dump file; tried to read %u bytes, only got %zu",
                          length - 12, window_.available() - 12);
            return false;
        }
        const uint16_t major = u16(window_.data() + 12), minor = u16(window_.data() + 14);
        window_.consume(length);
        if (!(major == 1 && (minor == 0 || minor == 2))) {
            std::snprintf(error_, sizeof error_, "unsupported pcapng savefile version %u.%u", major, minor);
            return false;
        }
        for (;;) {
            Block block;
            const Got got = read_block(block);
            if (got == Got::end) return refuse("the capture file has no Interface Description Blocks");
            if (got != Got::block) return false;
            if (block.type == pcapng::kInterface) {
                const uint32_t room = pcapng::kBlockHeaderLen + pcapng::kEnhancedFixedLen +
                                      pcapng::largest_snapshot(u16(block.body)) + pcapng::kOptionsRoom +
                                      pcapng::kBlockTrailerLen;
                if (room > max_block_) max_block_ = room;
                return add_interface(block);
            }
            if (is_packet(block.type)) {
                return refuse("the capture file has a packet block before any Interface Description Blocks");
            }
        }
    }

    void stop() noexcept { window_.close(); }

    // The link type of the first interface: the file's, where it has one only.
    int linktype() const noexcept { return interfaces_.empty() ? -1 : interfaces_[0].linktype; }
    // Byte offset of the next block; after damage, of the damaged one.
    uint64_t offset() const noexcept { return block_start_; }
    const char* error() const noexcept { return error_; }
    int os_errno() const noexcept { return window_.faulted() ? EIO : window_.os_errno(); }

    ReadStatus next(Frame& out) {
        for (;;) {
            block_start_ = window_.offset();
            Block block;
            const Got got = read_block(block);
            if (got == Got::end) return ReadStatus::end;
            if (got == Got::failed) return ReadStatus::failed;
            if (got == Got::damaged) return ReadStatus::damaged;
            switch (take(block, out)) {
            case Took::frame: return ReadStatus::frame;
            case Took::damage: return ReadStatus::damaged;
            case Took::nothing: break;  // statistics, names, comments, interfaces: read on
            }
        }
    }

private:
    struct Interface {
        int linktype;
        uint32_t snapshot;
        uint64_t resolution;  // time units a second
        bool binary;          // a power of 2 rather than of 10
        int64_t offset;       // seconds added to every time
    };

    struct Block {
        uint32_t type;
        const uint8_t* body;  // after the block header
        uint32_t size;        // of the body, without the trailer
    };

    enum class Got : uint8_t { block, end, damaged, failed };
    enum class Took : uint8_t { frame, nothing, damage };

    static constexpr const char* kUnknown = "unknown file format";

    static bool is_packet(uint32_t type) noexcept {
        return type == pcapng::kEnhancedPacket || type == pcapng::kSimplePacket || type == pcapng::kObsoletePacket;
    }

    uint16_t u16(const uint8_t* p) const noexcept {
        uint16_t v;
        std::memcpy(&v, p, 2);
        return swapped_ ? bswap16(v) : v;
    }
    uint32_t u32(const uint8_t* p) const noexcept {
        uint32_t v;
        std::memcpy(&v, p, 4);
        return swapped_ ? bswap32(v) : v;
    }
    uint64_t u64(const uint8_t* p) const noexcept {
        uint64_t v;
        std::memcpy(&v, p, 8);
        return swapped_ ? __builtin_bswap64(v) : v;
    }

    // The next whole block, consumed; its bytes stay valid until the next read.
    Got read_block(Block& out) {
        if (!window_.fill(pcapng::kBlockHeaderLen)) {
            if (window_.os_errno()) return failed();
            if (window_.available() == 0) return Got::end;
            std::snprintf(error_, sizeof error_, "truncated pcapng dump file; tried to read %u bytes, only got %zu",
                          pcapng::kBlockHeaderLen, window_.available());
            return Got::damaged;
        }
        const uint32_t type = u32(window_.data()), length = u32(window_.data() + 4);
        if (length < pcapng::kBlockHeaderLen + pcapng::kBlockTrailerLen) {
            std::snprintf(error_, sizeof error_, "block in pcapng dump file has a length of %u < %u", length,
                          pcapng::kBlockHeaderLen + pcapng::kBlockTrailerLen);
            return Got::damaged;
        }
        if (length % 4) {
            std::snprintf(error_, sizeof error_,
                          "block in pcapng dump file has a length of %u that is not a multiple of 4", length);
            return Got::damaged;
        }
        if (length > max_block_) {
            std::snprintf(error_, sizeof error_, "pcapng block size %u > maximum %u", length, max_block_);
            return Got::damaged;
        }
        if (!window_.fill(length, max_block_)) {
            if (window_.os_errno()) return failed();
            std::snprintf(error_, sizeof error_, "truncated pcapng dump file; tried to read %u bytes, only got %zu",
                          length - pcapng::kBlockHeaderLen, window_.available() - pcapng::kBlockHeaderLen);
            return Got::damaged;
        }
        if (!window_.readable(length)) {
            std::snprintf(error_, sizeof error_, "error reading dump file: the file shrank or its device failed");
            return Got::failed;
        }
        const uint8_t* b = window_.data();
        const uint32_t trailer = u32(b + length - pcapng::kBlockTrailerLen);
        if (trailer != length) {
            std::snprintf(error_, sizeof error_, "block total length in header and trailer don't match");
            return Got::damaged;
        }
        out = Block{type, b + pcapng::kBlockHeaderLen, length - pcapng::kBlockHeaderLen - pcapng::kBlockTrailerLen};
        window_.consume(length);
        return Got::block;
    }

    Got failed() {
        std::snprintf(error_, sizeof error_, "error reading dump file: %s", std::strerror(window_.os_errno()));
        return Got::failed;
    }

    // False with `text` as the error (nullptr: the system's errno says why).
    bool refuse(const char* text) {
        if (text) std::snprintf(error_, sizeof error_, "%s", text);
        return false;
    }
    bool refuse_short(uint32_t type) {
        std::snprintf(error_, sizeof error_, "block of type %u in pcapng dump file is too short", type);
        return false;
    }

    // A packet block into `out`, another block taken in, or damage.
    Took take(const Block& block, Frame& out) {
        uint32_t interface = 0, caplen = 0, wire_len = 0;
        uint64_t t = 0;
        const uint8_t* data = nullptr;
        uint32_t room = 0;  // body bytes after the fixed part
        switch (block.type) {
        case pcapng::kEnhancedPacket:
        case pcapng::kObsoletePacket: {
            const uint32_t fixed =
                block.type == pcapng::kEnhancedPacket ? pcapng::kEnhancedFixedLen : pcapng::kObsoleteFixedLen;
            if (block.size < fixed) return damage(refuse_short(block.type));
            interface = block.type == pcapng::kEnhancedPacket ? u32(block.body) : u16(block.body);
            t = static_cast<uint64_t>(u32(block.body + 4)) << 32 | u32(block.body + 8);
            caplen = u32(block.body + 12);
            wire_len = u32(block.body + 16);
            data = block.body + fixed;
            room = block.size - fixed;
            break;
        }
        case pcapng::kSimplePacket: {
            if (block.size < pcapng::kSimpleFixedLen) return damage(refuse_short(block.type));
            wire_len = u32(block.body);
            // Its packets are the first interface's, captured up to that interface's snapshot length.
            caplen = interfaces_.empty() || wire_len <= interfaces_[0].snapshot ? wire_len : interfaces_[0].snapshot;
            data = block.body + pcapng::kSimpleFixedLen;
            room = block.size - pcapng::kSimpleFixedLen;
            break;
        }
        case pcapng::kInterface:
            return add_interface(block) ? Took::nothing : Took::damage;
        case pcapng::kSectionHeader:
            return new_section(block) ? Took::nothing : Took::damage;
        default:
            return Took::nothing;
        }
        if (interface >= interfaces_.size()) {
            std::snprintf(error_, sizeof error_,
                          "a packet arrived on interface %u, but there's no Interface Description Block for that "
                          "interface",
                          interface);
            return Took::damage;
        }
        const Interface& i = interfaces_[interface];
        if (caplen > i.snapshot) {
            std::snprintf(error_, sizeof error_, "invalid packet capture length %u, bigger than snaplen of %u", caplen,
                          i.snapshot);
            return Took::damage;
        }
        if (caplen > room) return damage(refuse_short(block.type));
        out.data = data;
        out.caplen = caplen;
        out.wire_len = wire_len;
        out.linktype = i.linktype;
        // As libpcap converts them to nanoseconds: whole seconds (with the
        // interface's offset) and the fraction scaled, in unsigned arithmetic.
        out.epoch_sec = static_cast<int64_t>(t / i.resolution + static_cast<uint64_t>(i.offset));
        uint64_t frac = t % i.resolution;
        if (i.resolution != kNanosecond) {
            if (!i.binary && i.resolution < kNanosecond) frac *= kNanosecond / i.resolution;
            else if (!i.binary) frac /= i.resolution / kNanosecond;
            else frac = frac * kNanosecond / i.resolution;
        }
        out.frac_ns = static_cast<int32_t>(frac);
        return Took::frame;
    }

    static Took damage(bool) noexcept { return Took::damage; }

    // A later section: its interfaces start afresh; its byte order must be the first one's.
    bool new_section(const Block& block) {
        if (block.size < pcapng::kSectionFixedLen) return refuse_short(block.type);
        const uint32_t magic = u32(block.body);
        if (magic != pcapng::kByteOrderMagic) {
            std::snprintf(error_, sizeof error_,
                          bswap32(magic) == pcapng::kByteOrderMagic
                              ? "the file has sections with different byte orders"
                              : "the file has a section with a bad byte order magic field");
            return false;
        }
        const uint16_t major = u16(block.body + 4);
        if (major != 1) {
            std::snprintf(error_, sizeof error_, "unknown pcapng savefile major version number %u", major);
            return false;
        }
        interfaces_.clear();
        return true;
    }

    bool add_interface(const Block& block) {
        if (block.size < pcapng::kInterfaceFixedLen) return refuse_short(block.type);
        Interface i{u16(block.body), 0, kMicrosecond, false, 0};
        const uint32_t snaplen = u32(block.body + 4);
        // libpcap takes a snapshot length of 0, or one past INT32_MAX, as its link type's largest.
        i.snapshot = snaplen == 0 || snaplen > INT32_MAX ? pcapng::largest_snapshot(i.linktype) : snaplen;
        bool saw_resolution = false, saw_offset = false;
        uint32_t at = pcapng::kInterfaceFixedLen;
        while (at < block.size) {
            if (block.size - at < 4) return refuse_short(block.type);
            const uint16_t code = u16(block.body + at), length = u16(block.body + at + 2);
            const uint32_t padded = (length + 3u) / 4 * 4;
            if (block.size - at - 4 < padded) return refuse_short(block.type);
            const uint8_t* value = block.body + at + 4;
            at += 4 + padded;
            if (code == pcapng::kEndOfOptions) {
                if (length != 0) {
                    std::snprintf(error_, sizeof error_,
                                  "Interface Description Block has opt_endofopt option with length %u != 0", length);
                    return false;
                }
                break;
            }
            if (code == pcapng::kTimeResolution) {
                if (length != 1) {
                    std::snprintf(error_, sizeof error_,
                                  "Interface Description Block has if_tsresol option with length %u != 1", length);
                    return false;
                }
                if (saw_resolution) {
                    std::snprintf(error_, sizeof error_,
                                  "Interface Description Block has more than one if_tsresol option");
                    return false;
                }
                saw_resolution = true;
                const uint8_t r = value[0];
                if (r & 0x80) {  // a negative power of 2
                    if ((r & 0x7F) > 63) {
                        std::snprintf(error_, sizeof error_,
                                      "Interface Description Block if_tsresol option resolution 2^-%u is too high",
                                      r & 0x7F);
                        return false;
                    }
                    i.binary = true;
                    i.resolution = uint64_t{1} << (r & 0x7F);
                } else {  // a negative power of 10
                    if (r > 19) {
                        std::snprintf(error_, sizeof error_,
                                      "Interface Description Block if_tsresol option resolution 10^-%u is too high", r);
                        return false;
                    }
                    i.binary = false;
                    i.resolution = 1;
                    for (uint8_t k = 0; k < r; ++k) i.resolution *= 10;
                }
            } else if (code == pcapng::kTimeOffset) {
                if (length != 8) {
                    std::snprintf(error_, sizeof error_,
                                  "Interface Description Block has if_tsoffset option with length %u != 8", length);
                    return false;
                }
                if (saw_offset) {
                    std::snprintf(error_, sizeof error_,
                                  "Interface Description Block has more than one if_tsoffset option");
                    return false;
                }
                saw_offset = true;
                i.offset = static_cast<int64_t>(u64(value));
            }
        }
        interfaces_.push_back(i);
        return true;
    }

    static constexpr uint64_t kMicrosecond = 1000000;
    static constexpr uint64_t kNanosecond = 1000000000;

    ByteWindow window_;
    uint32_t max_block_ = pcapng::kMaxBlockLen;
    bool swapped_ = false;
    std::vector<Interface> interfaces_;
    uint64_t block_start_ = 0;
    char error_[192] = {};
};

}  // namespace kavrel::capture
