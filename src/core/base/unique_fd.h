#pragma once

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace quillan {

// Calls `fn` again for as long as it fails with EINTR; returns its last result.
template <class Fn>
auto retry_eintr(Fn fn) {
    for (;;) {
        auto rc = fn();
        if (rc != -1 || errno != EINTR) return rc;
    }
}

// Owns one file descriptor; -1 means empty.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

    // Gives up ownership without closing.
    int release() { return std::exchange(fd_, -1); }

    // Closes the descriptor held, if any, and takes `fd`. Don't retry close on EINTR: on Linux
    // the descriptor is gone either way, and a retry could close one another thread just got.
    void reset(int fd = -1) {
        int old = std::exchange(fd_, fd);
        if (old >= 0) {
            int saved = errno;
            ::close(old);
            errno = saved;
        }
    }

  private:
    int fd_ = -1;
};

}  // namespace quillan
