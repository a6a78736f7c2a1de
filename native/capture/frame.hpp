// One captured frame as every frame source hands it over.
#pragma once

#include <cstdint>

namespace kavrel::capture {

struct Frame {
    const uint8_t* data = nullptr;  // valid until the source's next read
    uint32_t caplen = 0;            // bytes captured
    uint32_t wire_len = 0;          // bytes on the wire
    int64_t epoch_sec = 0;          // a classic file's 32-bit field read as unsigned; pcapng's in full
    int64_t frac_ns = 0;            // the fraction, in nanoseconds, as libpcap's nanosecond reading gives it
    int linktype = -1;              // how its bytes begin: the link type of its file or interface

    // Nanoseconds since the epoch (files past 2038 and, in pcapng, past 2106); past 2262 it wraps.
    int64_t time_ns() const noexcept {
        return static_cast<int64_t>(static_cast<uint64_t>(epoch_sec) * 1'000'000'000u + static_cast<uint64_t>(frac_ns));
    }
    // The capture time as libpcap's microsecond reading gives it, taken as
    // signed 32-bit seconds and microseconds (the per-packet records' rule).
    int32_t micro_sec() const noexcept { return static_cast<int32_t>(epoch_sec); }
    int32_t micro_usec() const noexcept { return static_cast<int32_t>(frac_ns / 1000); }
    double seconds() const noexcept {
        return static_cast<double>(micro_usec()) / 1000000.0 + static_cast<double>(micro_sec());
    }
};

// How a read from a capture ended, for every reader of frames.
enum class ReadStatus : uint8_t {
    frame,        // `frame` holds the next frame
    end,          // the source ended cleanly (or libpcap's loop was broken)
    damaged,      // the file is cut short or holds an impossible record: the rest is unreadable
    failed,       // the system or libpcap refused a read (errno, or libpcap's text)
    interrupted,  // the caller's hooks said stop
};

}  // namespace kavrel::capture
