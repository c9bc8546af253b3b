// Wire tap: pty relay recording both directions, and the frame accounting of the 3964R link.
#include "bench_wire.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace {

const uint8_t kStx = 0x02, kEtx = 0x03, kDle = 0x10, kNak = 0x15;

int make_raw(int fd) {
    struct termios t;
    if (tcgetattr(fd, &t) != 0) return 0;
    cfmakeraw(&t);
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

// Writes all n bytes to a non-blocking fd, waiting when it is full.
void write_all(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        ssize_t k = write(fd, p, n);
        if (k > 0) {
            p += k;
            n -= (size_t)k;
        } else if (k < 0 && errno != EAGAIN && errno != EINTR) {
            return;
        } else {
            struct pollfd pfd = {fd, POLLOUT, 0};
            poll(&pfd, 1, 10);
        }
    }
}

void relay_loop(WireTap* p) {
    uint8_t buf[4096];
    while (!p->stop.load()) {
        struct pollfd pfd[2] = {{p->fd_master, POLLIN, 0}, {p->fd_dev, POLLIN, 0}};
        int r = poll(pfd, 2, 20);
        if (r <= 0) continue;
        for (int i = 0; i < 2; i++) {
            if (!(pfd[i].revents & POLLIN)) continue;
            ssize_t k = read(pfd[i].fd, buf, sizeof(buf));
            if (k <= 0) continue;
            struct timespec ts;
            clock_gettime(CLOCK_MONOTONIC, &ts);
            int64_t t_us = (int64_t)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
            for (ssize_t j = 0; j < k; j++)
                p->bytes.push_back(WireByte{(uint8_t)i, buf[j], t_us});
            write_all(i == 0 ? p->fd_dev : p->fd_master, buf, (size_t)k);
        }
    }
}

} // namespace

int WireTap_start(WireTap* p, const std::string& dev_path) {
    p->fd_master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (p->fd_master < 0 || grantpt(p->fd_master) != 0 || unlockpt(p->fd_master) != 0) return 0;
    const char* name = ptsname(p->fd_master);
    if (name == nullptr) return 0;
    p->slave_path = name;
    p->fd_slave_hold = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    p->fd_dev = open(dev_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (p->fd_slave_hold < 0 || p->fd_dev < 0) return 0;
    if (!make_raw(p->fd_slave_hold) || !make_raw(p->fd_dev)) return 0;
    p->stop = false;
    p->relay = std::thread(relay_loop, p);
    return 1;
}

void WireTap_stop(WireTap* p) {
    p->stop = true;
    if (p->relay.joinable()) p->relay.join();
    for (int* fd : {&p->fd_master, &p->fd_slave_hold, &p->fd_dev}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
}

WireCount Wire_count(const std::vector<WireByte>& bytes) {
    WireCount c = {};
    enum { IDLE, WAIT_ACK, DATA, DATA_DLE, BCC, WAIT_FINAL } st = IDLE;
    int sender = 0;
    int64_t n_frame = 0;   // bytes of the frame under way
    int64_t n_payload = 0; // its message bytes
    int64_t n_doubled = 0;
    bool stx_waiting[2] = {false, false}; // a start request not yet answered
    for (const WireByte& w : bytes) {
        c.n_total_bytes[w.dir]++;
        int other = 1 - w.dir;
        switch (st) {
        case IDLE:
        case WAIT_ACK:
            if (w.b == kStx) {
                // A second start request of the same side: the first went unanswered.
                if (stx_waiting[w.dir]) c.n_extra_bytes++;
                stx_waiting[w.dir] = true;
                st = WAIT_ACK;
            } else if (w.b == kDle && stx_waiting[other]) {
                // The partner accepts: the frame of "other" begins. A start
                // request of the acknowledging side lost the collision.
                if (stx_waiting[w.dir]) c.n_extra_bytes++;
                stx_waiting[0] = stx_waiting[1] = false;
                sender = other;
                n_frame = 2;
                n_payload = 0;
                n_doubled = 0;
                st = DATA;
            } else if (w.b == kNak && stx_waiting[other]) {
                stx_waiting[other] = false;
                c.n_extra_bytes += 2;
                st = stx_waiting[w.dir] ? WAIT_ACK : IDLE;
            } else {
                c.n_extra_bytes++;
            }
            break;
        case DATA:
        case DATA_DLE:
        case BCC:
            if (w.dir != sender) {
                // The receiver breaks off (NAK) or talks over the frame.
                c.n_extra_bytes += 1;
                if (w.b == kNak) {
                    c.n_extra_bytes += n_frame;
                    st = IDLE;
                }
                break;
            }
            n_frame++;
            if (st == BCC) {
                st = WAIT_FINAL;
            } else if (st == DATA_DLE) {
                if (w.b == kDle) {
                    n_payload++;
                    n_doubled++;
                    st = DATA;
                } else if (w.b == kEtx) {
                    st = BCC;
                } else {
                    st = DATA; // not a valid frame; the receiver will say so
                }
            } else if (w.b == kDle) {
                st = DATA_DLE;
            } else {
                n_payload++;
            }
            break;
        case WAIT_FINAL:
            if (w.dir == sender) {
                c.n_extra_bytes++;
            } else if (w.b == kDle) {
                c.n_frame_bytes += n_frame + 1;
                c.n_frames[sender]++;
                c.n_payload[sender] += n_payload;
                c.n_doubled[sender] += n_doubled;
                st = IDLE;
            } else {
                c.n_extra_bytes += n_frame + 1;
                st = w.b == kStx ? WAIT_ACK : IDLE;
                if (w.b == kStx) stx_waiting[w.dir] = true;
            }
            break;
        }
    }
    if (st != IDLE) c.n_extra_bytes += n_frame;
    return c;
}
