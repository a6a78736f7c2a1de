// libFuzzer target for kavrel's pcapng reader, against libpcap itself: the
// input is a whole file. Both read it; every frame must agree (lengths, time,
// bytes) and both must end the same way, with the same words, up to where
// libpcap refuses an interface whose link type or snapshot length differs from
// the first one's (which the walk reads on). The first input byte picks the
// mapped or the read(2) path.
#include "capture/pcapng.hpp"

#include <pcap/pcap.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using namespace kavrel::capture;

// A disagreement: says which, then stops.
#define check(ok)                                                          \
    do {                                                                   \
        if (!(ok)) {                                                       \
            std::fprintf(stderr, "fuzz_pcapng: check failed: %s\n", #ok); \
            std::abort();                                                  \
        }                                                                  \
    } while (0)

bool differing_interface(const char* text) {
    return std::strstr(text, "an interface has a type") || std::strstr(text, "an interface has a snapshot length");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 + 12) return 0;
    const bool mapped = data[0] & 1;
    data += 1;
    size -= 1;
    if (!pcapng::is_magic(data)) return 0;

    const int fd = memfd_create("capture", 0);
    if (fd < 0) return 0;
    if (write(fd, data, size) != static_cast<ssize_t>(size) || lseek(fd, 0, SEEK_SET) < 0) {
        close(fd);
        return 0;
    }
    int read_fd = fd;
    constexpr size_t kHead = 24;  // what a capture file's opener has read before it knows the format
    const size_t head = size < kHead ? size : kHead;
    if (!mapped) {
        int pipefd[2];
        if (size > 65536 || pipe(pipefd) != 0) {  // what a pipe holds without a reader
            close(fd);
            return 0;
        }
        check(write(pipefd[1], data + head, size - head) == static_cast<ssize_t>(size - head));
        close(pipefd[1]);
        read_fd = pipefd[0];
    }
    PcapngReader mine;
    const bool opened = mine.start(read_fd, data, mapped ? 0 : head);

    char errbuf[PCAP_ERRBUF_SIZE];
    FILE* fp = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    pcap_t* theirs = fp ? pcap_fopen_offline_with_tstamp_precision(fp, PCAP_TSTAMP_PRECISION_NANO, errbuf) : nullptr;
    if (!theirs) {
        if (fp) std::fclose(fp);
        // Refused alike, unless libpcap refused an interface the walk reads on.
        if (!differing_interface(errbuf)) check(!opened);
    } else {
        check(opened);
        for (;;) {
            Frame f;
            const ReadStatus s = mine.next(f);
            pcap_pkthdr* h;
            const u_char* bytes;
            const int rc = pcap_next_ex(theirs, &h, &bytes);
            if (rc == 1) {
                check(s == ReadStatus::frame);
                check(f.caplen == h->caplen && f.wire_len == h->len);
                check(f.epoch_sec == static_cast<int64_t>(h->ts.tv_sec) && f.frac_ns == h->ts.tv_usec);
                check(std::memcmp(f.data, bytes, f.caplen) == 0);
                continue;
            }
            if (rc == PCAP_ERROR_BREAK) {
                check(s == ReadStatus::end);
            } else if (!differing_interface(pcap_geterr(theirs))) {
                check(s == ReadStatus::damaged && std::strcmp(mine.error(), pcap_geterr(theirs)) == 0);
            }
            break;
        }
        pcap_close(theirs);
    }
    if (read_fd != fd) close(read_fd);
    close(fd);
    return 0;
}
