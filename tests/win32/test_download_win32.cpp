// The whole download through the Win32 serial port, against the simulated
// device on the COM port that the run names in ORVO_TEST_DEVICE_COM (the run
// then compares the device's flash with the application image).
#include "download.h"
#include "root.h"

#include "con.h"
#include "fsv.h"
#include "recording_window.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

TEST(DownloadWin32, ApplicationReachesTheDeviceOverTheComPort) {
    const char* port = std::getenv("ORVO_TEST_DEVICE_COM");
    if (!port || !*port) GTEST_SKIP() << "no device port (ORVO_TEST_DEVICE_COM)";
    Root* p_root = Root_alloc();
    ASSERT_NE(p_root, nullptr);
    set_p_root(p_root);
    LogCapture log; // shown when the download fails
    RecordingWindow w(port);
    DlReport report{};
    EXPECT_EQ(on_download(&w.win, p_root, &report), DL_OK) << log.text();
    EXPECT_EQ(report.fail, DL_OK);
    ASSERT_FALSE(w.boxes().empty());
    EXPECT_EQ(w.boxes().back().find("Ok|Application successfully downloaded !|"), 0u);
    EXPECT_EQ(w.progress, 0); // back to "ready"
    EXPECT_EQ(Root_get_p_uart(p_root)->h_com, UART_INVALID_HANDLE);
    Root_free(p_root);
    Con_set_cb_output(nullptr, nullptr);
}

} // namespace
