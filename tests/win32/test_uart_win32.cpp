// Serial port on Win32: failures without a device, and, when the run gives a
// COM port whose far end echoes every byte (ORVO_TEST_LOOPBACK_COM, set by
// ./run test --windows), the line settings, time-outs and bytes on the wire.
#include "uart.h"

#include "con.h"
#include "recording_window.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>
#include <windows.h>

namespace {

// The "%0x08x" of the log texts: the code in hexadecimal, then "08x".
std::string code_text(uint32_t code) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%x", (unsigned)code);
    return std::string(buf) + "08x";
}

const char k_file[] = "src/link/uart_win32.cpp";

std::string line(const char* function, const std::string& text) {
    return std::string("error-") + k_file + "-" + function + ": " + text;
}

TEST(UartWin32, OpeningAMissingPortFailsAndLeavesItClosed) {
    Uart u;
    ASSERT_EQ(Uart_init(&u), &u);
    LogCapture log;
    EXPECT_EQ(Uart_open(&u, "COM9", 115200, 8, 0, 0), 0);
    EXPECT_EQ(u.h_com, UART_INVALID_HANDLE);
    EXPECT_NE(u.last_error, 0u);
    EXPECT_EQ(log.count(line("Uart_open", "h_com == INVALID_HANDLE_VALUE; last_error=" +
                                              code_text(u.last_error))),
              1)
        << log.text();
}

TEST(UartWin32, ClosedPortAndNullRecord) {
    Uart u;
    Uart_init(&u);
    LogCapture log;
    EXPECT_EQ(Uart_receive_byte_nw(&u), -1);
    EXPECT_EQ(Uart_send_byte(&u, 0x41), -1);
    EXPECT_EQ(log.count(line("Uart_receive_byte_nw", "uart is not open")), 1);
    EXPECT_EQ(log.count(line("Uart_send_byte", "uart is not open")), 1);
    const uint8_t bytes[] = {1, 2};
    log.clear();
    EXPECT_EQ(Uart_send_with_dle(&u, 2, bytes), UART_NAK); // the write fails, no log
    EXPECT_EQ(Uart_wait_readable(&u, 1), -1);
    EXPECT_EQ(log.text(), "");
    EXPECT_EQ(Uart_close(&u), 0);

    EXPECT_EQ(Uart_init(nullptr), nullptr);
    EXPECT_EQ(Uart_open(nullptr, "COM1", 115200, 8, 0, 0), 0);
    EXPECT_EQ(Uart_receive_byte_nw(nullptr), -1);
    EXPECT_EQ(Uart_send_byte(nullptr, 1), -1);
    EXPECT_EQ(Uart_send_with_dle(nullptr, 2, bytes), UART_NAK);
    EXPECT_EQ(log.text(), "");
}

TEST(UartWin32, PortNamesGoToTheSystemUnchanged) {
    char path[32];
    EXPECT_EQ(Uart_get_device_path("COM3", path, sizeof path), 1);
    EXPECT_STREQ(path, "COM3");
    EXPECT_EQ(Uart_get_device_path("\\\\.\\COM12", path, sizeof path), 1);
    EXPECT_STREQ(path, "\\\\.\\COM12");
}

// A port whose far end sends every byte back.
struct LoopbackTest : ::testing::Test {
    Uart u;
    const char* port = nullptr;
    void SetUp() override {
        port = std::getenv("ORVO_TEST_LOOPBACK_COM");
        if (!port || !*port) GTEST_SKIP() << "no loopback port (ORVO_TEST_LOOPBACK_COM)";
        Uart_init(&u);
        ASSERT_EQ(Uart_open(&u, port, 115200, 8, 0, 0), 1);
    }
    void TearDown() override { Uart_close(&u); }

    // Bytes that come back within t_ms of real time.
    std::vector<uint8_t> receive(size_t n, int t_ms = 2000) {
        std::vector<uint8_t> got;
        DWORD t0 = GetTickCount();
        while (got.size() < n && GetTickCount() - t0 < (DWORD)t_ms) {
            int b = Uart_receive_byte_nw(&u);
            if (b >= 0)
                got.push_back((uint8_t)b);
            else
                Sleep(1);
        }
        return got;
    }
};

TEST_F(LoopbackTest, OpenSetsTheLineAndNonWaitingReads) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState((HANDLE)u.h_com, &dcb));
    EXPECT_EQ(dcb.BaudRate, 115200u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(dcb.fBinary, 1u);
    EXPECT_EQ(dcb.fParity, 0u);
    EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
    EXPECT_EQ(dcb.fOutX, 0u);
    EXPECT_EQ(dcb.fInX, 0u);
    COMMTIMEOUTS t{};
    ASSERT_TRUE(GetCommTimeouts((HANDLE)u.h_com, &t));
    EXPECT_EQ(t.ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 0u);

    // A silent line: nothing, no log, no wait for a byte.
    LogCapture log;
    EXPECT_EQ(Uart_receive_byte_nw(&u), -1);
    EXPECT_EQ(Uart_wait_readable(&u, 1), 0);
    EXPECT_EQ(log.text(), "");
}

TEST_F(LoopbackTest, WaitReadableTellsOfAByteThatArrived) {
    ASSERT_EQ(Uart_send_byte(&u, 0x5A), 0x5A);
    int r = 0;
    for (int i = 0; i < 2000 && r == 0; ++i)
        r = Uart_wait_readable(&u, 1);
    EXPECT_EQ(r, 1);
    EXPECT_EQ(Uart_wait_readable(&u, 1), 1); // still there until read
    EXPECT_EQ(receive(1), std::vector<uint8_t>{0x5A});
}

TEST_F(LoopbackTest, OpeningAnOpenPortClosesItAndTheNextOpenSucceeds) {
    LogCapture log;
    EXPECT_EQ(Uart_open(&u, port, 115200, 8, 0, 0), 0);
    EXPECT_EQ(log.count(line("Uart_open", "uart is already opened")), 1);
    EXPECT_EQ(u.h_com, UART_INVALID_HANDLE);
    EXPECT_EQ(Uart_open(&u, port, 115200, 8, 0, 0), 1);
    EXPECT_EQ(log.count_containing("info-src/link/uart_win32.cpp-Uart_open: setting " +
                                   std::string(port) + " to baudrate=115200"),
              1);
}

TEST_F(LoopbackTest, BytesGoOutAsGivenAndDleDoubled) {
    EXPECT_EQ(Uart_send_byte(&u, 0x1FF), 0xFF);
    EXPECT_EQ(receive(1), std::vector<uint8_t>{0xFF});

    const uint8_t bytes[] = {0x01, 0x10, 0x02};
    EXPECT_EQ(Uart_send_with_dle(&u, 3, bytes), UART_NO_BYTE);
    EXPECT_EQ(receive(4), (std::vector<uint8_t>{0x01, 0x10, 0x10, 0x02}));

    EXPECT_EQ(Uart_send_with_dle(&u, 0, bytes), UART_NO_BYTE);
    EXPECT_TRUE(receive(1, 100).empty());

    // A whole block of DLE: twice its length on the wire, in order.
    std::vector<uint8_t> block(256, 0x10);
    block[0] = 0x02;
    block[255] = 0x03;
    EXPECT_EQ(Uart_send_with_dle(&u, 256, block.data()), UART_NO_BYTE);
    std::vector<uint8_t> expected{0x02};
    expected.insert(expected.end(), 2 * 254, 0x10);
    expected.push_back(0x03);
    EXPECT_EQ(receive(expected.size()), expected);
}

} // namespace
