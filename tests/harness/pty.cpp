// Pseudo-terminal pair for tests: posix_openpt master, bounded reads from it.
#include "pty.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

PtyPair::PtyPair() {
    int fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return;
    const char* p_name = nullptr;
    if (grantpt(fd) != 0 || unlockpt(fd) != 0 || !(p_name = ptsname(fd))) {
        ::close(fd);
        return;
    }
    slave_path_ = p_name;
    // Reads below wait through poll, never in read itself.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    fd_master_ = fd;
}

PtyPair::~PtyPair() {
    close_master();
}

void PtyPair::close_master() {
    if (fd_master_ >= 0) ::close(fd_master_);
    fd_master_ = -1;
}

int PtyPair::open_slave() const {
    return ::open(slave_path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

std::vector<uint8_t> PtyPair::read(size_t n, int t_ms) {
    using clock = std::chrono::steady_clock;
    std::vector<uint8_t> got;
    if (fd_master_ < 0) return got;
    auto deadline = clock::now() + std::chrono::milliseconds(t_ms);
    while (got.size() < n) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
        if (left.count() < 0) break;
        pollfd pf{fd_master_, POLLIN, 0};
        int r = poll(&pf, 1, (int)left.count());
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        uint8_t buf[4096];
        size_t want = n - got.size() < sizeof buf ? n - got.size() : sizeof buf;
        ssize_t k = ::read(fd_master_, buf, want);
        if (k > 0) {
            got.insert(got.end(), buf, buf + k);
        } else if (k < 0 && (errno == EAGAIN || errno == EINTR)) {
            continue;
        } else {
            break; // EIO: no one holds the slave any more
        }
    }
    return got;
}

std::vector<uint8_t> PtyPair::read_until_quiet(int t_quiet_ms) {
    std::vector<uint8_t> got;
    for (;;) {
        std::vector<uint8_t> part = read(4096, t_quiet_ms);
        if (part.empty()) return got;
        got.insert(got.end(), part.begin(), part.end());
    }
}

bool PtyPair::write(const std::vector<uint8_t>& bytes) {
    return write(bytes.data(), bytes.size());
}

bool PtyPair::write(const void* p_bytes, size_t n) {
    if (fd_master_ < 0) return false;
    const auto* p = static_cast<const uint8_t*>(p_bytes);
    size_t n_done = 0;
    while (n_done < n) {
        ssize_t k = ::write(fd_master_, p + n_done, n - n_done);
        if (k > 0) {
            n_done += (size_t)k;
            continue;
        }
        if (k < 0 && errno == EINTR) continue;
        if (k < 0 && errno == EAGAIN) {
            pollfd pf{fd_master_, POLLOUT, 0};
            if (poll(&pf, 1, 2000) <= 0) return false;
            continue;
        }
        return false;
    }
    return true;
}
