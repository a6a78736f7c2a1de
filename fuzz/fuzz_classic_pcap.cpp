// libFuzzer target for kavrel's classic pcap reader, against libpcap itself:
// the input is a whole file. Both read it; every record must agree (lengths,
// time, bytes) and both must end the same way (clean end or damage). The
// first input byte picks the mapped or the read(2) path.
#include "capture/classic_pcap.hpp"

#include <pcap/pcap.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using namespace kavrel::capture;

void check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 + kFileHeaderLen) return 0;
    const bool mapped = data[0] & 1;
    data += 1;
    size -= 1;
    FileHeader header;
    const char* why = nullptr;
    if (!parse_file_header(data, header, why)) return 0;

    const int fd = memfd_create("capture", 0);
    if (fd < 0) return 0;
    if (write(fd, data, size) != static_cast<ssize_t>(size) || lseek(fd, kFileHeaderLen, SEEK_SET) < 0) {
        close(fd);
        return 0;
    }
    int read_fd = fd;
    if (!mapped) {
        // A pipe is read, not mapped: feed it from the file through a child-free copy.
        int pipefd[2];
        if (pipe(pipefd) != 0) {
            close(fd);
            return 0;
        }
        const size_t body = size - kFileHeaderLen;
        if (body > 65536) {  // what a pipe holds without a reader
            close(pipefd[0]);
            close(pipefd[1]);
            close(fd);
            return 0;
        }
        check(write(pipefd[1], data + kFileHeaderLen, body) == static_cast<ssize_t>(body));
        close(pipefd[1]);
        read_fd = pipefd[0];
    }
    ClassicPcapReader mine;
    check(mine.start(read_fd, header, kFileHeaderLen));

    char errbuf[PCAP_ERRBUF_SIZE];
    FILE* fp = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    pcap_t* theirs = fp ? pcap_fopen_offline_with_tstamp_precision(fp, PCAP_TSTAMP_PRECISION_NANO, errbuf) : nullptr;
    if (!theirs) {
        if (fp) std::fclose(fp);
    } else {
        for (;;) {
            Frame f;
            const ReadStatus s = mine.next(f);
            pcap_pkthdr* h;
            const u_char* bytes;
            const int rc = pcap_next_ex(theirs, &h, &bytes);
            if (rc == 1) {
                check(s == ReadStatus::frame);
                check(f.caplen == h->caplen && f.wire_len == h->len);
                check(static_cast<uint32_t>(f.epoch_sec) == static_cast<uint32_t>(h->ts.tv_sec) && f.frac_ns == h->ts.tv_usec);
                check(std::memcmp(f.data, bytes, f.caplen) == 0);
                continue;
            }
            check(rc == PCAP_ERROR_BREAK ? s == ReadStatus::end : s == ReadStatus::damaged);
            break;
        }
        pcap_close(theirs);
    }
    if (read_fd != fd) close(read_fd);
    close(fd);
    return 0;
}
