// Injects UDP/IPv4 frames on a device as fast as it can, or at a given rate,
// through a raw packet socket: the traffic of the live benchmark.
//   live_sender DEVICE COUNT RATE PORT   (RATE 0: flat out)
// Prints "<frames sent> <seconds>".
#include <arpa/inet.h>
#include <net/if.h>
#include <netpacket/packet.h>
#include <sys/socket.h>
#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr int kBatch = 64;
constexpr int kDestinations = 1024;
constexpr int kFrameLen = 60;

double now_s() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

// Ethernet, IPv4 (10.1.x.y, one of kDestinations), UDP to `port`, zero padding.
void make_frame(uint8_t* f, int i, uint16_t port) {
    std::memset(f, 0, kFrameLen);
    const uint8_t dst_mac[6] = {0x02, 0, 0, 0, 0, 0x01}, src_mac[6] = {0x02, 0, 0, 0, 0, 0x02};
    std::memcpy(f, dst_mac, 6);
    std::memcpy(f + 6, src_mac, 6);
    f[12] = 0x08;
    uint8_t* ip = f + 14;
    ip[0] = 0x45;
    const uint16_t total = htons(kFrameLen - 14);
    std::memcpy(ip + 2, &total, 2);
    ip[8] = 64;
    ip[9] = 17;
    const uint8_t src[4] = {10, 0, 0, 1}, dst[4] = {10, 1, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
    std::memcpy(ip + 12, src, 4);
    std::memcpy(ip + 16, dst, 4);
    uint8_t* udp = ip + 20;
    const uint16_t sport = htons(static_cast<uint16_t>(20000 + i)), dport = htons(port);
    const uint16_t ulen = htons(kFrameLen - 34);
    std::memcpy(udp, &sport, 2);
    std::memcpy(udp + 2, &dport, 2);
    std::memcpy(udp + 4, &ulen, 2);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s DEVICE COUNT RATE PORT\n", argv[0]);
        return 2;
    }
    const long count = std::atol(argv[2]);
    const double rate = std::atof(argv[3]);
    const uint16_t port = static_cast<uint16_t>(std::atoi(argv[4]));
    const int fd = socket(AF_PACKET, SOCK_RAW, 0);
    sockaddr_ll addr{};
    addr.sll_family = AF_PACKET;
    addr.sll_ifindex = static_cast<int>(if_nametoindex(argv[1]));
    if (fd < 0 || addr.sll_ifindex == 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    std::vector<uint8_t> frames(static_cast<std::size_t>(kDestinations) * kFrameLen);
    for (int i = 0; i < kDestinations; ++i) make_frame(&frames[static_cast<std::size_t>(i) * kFrameLen], i, port);
    mmsghdr msgs[kBatch];
    iovec iov[kBatch];
    long sent = 0;
    const double start = now_s();
    while (sent < count) {
        const int n = static_cast<int>(count - sent < kBatch ? count - sent : kBatch);
        for (int k = 0; k < n; ++k) {
            iov[k] = {&frames[static_cast<std::size_t>((sent + k) % kDestinations) * kFrameLen], kFrameLen};
            msgs[k] = {};
            msgs[k].msg_hdr.msg_iov = &iov[k];
            msgs[k].msg_hdr.msg_iovlen = 1;
        }
        const int done = sendmmsg(fd, msgs, static_cast<unsigned>(n), 0);
        if (done < 0) {
            std::perror("sendmmsg");
            return 1;
        }
        sent += done;
        if (rate > 0) {
            const double due = start + static_cast<double>(sent) / rate;
            while (now_s() < due) {
            }
        }
    }
    std::printf("%ld %.6f\n", sent, now_s() - start);
    return 0;
}
