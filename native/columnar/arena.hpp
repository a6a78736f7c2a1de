// Where column buffers are made. The heap by default; a SharedArena is an
// anonymous memory file (memfd) mapped once, in which a worker process builds
// its batches so that the process it hands the file to maps the very same
// bytes: nothing is copied, and a file without a name is left nowhere when
// either process dies.
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>

namespace kavrel::columnar {

// A source of 64-byte aligned blocks. Blocks are given back only when they are
// replaced by larger ones; the rest go when the arena does.
class Arena {
public:
    virtual ~Arena() = default;
    virtual void* allocate(std::size_t bytes) noexcept = 0;
    virtual void release(void* block, std::size_t bytes) noexcept = 0;
};

class SharedArena final : public Arena {
public:
    // Address space taken for the file at once: its pages exist only once written.
    static constexpr std::size_t kReserve = std::size_t{1} << 40;
    // The file grows in steps this large, ahead of the blocks handed out.
    static constexpr std::size_t kGrowStep = 64 << 20;
    static constexpr std::size_t kAlign = 64;

    // A new arena; nullptr (errno set) when the file or its mapping cannot be had.
    static std::shared_ptr<SharedArena> create() noexcept {
        const int fd = memfd_create("kavrel-rows", MFD_CLOEXEC);
        if (fd < 0) return nullptr;
        void* base = mmap(nullptr, kReserve, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_NORESERVE, fd, 0);
        if (base == MAP_FAILED) {
            const int err = errno;
            ::close(fd);
            errno = err;
            return nullptr;
        }
        std::shared_ptr<SharedArena> arena(new (std::nothrow) SharedArena(fd, static_cast<uint8_t*>(base)));
        if (!arena) {
            munmap(base, kReserve);
            ::close(fd);
            errno = ENOMEM;
        }
        return arena;
    }

    ~SharedArena() override {
        munmap(base_, kReserve);
        ::close(fd_);
    }

    void* allocate(std::size_t bytes) noexcept override {
        const std::size_t at = used_;
        const std::size_t size = (bytes + kAlign - 1) / kAlign * kAlign;
        if (size > kReserve - at) return nullptr;
        if (at + size > file_size_) {
            const std::size_t want = (at + size + kGrowStep - 1) / kGrowStep * kGrowStep;
            if (ftruncate(fd_, static_cast<off_t>(want)) != 0) return nullptr;
            file_size_ = want;
        }
        used_ = at + size;
        if (used_ > high_) high_ = used_;
        return base_ + at;
    }

    // The pages wholly inside a block no longer used go back to the system.
    void release(void* block, std::size_t bytes) noexcept override {
        const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        const std::size_t from = (static_cast<std::size_t>(static_cast<uint8_t*>(block) - base_) + page - 1) /
                                 page * page;
        const std::size_t to = (static_cast<std::size_t>(static_cast<uint8_t*>(block) - base_) + bytes) / page * page;
        if (to > from) {
            (void)fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(from),
                            static_cast<off_t>(to - from));
        }
    }

    // Every block handed out so far is free again: the file's pages, already there and
    // mapped, are written over by the next blocks. Only for a file no one reads any more.
    void reset() noexcept { used_ = 0; }

    int fd() const noexcept { return fd_; }
    const uint8_t* base() const noexcept { return base_; }
    // Bytes of the file in use: every block lies below.
    std::size_t used() const noexcept { return used_; }
    // The most it has held since it was made: about the memory its pages take.
    std::size_t high_water() const noexcept { return high_; }
    bool contains(const void* p) const noexcept {
        const auto* b = static_cast<const uint8_t*>(p);
        return b >= base_ && b < base_ + used_;
    }
    // Where `p` (inside a block) lies in the file.
    uint64_t offset_of(const void* p) const noexcept { return static_cast<uint64_t>(static_cast<const uint8_t*>(p) - base_); }

private:
    SharedArena(int fd, uint8_t* base) noexcept : fd_(fd), base_(base) {}

    int fd_;
    uint8_t* base_;
    std::size_t used_ = 0;
    std::size_t high_ = 0;
    std::size_t file_size_ = 0;
};

// Another process's file, mapped read-write for the owner to mend and read. Once
// unmapped (the last batch over it released), the file's number `memory` is sent
// to `giveback` (a datagram socket to the process that made the file, which may
// then write over it); a giveback that cannot be sent is dropped, and that
// process makes a new file.
class MappedShare {
public:
    // The first `length` bytes of `fd` (at most the whole file); nullptr (errno set)
    // when they cannot be mapped. `fd` and `giveback` stay the caller's.
    static std::shared_ptr<MappedShare> map(int fd, uint64_t length, int giveback = -1, uint64_t memory = 0) noexcept {
        const off_t file = lseek(fd, 0, SEEK_END);
        if (file < 0) return nullptr;
        const auto size = static_cast<std::size_t>(std::min<uint64_t>(length, static_cast<uint64_t>(file)));
        void* base = size ? mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0) : nullptr;
        if (base == MAP_FAILED) return nullptr;
        const int back = giveback >= 0 ? fcntl(giveback, F_DUPFD_CLOEXEC, 0) : -1;
        std::shared_ptr<MappedShare> m(new (std::nothrow) MappedShare(static_cast<uint8_t*>(base),
                                                                       size, back, memory));
        if (!m) {
            if (base) munmap(base, size);
            if (back >= 0) ::close(back);
            errno = ENOMEM;
        }
        return m;
    }
    ~MappedShare() {
        if (base_) munmap(base_, size_);
        if (giveback_ >= 0) {
            (void)::send(giveback_, &memory_, sizeof memory_, MSG_DONTWAIT | MSG_NOSIGNAL);
            ::close(giveback_);
        }
    }
    uint8_t* base() const noexcept { return base_; }
    std::size_t size() const noexcept { return size_; }

private:
    MappedShare(uint8_t* base, std::size_t size, int giveback, uint64_t memory) noexcept
        : base_(base), size_(size), giveback_(giveback), memory_(memory) {}
    uint8_t* base_;
    std::size_t size_;
    int giveback_;
    uint64_t memory_;
};

}  // namespace kavrel::columnar
