// A read-only mapping of a capture file that cannot kill the process: when the
// kernel cannot deliver a page (the file shrank under the reader, or its
// device failed) the fault becomes a page of zeros and a flag the reader
// checks after each record, where SIGBUS would otherwise end the interpreter.
#pragma once

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <mutex>

namespace kavrel::capture {

namespace mapping_guard {

struct Slot {
    std::atomic<uintptr_t> begin{0};
    std::atomic<uintptr_t> end{0};
    std::atomic<uintptr_t> fault{0};  // first address that could not be read
};

inline constexpr int kSlots = 64;
inline Slot slots[kSlots];
inline struct sigaction previous;
inline std::mutex install_mutex;

inline void on_sigbus(int sig, siginfo_t* info, void* context) {
    const auto addr = reinterpret_cast<uintptr_t>(info->si_addr);
    if (info->si_code != SI_USER && info->si_code != SI_TKILL) {
        for (Slot& s : slots) {
            const uintptr_t begin = s.begin.load(std::memory_order_relaxed);
            if (begin && addr >= begin && addr < s.end.load(std::memory_order_relaxed)) {
                const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
                void* at = reinterpret_cast<void*>(addr & ~(page - 1));
                if (mmap(at, page, PROT_READ, MAP_FIXED | MAP_PRIVATE | MAP_ANONYMOUS, -1, 0) != MAP_FAILED) {
                    uintptr_t none = 0;
                    s.fault.compare_exchange_strong(none, addr, std::memory_order_relaxed);
                    return;
                }
            }
        }
    }
    // Not a page of ours: whoever handled SIGBUS before.
    if (previous.sa_flags & SA_SIGINFO) {
        previous.sa_sigaction(sig, info, context);
    } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
        previous.sa_handler(sig);
    } else {
        signal(SIGBUS, SIG_DFL);  // the fault happens again on return, and is fatal
    }
}

// Puts the handler in place, in front of whatever is there now.
inline void install() {
    std::lock_guard lock(install_mutex);
    struct sigaction now;
    if (sigaction(SIGBUS, nullptr, &now) == 0 && (now.sa_flags & SA_SIGINFO) && now.sa_sigaction == on_sigbus) return;
    struct sigaction mine{};
    mine.sa_sigaction = on_sigbus;
    mine.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&mine.sa_mask);
    sigaction(SIGBUS, &mine, &previous);
}

}  // namespace mapping_guard

class MappedFile {
public:
    MappedFile() = default;
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    ~MappedFile() { unmap(); }

    // Maps the first `size` bytes of `fd`; false (nothing mapped) when it cannot
    // be, and the caller reads the file instead.
    bool map(int fd, uint64_t size) noexcept {
        unmap();
        if (size == 0) return false;
        mapping_guard::install();
        mapping_guard::Slot* slot = nullptr;
        for (auto& s : mapping_guard::slots) {
            uintptr_t free_slot = 0;
            if (s.begin.load() == 0 && s.begin.compare_exchange_strong(free_slot, 1)) {
                slot = &s;
                break;
            }
        }
        if (!slot) return false;
        void* m = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
        if (m == MAP_FAILED) {
            slot->begin.store(0);
            return false;
        }
        madvise(m, size, MADV_SEQUENTIAL);
        data_ = static_cast<const uint8_t*>(m);
        size_ = size;
        slot_ = slot;
        slot->fault.store(0);
        slot->end.store(reinterpret_cast<uintptr_t>(data_) + size);
        slot->begin.store(reinterpret_cast<uintptr_t>(data_));
        return true;
    }

    // Gives back the pages wholly inside [from, to): read past, not needed again.
    // They stay in the page cache; only this mapping lets them go, so a long
    // file read through does not grow the process.
    void release(uint64_t from, uint64_t to) noexcept {
        if (!data_) return;
        const auto page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
        const uint64_t begin = (from + page - 1) / page * page, end = to / page * page;
        if (end > begin) madvise(const_cast<uint8_t*>(data_) + begin, end - begin, MADV_DONTNEED);
    }

    void unmap() noexcept {
        if (!data_) return;
        slot_->begin.store(0);
        slot_->end.store(0);
        munmap(const_cast<uint8_t*>(data_), size_);
        data_ = nullptr;
        size_ = 0;
        slot_ = nullptr;
    }

    const uint8_t* data() const noexcept { return data_; }
    uint64_t size() const noexcept { return size_; }
    bool mapped() const noexcept { return data_ != nullptr; }
    // Whether a page could not be read.
    bool faulted() const noexcept { return slot_ && slot_->fault.load(std::memory_order_relaxed) != 0; }

private:
    const uint8_t* data_ = nullptr;
    uint64_t size_ = 0;
    mapping_guard::Slot* slot_ = nullptr;
};

}  // namespace kavrel::capture
