// The simulated device's line: pty, pacing, link callbacks and link faults.
#include "devwire.h"

#include "devmodel.h"

#include "con.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Output that nobody takes for this long is dropped, as on a wire with no listener.
constexpr int64_t k_out_stuck_us = 2000000;
// Paced bytes are handed over in batches of about this much line time.
constexpr int64_t k_batch_us = 1000;
// A link request waits in requests at most this many deep; more wait in the link.
constexpr size_t k_m_requests = 4;

bool stopping(const DevWire* w) {
    return w->p_stop && *w->p_stop;
}

// Reads everything the host has written so far into the input queue.
void read_input(DevWire* w, int64_t now) {
    uint8_t buf[4096];
    for (;;) {
        ssize_t k = ::read(w->fd_master, buf, sizeof buf);
        if (k > 0) {
            for (ssize_t i = 0; i < k; i++) {
                int64_t t = std::max(now, w->t_in_last_us) + w->byte_us;
                w->t_in_last_us = t;
                w->in.push_back({t, buf[i]});
            }
            w->t_line_us = now;
            if ((size_t)k < sizeof buf) return;
            continue;
        }
        if (k < 0 && errno == EINTR) continue;
        return; // EAGAIN: nothing more; EIO cannot happen while we hold the slave
    }
}

// Writes the queued output whose release time has come.
void write_output(DevWire* w, int64_t now) {
    uint8_t buf[4096];
    while (!w->out.empty() && w->out.front().t_us <= now) {
        size_t n = 0;
        while (n < sizeof buf && n < w->out.size() && w->out[n].t_us <= now) {
            buf[n] = w->out[n].b;
            n++;
        }
        ssize_t k = ::write(w->fd_master, buf, n);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) {
            if (w->t_out_stuck_us < 0) w->t_out_stuck_us = now;
            if (now - w->t_out_stuck_us >= k_out_stuck_us) {
                if (!w->out_dropped_logged)
                    CON_LOG("warning", "nobody reads the line: %d bytes dropped\n",
                            (int)w->out.size());
                w->out_dropped_logged = true;
                w->out.clear();
                w->t_out_stuck_us = -1;
            }
            return;
        }
        w->t_out_stuck_us = -1;
        w->out_dropped_logged = false;
        w->t_line_us = now;
        if (w->p_trace)
            for (ssize_t i = 0; i < k; i++)
                std::fprintf(w->p_trace, "%lld.%03lld > %02x\n", (long long)(now / 1000),
                             (long long)(now % 1000), buf[i]);
        w->out.erase(w->out.begin(), w->out.begin() + k);
    }
}

// When to wake for a queue sorted by time: at its first byte after now, but
// gathering up to one batch of line time, and never after its last byte.
int64_t batch_wake(const std::deque<DevTimed>& q, int64_t now) {
    auto it = std::upper_bound(q.begin(), q.end(), now,
                               [](int64_t t, const DevTimed& d) { return t < d.t_us; });
    if (it == q.end()) return INT64_MAX;
    return std::min(q.back().t_us, std::max(it->t_us, now + k_batch_us));
}

void queue_out(DevWire* w, uint8_t b) {
    int64_t now = DevWire_now_us();
    int64_t t = std::max(now, w->t_out_last_us) + w->byte_us;
    w->t_out_last_us = t;
    w->out.push_back({t, b});
}

// Sends what was queued: unpaced at once, paced when its line time has passed.
void send_queued(DevWire* w) {
    write_output(w, DevWire_now_us());
    while (w->byte_us > 0 && !w->out.empty() && !stopping(w)) {
        DevWire_wait(w, w->out.back().t_us, false);
    }
}

int32_t cb_now(void*) {
    return (int32_t)(uint32_t)(DevWire_now_us() / 1000);
}

int32_t cb_plus_ms(void*, int32_t t, int32_t t_ms) {
    return (int32_t)((uint32_t)t + (uint32_t)t_ms);
}

int32_t cb_sleep(void* p_time, int32_t) {
    auto* w = static_cast<DevWire*>(p_time);
    if (stopping(w)) throw DevStop();
    int64_t now = DevWire_now_us();
    if (w->idle_exit_us > 0 && now - w->t_line_us >= w->idle_exit_us) throw DevStop();
    // A request waiting in the inbound slot moves on, so the link can take the next one.
    DevWire_take_requests(w);
    int64_t now_ms = now / 1000;
    int32_t d = (int32_t)((uint32_t)w->co.t_timeout - (uint32_t)now_ms);
    if (d < 0) d = 0;
    int64_t until = (now_ms + d + 1) * 1000;
    if (w->idle_exit_us > 0) until = std::min(until, w->t_line_us + w->idle_exit_us);
    DevWire_wait(w, until, w->co.state != CO3964_ST_RX_BUSY);
    return 1;
}

int32_t cb_receive(void* p_uart) {
    auto* w = static_cast<DevWire*>(p_uart);
    int64_t now = DevWire_now_us();
    // Silence starts the moment the last answer is through: what follows at once
    // (often the host's next start request) already finds a dead line.
    if (w->mute_when_idle && w->replies_pending == 0 && w->co.ob_state != 2 &&
        w->co.state == CO3964_ST_IDLE)
        w->muted = true;
    if (w->muted) {
        DevWire_discard_input(w);
        return -1;
    }
    if (w->in.empty()) read_input(w, now);
    if (w->in.empty() || w->in.front().t_us > now) return -1;
    uint8_t b = w->in.front().b;
    int64_t t_arrived = w->in.front().t_us;
    w->in.pop_front();
    if (w->p_trace)
        std::fprintf(w->p_trace, "%lld.%03lld < %02x state %d\n", (long long)(now / 1000),
                     (long long)(now % 1000), b, (int)w->co.state);
    // Only where the link expects a control character is 0x15 a NAK, not data.
    const int32_t state = w->co.state;
    if (b == CO3964_NAK && (state == CO3964_ST_IDLE || state == CO3964_ST_TX_WAIT_ACK ||
                            state == CO3964_ST_TX_WAIT_FINAL))
        w->n_naks_received++;
    if (b == CO3964_DLE && state == CO3964_ST_TX_WAIT_FINAL) w->t_delivered_us = now;
    // The host's first byte sent after our stray byte may be its NAK to it.
    bool answers_stray = false;
    if (w->t_stray_us >= 0 && t_arrived > w->t_stray_us) {
        answers_stray = b == CO3964_NAK;
        w->t_stray_us = -1;
    }
    if (state == CO3964_ST_TX_WAIT_ACK && w->start_open) {
        w->start_open = false;
        if (b == CO3964_DLE)
            w->n_starts_accepted++;
        else if (b == CO3964_STX)
            w->n_starts_yielded++;
        else if (b == CO3964_NAK && !answers_stray)
            w->n_starts_refused++;
        else
            w->n_starts_disturbed++;
    }
    if (b == CO3964_STX && (state == CO3964_ST_IDLE || state == CO3964_ST_TX_WAIT_ACK ||
                            state == CO3964_ST_TX_WAIT_QUIET)) {
        if (w->last_in_failed) w->n_retries_host++;
        w->last_in_failed = false;
    }
    return b;
}

int32_t cb_send_byte(void* p_uart, int32_t ch) {
    auto* w = static_cast<DevWire*>(p_uart);
    const int32_t state = w->co.state;
    uint8_t b = (uint8_t)ch;
    // In the block state this byte is the tail (DLE, ETX, BCC), and a BCC may be 0x15.
    if (b == CO3964_NAK && state != CO3964_ST_TX_BLOCK) {
        w->n_naks_sent++;
        if (state == CO3964_ST_RX_REFUSE || state == CO3964_ST_RX_BUSY) w->last_in_failed = true;
    }
    if (state == CO3964_ST_RX_COMPLETE && b == CO3964_DLE) {
        int k = w->faults.lose_final_dle_every;
        if (k > 0 && ++w->n_final_dle_sent % k == 0) {
            w->n_final_dle_lost++;
            w->last_in_failed = true;
            return b; // lost on the wire
        }
    }
    if (state == CO3964_ST_TX_BLOCK && ++w->n_tail == 3 && w->corrupt_this) {
        b ^= (uint8_t)(1 + Dev_next_rand(&w->rng) % 255);
        w->n_bad_bcc++;
    }
    if (state == CO3964_ST_TX_STX && w->co.n_connect_try > 1) w->n_retries_dev++;
    // A start request still open when the next one (or the give-up NAK) goes
    // out had no answer within the acknowledgement delay.
    bool starts = state == CO3964_ST_TX_STX && b == CO3964_STX;
    bool gives_up = state == CO3964_ST_TX_REPEAT_STX && b == CO3964_NAK;
    if ((starts || gives_up) && w->start_open) w->n_starts_unanswered++;
    if (gives_up) w->start_open = false;
    if (starts) {
        w->n_starts++;
        w->start_open = true;
    }
    queue_out(w, b);
    send_queued(w);
    return b;
}

int32_t cb_send_with_dle(void* p_uart, int32_t n, const uint8_t* p_bytes) {
    auto* w = static_cast<DevWire*>(p_uart);
    w->n_frames_out++;
    int k = w->faults.bad_bcc_every;
    w->corrupt_this = k > 0 && w->n_frames_out % k == 0;
    w->n_tail = 0;
    if (w->co.n_tx_try > 1) w->n_retries_dev++;
    for (int32_t i = 0; i < n; i++) {
        queue_out(w, p_bytes[i]);
        if (p_bytes[i] == CO3964_DLE) queue_out(w, CO3964_DLE);
    }
    send_queued(w);
    return CO3964_NO_BYTE;
}

int32_t cb_ib_check(void* p_ib_check, int32_t, const uint8_t*) {
    auto* w = static_cast<DevWire*>(p_ib_check);
    w->n_frames_in++;
    w->t_frame_in_us = DevWire_now_us();
    return w->n_frames_in <= w->faults.nak_first ? 0 : 1;
}

} // namespace

int64_t DevWire_now_us() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

bool DevWire_open(DevWire* w, std::string* p_path, std::string* p_err) {
    int fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    const char* p_name = nullptr;
    if (fd < 0 || grantpt(fd) != 0 || unlockpt(fd) != 0 || !(p_name = ptsname(fd))) {
        *p_err = std::string("cannot create a pseudo-terminal: ") + strerror(errno);
        if (fd >= 0) ::close(fd);
        return false;
    }
    *p_path = p_name;
    int fd_slave = ::open(p_name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_slave < 0) {
        *p_err = std::string("cannot open ") + p_name + ": " + strerror(errno);
        ::close(fd);
        return false;
    }
    // Raw from the start: no echo of the host's bytes, no line editing.
    termios t;
    if (tcgetattr(fd_slave, &t) == 0) {
        cfmakeraw(&t);
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = 0;
        tcsetattr(fd_slave, TCSANOW, &t);
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    w->fd_master = fd;
    w->fd_slave = fd_slave;
    w->t_line_us = DevWire_now_us();
    return true;
}

void DevWire_close(DevWire* w) {
    if (w->fd_master >= 0) ::close(w->fd_master);
    if (w->fd_slave >= 0) ::close(w->fd_slave);
    w->fd_master = w->fd_slave = -1;
}

void DevWire_init_link(DevWire* w) {
    Co3964_init_ex(&w->co, w, cb_now, cb_plus_ms, cb_sleep, w, cb_receive, cb_send_byte,
                   cb_send_with_dle, w, cb_ib_check, RMC_SLAVE_M_MSG, w->ib, RMC_SLAVE_M_MSG, w->ob,
                   1, 0);
    RmcSlave_init(&w->slave, &w->co);
    w->rng = w->faults.seed ^ 0x85EBCA6Bu;
    if (w->rng == 0) w->rng = 1;
}

void DevWire_wait(DevWire* w, int64_t t_until_us, bool for_input) {
    int64_t now = DevWire_now_us();
    read_input(w, now);
    write_output(w, now);
    if (stopping(w)) return;
    // A byte that has arrived meanwhile is for the caller to take now.
    if (for_input && !w->in.empty() && w->in.front().t_us <= now) return;
    int64_t wake = t_until_us;
    bool out_stuck = !w->out.empty() && w->out.front().t_us <= now;
    if (!w->out.empty() && !out_stuck) wake = std::min(wake, batch_wake(w->out, now));
    if (out_stuck) wake = std::min(wake, w->t_out_stuck_us + k_out_stuck_us);
    if (for_input) wake = std::min(wake, batch_wake(w->in, now));
    if (wake <= now) return;
    pollfd pf[2] = {{w->fd_master, (short)(POLLIN | (out_stuck ? POLLOUT : 0)), 0},
                    {w->fd_wake, POLLIN, 0}};
    int64_t dt = wake - now;
    timespec ts{(time_t)(dt / 1000000), (long)(dt % 1000000) * 1000};
    int r = ppoll(pf, w->fd_wake >= 0 ? 2 : 1, &ts, nullptr);
    if (r > 0 && (pf[0].revents & (POLLHUP | POLLERR | POLLNVAL)) && !(pf[0].revents & POLLIN)) {
        // Not expected while we hold the slave; never turn it into a spin.
        int64_t left = wake - DevWire_now_us();
        if (left > 0) {
            timespec t2{(time_t)(left / 1000000), (long)(left % 1000000) * 1000};
            nanosleep(&t2, nullptr);
        }
    }
    now = DevWire_now_us();
    read_input(w, now);
    write_output(w, now);
}

void DevWire_take_requests(DevWire* w) {
    while (w->requests.size() < k_m_requests && RmcSlave_take_request(&w->slave) >= 0)
        w->requests.push_back(
            {std::vector<uint8_t>(w->slave.req, w->slave.req + w->slave.n_req), w->t_frame_in_us});
}

void DevWire_send_stray(DevWire* w) {
    uint8_t b;
    do {
        b = (uint8_t)Dev_next_rand(&w->rng);
    } while (b == CO3964_STX || b == CO3964_DLE || b == CO3964_NAK);
    queue_out(w, b);
    w->t_stray_us = w->t_out_last_us;
    w->n_stray++;
    send_queued(w);
}

void DevWire_discard_input(DevWire* w) {
    read_input(w, DevWire_now_us());
    w->in.clear();
    w->requests.clear();
}

void DevWire_drain(DevWire* w, int t_max_ms) {
    // At the end the line's pace no longer matters: hand over what is left.
    int64_t end = DevWire_now_us() + (int64_t)t_max_ms * 1000;
    while (!w->out.empty()) {
        int64_t before = (int64_t)w->out.size();
        write_output(w, INT64_MAX);
        if (w->out.empty() || DevWire_now_us() >= end) return;
        if ((int64_t)w->out.size() == before) {
            pollfd pf{w->fd_master, POLLOUT, 0};
            int64_t left_ms = (end - DevWire_now_us()) / 1000;
            if (poll(&pf, 1, (int)std::max<int64_t>(left_ms, 1)) <= 0) return;
        }
    }
}
