// libFuzzer target for the packet decoder. The input is a 8-byte prefix
// (caplen and wire length, little-endian 32-bit each) and the frame bytes.
// The frame is copied into a heap block of exactly caplen bytes, so any read
// past the captured bytes is caught by AddressSanitizer. One record is reused
// across inputs, as the capture loops reuse theirs.
#include "../src/kavrel/core/base/packet_record.hpp"

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {
kavrel::PacketRecord rec{};

uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 8) {
        kavrel::parse_packet(nullptr, data, &rec);  // a null header or frame is refused
        return 0;
    }
    const uint32_t avail = static_cast<uint32_t>(size - 8);
    const uint32_t caplen = le32(data) % (avail + 1);
    pcap_pkthdr header{};
    header.caplen = caplen;
    header.len = le32(data + 4);
    header.ts.tv_sec = static_cast<time_t>(le32(data)) * 31;
    header.ts.tv_usec = le32(data + 4) % 2000000;
    std::unique_ptr<uint8_t[]> frame(new uint8_t[caplen ? caplen : 1]);
    std::memcpy(frame.get(), data + 8, caplen);
    kavrel::parse_packet(&header, caplen ? frame.get() : nullptr, &rec);
    if (rec.success) {
        // A decoded frame always had its whole Ethernet and IP header captured.
        const uint32_t need = rec.version == 4 ? 34 : 54;
        if ((rec.version != 4 && rec.version != 6) || caplen < need || rec.frame_length != header.len) std::abort();
        if (rec.land && rec.version != 4) std::abort();
    }
    return 0;
}
