// The ceiling for the capture benchmarks: pcap_next_ex plus parse_packet over
// a whole file, no Python. Prints "<frames read> <frames decoded> <seconds>".
#include "../src/kavrel/core/base/packet_record.hpp"

#include <chrono>
#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CAPTURE\n", argv[0]);
        return 2;
    }
    char errbuf[PCAP_ERRBUF_SIZE];
    const auto start = std::chrono::steady_clock::now();
    pcap_t* handle = pcap_open_offline(argv[1], errbuf);
    if (!handle) {
        std::fprintf(stderr, "%s\n", errbuf);
        return 1;
    }
    kavrel::PacketRecord rec{};
    pcap_pkthdr* header;
    const u_char* bytes;
    unsigned long frames = 0, decoded = 0;
    while (pcap_next_ex(handle, &header, &bytes) == 1) {
        kavrel::parse_packet(header, bytes, &rec);
        ++frames;
        decoded += rec.success;
    }
    pcap_close(handle);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::printf("%lu %lu %.6f\n", frames, decoded, took.count());
    return 0;
}
