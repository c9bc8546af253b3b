// Serial port on POSIX: a tty opened for this process alone, in raw mode with
// reads that never wait; writes wait for room in the driver, with a bound.
#include "uart.h"
#include "uart_platform.h"

#include "con.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/serial.h>
#endif

namespace {

struct BaudSpeed {
    int baudrate;
    speed_t speed;
};

const BaudSpeed k_bauds[] = {
    {50, B50},           {75, B75},         {110, B110},       {134, B134},     {150, B150},
    {200, B200},         {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
    {2400, B2400},       {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
    {57600, B57600},     {115200, B115200}, {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
#ifdef B2000000
    {2000000, B2000000},
#endif
#ifdef B3000000
    {3000000, B3000000},
#endif
#ifdef B4000000
    {4000000, B4000000},
#endif
};

bool baud_to_speed(int baudrate, speed_t* p_speed) {
    for (const BaudSpeed& b : k_bauds) {
        if (b.baudrate == baudrate) {
            *p_speed = b.speed;
            return true;
        }
    }
    return false;
}

int speed_to_baud(speed_t speed) {
    for (const BaudSpeed& b : k_bauds)
        if (b.speed == speed) return b.baudrate;
    return 0;
}

// The codes of the serial port's interface: byte size 5..8; parity none, odd,
// even, mark, space; stop bits one, one and a half (only with 5 data bits, as
// the UART gives it for CSTOPB there), two (not with 5 data bits).
bool make_line(termios* t, int baudrate, int byte_size, int parity, int stop_bits) {
    speed_t speed;
    if (!baud_to_speed(baudrate, &speed)) return false;
    tcflag_t size;
    switch (byte_size) {
    case 5:
        size = CS5;
        break;
    case 6:
        size = CS6;
        break;
    case 7:
        size = CS7;
        break;
    case 8:
        size = CS8;
        break;
    default:
        return false;
    }
    tcflag_t par;
    switch (parity) {
    case 0:
        par = 0;
        break;
    case 1:
        par = PARENB | PARODD;
        break;
    case 2:
        par = PARENB;
        break;
#ifdef CMSPAR
    case 3:
        par = PARENB | PARODD | CMSPAR;
        break;
    case 4:
        par = PARENB | CMSPAR;
        break;
#endif
    default:
        return false;
    }
    tcflag_t stop;
    if (stop_bits == 0)
        stop = 0;
    else if ((stop_bits == 1 && byte_size == 5) || (stop_bits == 2 && byte_size != 5))
        stop = CSTOPB;
    else
        return false;

    // Raw bytes both ways: no translation, no software or hardware flow
    // control, no signals or echo. Modem-line handling (HUPCL) stays as it was.
    t->c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                    IXANY | IGNPAR | INPCK);
    if (parity != 0) t->c_iflag |= INPCK;
    t->c_oflag &= ~OPOST;
    t->c_lflag &= ~(ECHO | ECHONL | ECHOE | ECHOK | ICANON | ISIG | IEXTEN);
    tcflag_t cleared = CSIZE | PARENB | PARODD | CSTOPB;
#ifdef CRTSCTS
    cleared |= CRTSCTS;
#endif
#ifdef CMSPAR
    cleared |= CMSPAR;
#endif
    t->c_cflag &= ~cleared;
    t->c_cflag |= CLOCAL | CREAD | size | par | stop;
    cfsetispeed(t, speed);
    cfsetospeed(t, speed);
    return true;
}

// Opens the device for this process alone. flock is what stops a second
// opener running as root, for whom TIOCEXCL does not count.
int open_exclusive(const char* path) {
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    ioctl(fd, TIOCEXCL);
    return fd;
}

// USB serial adapters otherwise hold received bytes for up to 16 ms, which
// each turnaround of the link would wait for. A driver may refuse.
void ask_low_latency(int fd) {
#if defined(__linux__) && defined(TIOCGSERIAL) && defined(ASYNC_LOW_LATENCY)
    serial_struct ss;
    if (ioctl(fd, TIOCGSERIAL, &ss) == 0 && !(ss.flags & ASYNC_LOW_LATENCY)) {
        ss.flags |= ASYNC_LOW_LATENCY;
        ioctl(fd, TIOCSSERIAL, &ss);
    }
#else
    (void)fd;
#endif
}

// A read gives nothing also when the device has gone; only poll tells.
bool hung_up(Uart* p, const char* name) {
    if (p->is_lost) return true;
    pollfd pf{(int)p->h_com, POLLIN, 0};
    if (poll(&pf, 1, 0) > 0 && (pf.revents & (POLLHUP | POLLERR | POLLNVAL))) {
        Uart_mark_lost(p, name);
        return true;
    }
    return false;
}

// How long a write may find no room in the driver before it fails: the time
// for the driver's buffer (4096 bytes) to drain at the line's speed, plus a
// margin. Bounded so that a stuck partner never blocks the caller for ever.
int write_stall_ms(int fd) {
    termios t;
    int baudrate = 0;
    if (tcgetattr(fd, &t) == 0) baudrate = speed_to_baud(cfgetospeed(&t));
    if (baudrate <= 0) baudrate = 9600;
    long long t_ms = 1000 + 4096LL * 10 * 1000 / baudrate;
    return t_ms > 60000 ? 60000 : (int)t_ms;
}

// Writes all n bytes, looping over partial writes. 1 on success; 0 with
// last_error set (ETIMEDOUT when no room came within the bound).
int write_all(Uart* p, const uint8_t* p_bytes, size_t n, const char* name) {
    int fd = (int)p->h_com;
    size_t n_done = 0;
    int err = 0;
    while (n_done < n) {
        ssize_t k = write(fd, p_bytes + n_done, n - n_done);
        if (k > 0) {
            n_done += (size_t)k;
            continue;
        }
        if (k < 0 && errno == EINTR) continue;
        if (k < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            err = errno;
            break;
        }
        pollfd pf{fd, POLLOUT, 0};
        int r = poll(&pf, 1, write_stall_ms(fd));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            err = errno;
            break;
        }
        if (r == 0) {
            err = ETIMEDOUT;
            break;
        }
        if ((pf.revents & (POLLHUP | POLLERR | POLLNVAL)) && !(pf.revents & POLLOUT)) {
            err = (pf.revents & POLLNVAL) ? EBADF : EIO;
            break;
        }
    }
    if (n_done == n) return 1;
    Uart_note_failure(p, (uint32_t)err, name);
    return 0;
}

} // namespace

int Uart_platform_error_is_lost(uint32_t err) {
    return err == EIO || err == ENXIO || err == ENODEV;
}

int Uart_get_device_path(const char* p_name, char* p_path, int m_path) {
    if (!p_path || m_path <= 0) return 0;
    p_path[0] = '\0';
    if (!p_name) return 0;
    const char* p_src = p_name;
    char default_path[16];
    if (std::strncmp(p_name, "COM", 3) == 0 && p_name[3] >= '1' && p_name[3] <= '8' &&
        p_name[4] == '\0') {
        char var[] = "ORVO_COMn";
        var[8] = p_name[3];
        const char* p_env = std::getenv(var);
        if (p_env && *p_env) {
            p_src = p_env;
        } else {
            std::snprintf(default_path, sizeof default_path, "/dev/ttyS%c", p_name[3] - 1);
            p_src = default_path;
        }
    }
    size_t l_src = std::strlen(p_src);
    if (l_src >= (size_t)m_path) return 0;
    std::memcpy(p_path, p_src, l_src + 1);
    return 1;
}

int Uart_open(Uart* p, const char* p_name, int baudrate, int byte_size, int parity, int stop_bits) {
    if (!p) return 0;
    termios t;
    int err = 0;
    if (p->h_com != UART_INVALID_HANDLE) {
        CON_LOG("error", "uart is already opened\n");
        goto failed;
    }
    {
        char path[PATH_MAX];
        int fd = -1;
        if (!Uart_get_device_path(p_name, path, sizeof path))
            errno = p_name ? ENAMETOOLONG : EFAULT;
        else
            fd = open_exclusive(path);
        if (fd < 0) {
            p->last_error = (uint32_t)errno;
            CON_LOG("error", "h_com == INVALID_HANDLE_VALUE; last_error=%0x08x\n", p->last_error);
            goto failed;
        }
        p->h_com = fd;
    }
    // Bytes that reached the line while nobody held it are stale.
    tcflush((int)p->h_com, TCIFLUSH);
    ask_low_latency((int)p->h_com);

    if (tcgetattr((int)p->h_com, &t) != 0) {
        p->last_error = (uint32_t)errno;
        CON_LOG("error", "GetCommState failed; last_error=%0x08x\n", p->last_error);
        goto failed;
    }
    if (!make_line(&t, baudrate, byte_size, parity, stop_bits))
        err = EINVAL;
    else if (tcsetattr((int)p->h_com, TCSANOW, &t) != 0)
        err = errno;
    if (err != 0) {
        p->last_error = (uint32_t)err;
        CON_LOG("error", "SetCommState failed; last_error=%0x08x\n", p->last_error);
        goto failed;
    }
    CON_LOG("info", "setting %s to baudrate=%d\n", p_name, baudrate);

    if (tcgetattr((int)p->h_com, &t) != 0) {
        p->last_error = (uint32_t)errno;
        CON_LOG("error", "GetCommTimeouts failed; last_error=%0x08x\n", p->last_error);
        goto failed;
    }
    // A read returns at once with what has arrived, possibly nothing.
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (tcsetattr((int)p->h_com, TCSANOW, &t) != 0) {
        p->last_error = (uint32_t)errno;
        CON_LOG("error", "SetCommTimeouts failed; last_error=%0x08x\n", p->last_error);
        goto failed;
    }
    return 1;

failed:
    Uart_close(p);
    return 0;
}

int Uart_close(Uart* p) {
    if (!p) return 0;
    if (p->h_com != UART_INVALID_HANDLE) {
        int fd = (int)p->h_com;
        // Exclusive mode outlives this descriptor on some ttys; leave the port
        // free for the next opener.
        ioctl(fd, TIOCNXCL);
        close(fd);
    }
    p->h_com = UART_INVALID_HANDLE;
    p->is_lost = 0;
    return 0;
}

int Uart_receive_byte_nw(Uart* p) {
    if (!p) return -1;
    if (p->h_com == UART_INVALID_HANDLE) {
        CON_LOG("error", "uart is not open\n");
        return -1;
    }
    uint8_t b;
    ssize_t k = read((int)p->h_com, &b, 1);
    if (k == 1) return b;
    int err = errno;
    if (k < 0 && err != EAGAIN && err != EWOULDBLOCK && err != EINTR) {
        Uart_note_failure(p, (uint32_t)err, __func__);
        CON_LOG("error", "ReadFile failed; Error=%0x08x\n", p->last_error);
        return -1;
    }
    if (hung_up(p, __func__)) {
        p->last_error = EIO;
        CON_LOG("error", "ReadFile failed; Error=%0x08x\n", p->last_error);
    }
    return -1;
}

int Uart_send_byte(Uart* p, int ch) {
    if (!p) return -1;
    if (p->h_com == UART_INVALID_HANDLE) {
        CON_LOG("error", "uart is not open\n");
        return -1;
    }
    uint8_t b = (uint8_t)(ch & 0xFF);
    if (!write_all(p, &b, 1, __func__)) {
        CON_LOG("error", "WriteFile failed; Error=%0x08x\n", p->last_error);
        return -1;
    }
    return b;
}

int Uart_send_with_dle(Uart* p, int n, const uint8_t* p_bytes) {
    if (!p) return UART_NAK;
    if (n < 0 || (n > 0 && !p_bytes)) {
        p->last_error = EINVAL;
        return UART_NAK;
    }
    // The write of a closed port fails, as it would on the invalid handle.
    if (p->h_com == UART_INVALID_HANDLE) {
        p->last_error = EBADF;
        return UART_NAK;
    }
    auto* p_buf = (uint8_t*)std::malloc(n > 0 ? 2 * (size_t)n : 1);
    if (!p_buf) {
        p->last_error = ENOMEM;
        return UART_NAK;
    }
    int l_buf = Uart_dle_double(n, p_bytes, p_buf);
    int ok = write_all(p, p_buf, (size_t)l_buf, __func__);
    std::free(p_buf);
    return ok ? UART_NO_BYTE : UART_NAK;
}

int Uart_wait_readable(Uart* p, int t_ms) {
    if (t_ms < 0) t_ms = 0;
    if (!p || p->h_com == UART_INVALID_HANDLE || p->is_lost) {
        if (t_ms > 0) poll(nullptr, 0, t_ms);
        return -1;
    }
    pollfd pf{(int)p->h_com, POLLIN, 0};
    int r = poll(&pf, 1, t_ms);
    if (r < 0) {
        if (errno == EINTR) return 0;
        p->last_error = (uint32_t)errno;
        return -1;
    }
    if (r == 0) return 0;
    // A hung-up tty also reports POLLIN for ever; the hang-up decides.
    if (pf.revents & (POLLHUP | POLLERR | POLLNVAL)) {
        Uart_mark_lost(p, __func__);
        return -1;
    }
    return 1;
}
