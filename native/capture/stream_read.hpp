// Reading a capture from a descriptor that may be a pipe or a terminal: a
// read there can wait for ever, so it waits in poll() in short steps and gives
// up once the reader is cancelled. A regular file is readable at once.
#pragma once

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>

namespace kavrel::capture {

// Set from any thread to make every read of a scan give up (ECANCELED).
using CancelFlag = std::atomic<bool>;

// How long a read waits before looking at its cancel flag again.
inline constexpr int kCancelLookMs = 50;

// read(2) of up to `n` bytes: the bytes read (0 at the end), or -1 with errno
// set (ECANCELED once `cancel` is set). EINTR is retried.
inline ssize_t read_some(int fd, void* buf, std::size_t n, const CancelFlag* cancel) noexcept {
    for (;;) {
        if (cancel) {
            if (cancel->load(std::memory_order_relaxed)) {
                errno = ECANCELED;
                return -1;
            }
            pollfd pfd{fd, POLLIN, 0};
            const int ready = ::poll(&pfd, 1, kCancelLookMs);
            if (ready == 0 || (ready < 0 && errno == EINTR)) continue;
            // Anything else (readable, hung up, an error) is for read() to say.
        }
        const ssize_t got = ::read(fd, buf, n);
        if (got < 0 && errno == EINTR) continue;
        return got;
    }
}

}  // namespace kavrel::capture
