// Serial port over a real pseudo-terminal pair: opening, line settings, the
// byte functions, a closed port and a device that goes away.
#include "uart.h"

#include "con.h"
#include "pty.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <termios.h>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

int sink_output(void* p, const char* text) {
    static_cast<std::vector<std::string>*>(p)->emplace_back(text);
    return 0;
}

// The framed log line of a function of this module.
std::string line(const char* level, const char* function, const std::string& text) {
    return std::string(level) + "-src/link/uart_posix.cpp-" + function + ": " + text;
}

struct UartTest : ::testing::Test {
    PtyPair pty;
    Uart uart;
    std::vector<std::string> log;

    void SetUp() override {
        ASSERT_TRUE(pty.ok());
        ASSERT_EQ(Uart_init(&uart), &uart);
        Con_set_cb_output(sink_output, &log);
    }
    void TearDown() override {
        Uart_close(&uart);
        Con_set_cb_output(nullptr, nullptr);
    }
    int open_pty(int baudrate = 115200, int byte_size = 8, int parity = 0, int stop_bits = 0) {
        return Uart_open(&uart, pty.slave_path().c_str(), baudrate, byte_size, parity, stop_bits);
    }
    // Receives up to n bytes, waiting for input through Uart_wait_readable
    // for at most t_ms of real time.
    Bytes receive(size_t n, int t_ms = 2000) {
        Bytes got;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(t_ms);
        while (got.size() < n && std::chrono::steady_clock::now() < deadline) {
            int b = Uart_receive_byte_nw(&uart);
            if (b >= 0)
                got.push_back((uint8_t)b);
            else if (Uart_wait_readable(&uart, 20) < 0)
                break;
        }
        return got;
    }
    termios line_settings() {
        termios t{};
        EXPECT_EQ(tcgetattr((int)uart.h_com, &t), 0);
        return t;
    }
};

TEST(UartInit, MarksThePortClosed) {
    Uart u;
    u.h_com = 3;
    u.is_lost = 1;
    EXPECT_EQ(Uart_init(&u), &u);
    EXPECT_EQ(u.h_com, UART_INVALID_HANDLE);
    EXPECT_EQ(Uart_is_lost(&u), 0);
    EXPECT_EQ(Uart_init(nullptr), nullptr);
}

TEST_F(UartTest, NullRecordGivesNeutralValuesWithoutLog) {
    const uint8_t b = 1;
    EXPECT_EQ(Uart_open(nullptr, pty.slave_path().c_str(), 115200, 8, 0, 0), 0);
    EXPECT_EQ(Uart_close(nullptr), 0);
    EXPECT_EQ(Uart_receive_byte_nw(nullptr), -1);
    EXPECT_EQ(Uart_send_byte(nullptr, 1), -1);
    EXPECT_EQ(Uart_send_with_dle(nullptr, 1, &b), 0x15);
    EXPECT_EQ(Uart_is_lost(nullptr), 0);
    EXPECT_EQ(Uart_wait_readable(nullptr, 0), -1);
    EXPECT_TRUE(log.empty());
}

TEST_F(UartTest, MissingPortFailsAndALaterOpenSucceeds) {
    EXPECT_EQ(Uart_open(&uart, "/dev/orvo-no-such-port", 115200, 8, 0, 0), 0);
    EXPECT_EQ(log, std::vector<std::string>{line(
                       "error", "Uart_open", "h_com == INVALID_HANDLE_VALUE; last_error=208x\n")});
    EXPECT_EQ(uart.last_error, (uint32_t)ENOENT);
    EXPECT_EQ(uart.h_com, UART_INVALID_HANDLE);

    log.clear();
    EXPECT_EQ(open_pty(), 1);
    EXPECT_EQ(log,
              std::vector<std::string>{line(
                  "info", "Uart_open", "setting " + pty.slave_path() + " to baudrate=115200\n")});
    EXPECT_NE(uart.h_com, UART_INVALID_HANDLE);
}

TEST_F(UartTest, OpeningAnOpenPortClosesItAndTheNextOpenSucceeds) {
    ASSERT_EQ(open_pty(), 1);
    log.clear();
    EXPECT_EQ(open_pty(), 0);
    EXPECT_EQ(log,
              std::vector<std::string>{line("error", "Uart_open", "uart is already opened\n")});
    EXPECT_EQ(uart.h_com, UART_INVALID_HANDLE);
    EXPECT_EQ(open_pty(), 1);
    EXPECT_EQ(Uart_send_byte(&uart, 0x5A), 0x5A);
    EXPECT_EQ(pty.read(1), Bytes{0x5A});
}

TEST_F(UartTest, SecondOpenerFailsLikeAPortInUse) {
    ASSERT_EQ(open_pty(), 1);
    Uart other;
    Uart_init(&other);
    log.clear();
    EXPECT_EQ(Uart_open(&other, pty.slave_path().c_str(), 115200, 8, 0, 0), 0);
    EXPECT_EQ(other.last_error, (uint32_t)EWOULDBLOCK);
    EXPECT_EQ(log, std::vector<std::string>{line(
                       "error", "Uart_open", "h_com == INVALID_HANDLE_VALUE; last_error=b08x\n")});
    EXPECT_EQ(other.h_com, UART_INVALID_HANDLE);

    // The first holder keeps a working port; once it lets go, the other gets it.
    EXPECT_EQ(Uart_send_byte(&uart, 0x11), 0x11);
    EXPECT_EQ(pty.read(1), Bytes{0x11});
    Uart_close(&uart);
    EXPECT_EQ(Uart_open(&other, pty.slave_path().c_str(), 115200, 8, 0, 0), 1);
    Uart_close(&other);
}

TEST_F(UartTest, DeviceThatIsNoTerminalFailsOnTheLineSettings) {
    EXPECT_EQ(Uart_open(&uart, "/dev/null", 115200, 8, 0, 0), 0);
    EXPECT_EQ(log, std::vector<std::string>{
                       line("error", "Uart_open", "GetCommState failed; last_error=1908x\n")});
    EXPECT_EQ(uart.last_error, (uint32_t)ENOTTY);
    EXPECT_EQ(uart.h_com, UART_INVALID_HANDLE);
}

// The pty driver itself keeps 8 data bits and clears PARENB whatever it is
// asked, so the parity and stop-bit codes are seen through PARODD, CMSPAR,
// CSTOPB and the parity check INPCK.
TEST_F(UartTest, LineSettingsFollowTheCodes) {
    struct Case {
        int baudrate, byte_size, parity, stop_bits;
        speed_t speed;
        tcflag_t cflag; // of PARODD | CMSPAR | CSTOPB
        bool checked;   // INPCK
    };
    const Case cases[] = {
        {115200, 8, 0, 0, B115200, 0, false},     {9600, 8, 1, 0, B9600, PARODD, true},
        {57600, 8, 2, 0, B57600, 0, true},        {115200, 8, 3, 0, B115200, PARODD | CMSPAR, true},
        {115200, 8, 4, 0, B115200, CMSPAR, true}, {115200, 8, 0, 2, B115200, CSTOPB, false},
        {115200, 7, 2, 2, B115200, CSTOPB, true}, {1200, 5, 0, 1, B1200, CSTOPB, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "baud " << c.baudrate << " size " << c.byte_size
                                        << " parity " << c.parity << " stop " << c.stop_bits);
        ASSERT_EQ(open_pty(c.baudrate, c.byte_size, c.parity, c.stop_bits), 1);
        termios t = line_settings();
        EXPECT_EQ(cfgetispeed(&t), c.speed);
        EXPECT_EQ(cfgetospeed(&t), c.speed);
        EXPECT_EQ(t.c_cflag & (PARODD | CMSPAR | CSTOPB), c.cflag);
        EXPECT_EQ((t.c_iflag & INPCK) != 0, c.checked);
        // Raw both ways, no flow control, reads that never wait.
        EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), (tcflag_t)(CLOCAL | CREAD));
        EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
        EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP | BRKINT | PARMRK),
                  0u);
        EXPECT_EQ(t.c_oflag & OPOST, 0u);
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
        EXPECT_EQ(t.c_cc[VMIN], 0);
        EXPECT_EQ(t.c_cc[VTIME], 0);
        Uart_close(&uart);
    }
}

TEST_F(UartTest, RefusedLineSettingsFailAndLeaveThePortClosed) {
    struct Case {
        int baudrate, byte_size, parity, stop_bits;
    };
    const Case cases[] = {
        {0, 8, 0, 0},                          // would hang up the line
        {12345, 8, 0, 0},                      // no such speed
        {115200, 4, 0, 0},                     // byte sizes 5..8
        {115200, 9, 0, 0},                     //
        {115200, 8, 5, 0},                     // parity codes 0..4
        {115200, 8, -1, 0}, {115200, 8, 0, 3}, // stop-bit codes 0..2
        {115200, 8, 0, 1},                     // one and a half only with 5 data bits
        {115200, 5, 0, 2},                     // two not with 5 data bits
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "baud " << c.baudrate << " size " << c.byte_size
                                        << " parity " << c.parity << " stop " << c.stop_bits);
        log.clear();
        EXPECT_EQ(open_pty(c.baudrate, c.byte_size, c.parity, c.stop_bits), 0);
        EXPECT_EQ(log, std::vector<std::string>{
                           line("error", "Uart_open", "SetCommState failed; last_error=1608x\n")});
        EXPECT_EQ(uart.h_com, UART_INVALID_HANDLE);
    }
    EXPECT_EQ(open_pty(), 1);
}

TEST_F(UartTest, ModemLineHandlingStaysAsThePortHadIt) {
    for (bool hupcl : {true, false}) {
        SCOPED_TRACE(hupcl ? "HUPCL set" : "HUPCL clear");
        // Settings made on the master are the slave's.
        termios t{};
        ASSERT_EQ(tcgetattr(pty.master_fd(), &t), 0);
        t.c_cflag = hupcl ? (t.c_cflag | HUPCL) : (t.c_cflag & ~HUPCL);
        ASSERT_EQ(tcsetattr(pty.master_fd(), TCSANOW, &t), 0);
        ASSERT_EQ(open_pty(), 1);
        EXPECT_EQ((line_settings().c_cflag & HUPCL) != 0, hupcl);
        Uart_close(&uart);
    }
}

TEST_F(UartTest, EveryByteValuePassesUnchangedBothWays) {
    ASSERT_EQ(open_pty(), 1);
    Bytes all(256);
    for (int i = 0; i < 256; ++i)
        all[i] = (uint8_t)i;

    ASSERT_TRUE(pty.write(all));
    EXPECT_EQ(receive(256), all);

    Bytes wire;
    for (uint8_t b : all) {
        wire.push_back(b);
        if (b == 0x10) wire.push_back(b);
    }
    EXPECT_EQ(Uart_send_with_dle(&uart, 256, all.data()), (int)0x80000000);
    EXPECT_EQ(pty.read(wire.size()), wire);
    EXPECT_TRUE(pty.read_until_quiet().empty());
}

TEST_F(UartTest, SilentLineGivesMinusOneAtOnceWithoutLog) {
    ASSERT_EQ(open_pty(), 1);
    log.clear();
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(Uart_receive_byte_nw(&uart), -1);
    EXPECT_EQ(Uart_wait_readable(&uart, 10), 0);
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(Uart_is_lost(&uart), 0);
}

TEST_F(UartTest, InputFromBeforeTheOpenIsDropped) {
    // The slave's default settings echo; take the echo off the master.
    ASSERT_TRUE(pty.write("stale", 5));
    pty.read_until_quiet();
    ASSERT_EQ(open_pty(), 1);
    EXPECT_EQ(Uart_wait_readable(&uart, 50), 0);
    EXPECT_EQ(Uart_receive_byte_nw(&uart), -1);
    ASSERT_TRUE(pty.write(Bytes{0x42}));
    EXPECT_EQ(receive(1), Bytes{0x42});
}

TEST_F(UartTest, WaitReadableReportsInput) {
    ASSERT_EQ(open_pty(), 1);
    ASSERT_TRUE(pty.write(Bytes{0x07}));
    EXPECT_EQ(Uart_wait_readable(&uart, 2000), 1);
    EXPECT_EQ(Uart_receive_byte_nw(&uart), 0x07);
}

TEST_F(UartTest, SendWithDleDoublesDleInOneBlock) {
    ASSERT_EQ(open_pty(), 1);
    const uint8_t msg[] = {0x01, 0x10, 0x02};
    EXPECT_EQ(Uart_send_with_dle(&uart, 3, msg), (int)0x80000000);
    EXPECT_EQ(pty.read(4), (Bytes{0x01, 0x10, 0x10, 0x02}));

    EXPECT_EQ(Uart_send_with_dle(&uart, 0, nullptr), (int)0x80000000);
    EXPECT_EQ(Uart_send_with_dle(&uart, -1, msg), 0x15);
    EXPECT_EQ(Uart_send_with_dle(&uart, 2, nullptr), 0x15);
    EXPECT_TRUE(pty.read_until_quiet().empty());
}

TEST_F(UartTest, SendByteSendsTheLowEightBits) {
    ASSERT_EQ(open_pty(), 1);
    EXPECT_EQ(Uart_send_byte(&uart, 0x1FF), 255);
    EXPECT_EQ(Uart_send_byte(&uart, 0x100), 0);
    EXPECT_EQ(pty.read(2), (Bytes{0xFF, 0x00}));
}

TEST_F(UartTest, ByteFunctionsOnAClosedPortLogEveryCall) {
    const uint8_t msg[] = {0x01};
    const std::string not_open_rx = line("error", "Uart_receive_byte_nw", "uart is not open\n");
    const std::string not_open_tx = line("error", "Uart_send_byte", "uart is not open\n");
    EXPECT_EQ(Uart_receive_byte_nw(&uart), -1);
    EXPECT_EQ(Uart_receive_byte_nw(&uart), -1);
    EXPECT_EQ(Uart_send_byte(&uart, 0x41), -1);
    EXPECT_EQ(log, (std::vector<std::string>{not_open_rx, not_open_rx, not_open_tx}));

    // The block write fails on the closed port, silently; so do the others.
    log.clear();
    EXPECT_EQ(Uart_send_with_dle(&uart, 1, msg), 0x15);
    EXPECT_EQ(Uart_send_with_dle(&uart, 0, msg), 0x15);
    EXPECT_EQ(Uart_wait_readable(&uart, 0), -1);
    EXPECT_EQ(Uart_close(&uart), 0);
    EXPECT_TRUE(log.empty());
}

TEST(UartDevicePath, ComNamesMapToTheEnvironmentOrTtyS) {
    setenv("ORVO_COM3", "/tmp/orvo-com3", 1);
    setenv("ORVO_COM4", "", 1);
    unsetenv("ORVO_COM1");
    unsetenv("ORVO_COM8");
    struct Case {
        const char* name;
        const char* path;
    };
    const Case cases[] = {
        {"COM1", "/dev/ttyS0"},
        {"COM8", "/dev/ttyS7"},
        {"COM3", "/tmp/orvo-com3"},
        {"COM4", "/dev/ttyS3"}, // empty counts as unset
        {"COM9", "COM9"},
        {"COM0", "COM0"},
        {"COM10", "COM10"},
        {"com1", "com1"},
        {"/dev/pts/7", "/dev/pts/7"},
    };
    for (const Case& c : cases) {
        char path[64] = "x";
        EXPECT_EQ(Uart_get_device_path(c.name, path, sizeof path), 1) << c.name;
        EXPECT_STREQ(path, c.path) << c.name;
    }
    char small[10] = "x";
    EXPECT_EQ(Uart_get_device_path("COM3", small, sizeof small), 0);
    EXPECT_STREQ(small, "");
    EXPECT_EQ(Uart_get_device_path(nullptr, small, sizeof small), 0);
    EXPECT_EQ(Uart_get_device_path("COM1", nullptr, 10), 0);
}

TEST_F(UartTest, ComNameOpensThePortItIsMappedTo) {
    setenv("ORVO_COM5", pty.slave_path().c_str(), 1);
    ASSERT_EQ(Uart_open(&uart, "COM5", 115200, 8, 0, 0), 1);
    EXPECT_EQ(log, std::vector<std::string>{
                       line("info", "Uart_open", "setting COM5 to baudrate=115200\n")});
    EXPECT_EQ(Uart_send_byte(&uart, 0x35), 0x35);
    EXPECT_EQ(pty.read(1), Bytes{0x35});
}

// The device goes away while the port is open: whichever call meets it first
// marks the port lost (one line), and every later byte function fails with
// the system's lines, at once.
TEST_F(UartTest, DeviceGoneWhileOpenFailsEveryCallAndHangsNothing) {
    const std::string read_failed =
        line("error", "Uart_receive_byte_nw", "ReadFile failed; Error=508x\n");
    const std::string write_failed =
        line("error", "Uart_send_byte", "WriteFile failed; Error=508x\n");
    // The portable part of the module keeps the port-lost line for both platforms.
    auto lost = [](const char* function) {
        return std::string("error-src/link/uart.cpp-") + function +
               ": port lost: the device hung up\n";
    };
    static const uint8_t msg[] = {0x10};
    struct Case {
        const char* first;
        int (*call)(Uart* p);
        int result;
        std::vector<std::string> first_log;
    };
    const Case cases[] = {
        {"Uart_send_byte",
         [](Uart* p) { return Uart_send_byte(p, 0x55); },
         -1,
         {lost("Uart_send_byte"), write_failed}},
        {"Uart_receive_byte_nw",
         Uart_receive_byte_nw,
         -1,
         {lost("Uart_receive_byte_nw"), read_failed}},
        {"Uart_send_with_dle",
         [](Uart* p) { return Uart_send_with_dle(p, 1, msg); },
         0x15,
         {lost("Uart_send_with_dle")}},
        {"Uart_wait_readable",
         [](Uart* p) { return Uart_wait_readable(p, 2000); },
         -1,
         {lost("Uart_wait_readable")}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.first);
        PtyPair device;
        ASSERT_TRUE(device.ok());
        ASSERT_EQ(Uart_open(&uart, device.slave_path().c_str(), 115200, 8, 0, 0), 1);
        device.close_master();
        log.clear();
        EXPECT_EQ(c.call(&uart), c.result);
        EXPECT_EQ(log, c.first_log);
        EXPECT_EQ(Uart_is_lost(&uart), 1);

        log.clear();
        EXPECT_EQ(Uart_receive_byte_nw(&uart), -1);
        EXPECT_EQ(Uart_send_byte(&uart, 0x55), -1);
        EXPECT_EQ(Uart_send_with_dle(&uart, 1, msg), 0x15);
        EXPECT_EQ(uart.last_error, (uint32_t)EIO);
        EXPECT_EQ(Uart_wait_readable(&uart, 1), -1);
        EXPECT_EQ(log, (std::vector<std::string>{read_failed, write_failed}));

        EXPECT_EQ(Uart_close(&uart), 0);
        EXPECT_EQ(Uart_is_lost(&uart), 0);
        EXPECT_EQ(uart.h_com, UART_INVALID_HANDLE);
    }
}

TEST_F(UartTest, PartnerThatReadsNothingFailsTheWriteInsteadOfBlocking) {
    ASSERT_EQ(open_pty(), 1);
    // More than the pty holds; the master never reads during the write.
    Bytes block(16384, 0x10);
    log.clear();
    EXPECT_EQ(Uart_send_with_dle(&uart, (int)block.size(), block.data()), 0x15);
    EXPECT_EQ(uart.last_error, (uint32_t)ETIMEDOUT);
    EXPECT_EQ(Uart_is_lost(&uart), 0);
    EXPECT_TRUE(log.empty());

    // Once the partner reads again, the port works.
    EXPECT_FALSE(pty.read_until_quiet().empty());
    EXPECT_EQ(Uart_send_byte(&uart, 0x42), 0x42);
    EXPECT_EQ(pty.read(1), Bytes{0x42});
}

} // namespace
