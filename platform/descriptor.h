// The one owner of a file descriptor in the library: it closes what it
// holds when it goes, so that no path out of a function leaks one.
#pragma once

#include <utility>

#include <unistd.h>

namespace kx::platform {

class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(Descriptor &&other) noexcept : fd_(other.release()) {}
    Descriptor &operator=(Descriptor &&other) noexcept
    {
        reset(other.release());
        return *this;
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // Closes what it holds and takes `fd`.
    void reset(int fd = -1)
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = fd;
    }
    // Hands the descriptor over without closing it.
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

}  // namespace kx::platform
