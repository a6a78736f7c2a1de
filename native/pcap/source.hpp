// The libpcap side of a capture: opening a device or a file, waiting for
// traffic and reading frames. Plain C++: callers that hold an interpreter pass
// in how to wait and how to look for interruptions.
#pragma once

#include "capture/frame.hpp"

#include <pcap/pcap.h>
#include <poll.h>
#include <time.h>

#include <cerrno>
#include <cstdio>

namespace kavrel::pcap {

using capture::ReadStatus;

struct LiveOptions {
    int snaplen = 65535;
    bool promiscuous = true;
    int timeout_ms = 1000;
    int buffer_bytes = 0;  // 0: libpcap's default
    bool immediate = false;
    bool nanoseconds = false;  // time stamps in nanoseconds where the device has them
};

// Opens a device with pcap_create and pcap_activate, non-blocking so that
// waiting happens in wait_readable(). On failure returns nullptr with errbuf
// worded as pcap_open_live words it ("device: what went wrong"), `detail` the
// part after the device's name, and *status libpcap's code.
inline pcap_t* open_live(const char* device, const LiveOptions& opt, char* errbuf, int* status,
                         char* detail = nullptr) {
    char own_detail[PCAP_ERRBUF_SIZE];
    if (!detail) detail = own_detail;
    errbuf[0] = detail[0] = '\0';
    *status = PCAP_ERROR;
    pcap_t* handle = pcap_create(device, errbuf);
    if (!handle) {
        std::snprintf(detail, PCAP_ERRBUF_SIZE, "%s", errbuf);
        return nullptr;
    }
    int rc = pcap_set_snaplen(handle, opt.snaplen);
    if (rc == 0) rc = pcap_set_promisc(handle, opt.promiscuous ? 1 : 0);
    if (rc == 0) rc = pcap_set_timeout(handle, opt.timeout_ms);
    if (rc == 0 && opt.buffer_bytes > 0) rc = pcap_set_buffer_size(handle, opt.buffer_bytes);
    if (rc == 0 && opt.immediate) rc = pcap_set_immediate_mode(handle, 1);
    // Nanoseconds where the device has them; otherwise libpcap stays at microseconds.
    if (rc == 0 && opt.nanoseconds) (void)pcap_set_tstamp_precision(handle, PCAP_TSTAMP_PRECISION_NANO);
    if (rc == 0) rc = pcap_activate(handle);  // > 0 is a warning, not a failure
    if (rc < 0) {
        const char* said = pcap_geterr(handle);
        if (rc == PCAP_ERROR) {
            std::snprintf(detail, PCAP_ERRBUF_SIZE, "%s", said);
        } else if ((rc == PCAP_ERROR_NO_SUCH_DEVICE || rc == PCAP_ERROR_PERM_DENIED ||
                    rc == PCAP_ERROR_PROMISC_PERM_DENIED) && *said) {
            std::snprintf(detail, PCAP_ERRBUF_SIZE, "%s (%.*s)", pcap_statustostr(rc), PCAP_ERRBUF_SIZE - 6, said);
        } else {
            std::snprintf(detail, PCAP_ERRBUF_SIZE, "%s", pcap_statustostr(rc));
        }
        std::snprintf(errbuf, PCAP_ERRBUF_SIZE, "%s: %.*s", device, PCAP_ERRBUF_SIZE - 3, detail);
        *status = rc;
        pcap_close(handle);
        return nullptr;
    }
    if (pcap_setnonblock(handle, 1, errbuf) != 0) {
        std::snprintf(detail, PCAP_ERRBUF_SIZE, "%s", errbuf);
        pcap_close(handle);
        return nullptr;
    }
    *status = 0;
    return handle;
}

// Opens a capture file (or "-", standard input). On failure *os_errno is the
// system's reason, or 0 when the file opened but is not a capture libpcap reads.
inline pcap_t* open_offline(const char* path, char* errbuf, int* os_errno,
                            unsigned precision = PCAP_TSTAMP_PRECISION_MICRO) {
    errbuf[0] = '\0';
    errno = 0;
    pcap_t* handle = pcap_open_offline_with_tstamp_precision(path, precision, errbuf);
    *os_errno = handle ? 0 : errno;
    return handle;
}

// Waits until the capture descriptor is readable, `timeout_ms` passed or a
// signal arrived.
inline void wait_readable(pcap_t* handle, int timeout_ms) {
    const int fd = pcap_get_selectable_fd(handle);
    const timespec pause{0, 10'000'000};
    if (fd < 0) {
        nanosleep(&pause, nullptr);
        return;
    }
    pollfd pfd{fd, POLLIN, 0};
    if (poll(&pfd, 1, timeout_ms) > 0 && (pfd.revents & (POLLERR | POLLHUP | POLLNVAL))) {
        // libpcap reports the failure on the next read; do not spin meanwhile.
        nanosleep(&pause, nullptr);
    }
}

// How many refused frames go by between two looks at the caller's interruptions.
inline constexpr unsigned kInterruptCheckEvery = 4096;

// Reads frames until accept(header, bytes) takes one (ReadStatus::frame). When a
// (non-blocking, live) handle has nothing to read, hooks.wait(handle) waits for
// it; hooks.keep_going() is asked after every wait and every
// kInterruptCheckEvery refused frames. A libpcap failure is ReadStatus::failed,
// pcap_geterr() its text.
template <class Accept, class Hooks>
ReadStatus next_accepted(pcap_t* handle, Accept&& accept, Hooks& hooks) {
    unsigned refused = 0;
    for (;;) {
        pcap_pkthdr* header;
        const u_char* bytes;
        const int rc = pcap_next_ex(handle, &header, &bytes);
        if (rc == 1) {
            if (accept(*header, bytes)) return ReadStatus::frame;
            if (++refused % kInterruptCheckEvery == 0 && !hooks.keep_going()) return ReadStatus::interrupted;
        } else if (rc == 0) {
            hooks.wait(handle);
            if (!hooks.keep_going()) return ReadStatus::interrupted;
        } else if (rc == PCAP_ERROR_BREAK) {
            return ReadStatus::end;
        } else {
            return ReadStatus::failed;
        }
    }
}

}  // namespace kavrel::pcap
