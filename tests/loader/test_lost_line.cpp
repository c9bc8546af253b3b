// A device that goes away while the root talks to it: the port reports the
// hang-up, the link and the transaction stop waiting for it (long before the
// reply time-out), and a device that comes back is served on the next open.
#include "root.h"

#include "co3964.h"
#include "con.h"
#include "csp.h"
#include "devsim_process.h"
#include "rmc.h"
#include "uart.h"

#include <gtest/gtest.h>

#include <string>
#include <unistd.h>

namespace {

// Host time that moves one millisecond each time it is read: a wait that ran
// into its deadline shows as the deadline's length of reads.
uint32_t s_t_virtual;
uint32_t virtual_tick(void*) {
    return ++s_t_virtual;
}

int drop(void*, const char*) {
    return 0;
}

bool devsim_is_built() {
    return access(orvo_program_path("tools/devsim/orvo-devsim").c_str(), X_OK) == 0;
}

} // namespace

TEST(LostLine, DeviceGoneEndsTheWaitsAndTheNextDeviceIsServed) {
    if (!devsim_is_built()) GTEST_SKIP() << "orvo-devsim is not built";
    Root* p_root = Root_alloc();
    ASSERT_NE(p_root, nullptr);
    Con_set_cb_output(drop, nullptr);
    Uart* p_uart = Root_get_p_uart(p_root);
    Rmc* p_rmc = Root_get_p_rmc(p_root);

    {
        DevSimProcess sim;
        ASSERT_TRUE(sim.ok());
        ASSERT_TRUE(Uart_open(p_uart, sim.port().c_str(), 115200, 8, 0, 0));
        p_rmc->reply_timeout_ms = 1000;
        EXPECT_EQ(Rmc_do_activate_bootloader(p_rmc), RMC_RES_OK);
        sim.stop();
    }

    // The flash loader's long reply time-out: the wait must end with the line.
    p_rmc->reply_timeout_ms = 100000;
    s_t_virtual = 0;
    Csp_set_tick_source(virtual_tick, nullptr);
    int result = Rmc_do_jump(p_rmc, 0x400000);
    uint32_t t_spent = s_t_virtual;
    Csp_set_tick_source(nullptr, nullptr);
    EXPECT_TRUE(result == RMC_RES_ERR_SEND || result == RMC_RES_ERR_REC) << result;
    EXPECT_EQ(Uart_is_lost(p_uart), 1);
    EXPECT_TRUE(Co3964_is_line_lost(Root_get_p_co(p_root)));
    EXPECT_LT(t_spent, 5000u) << "the transaction waited for a device that had gone";
    Uart_close(p_uart);

    {
        DevSimProcess sim;
        ASSERT_TRUE(sim.ok());
        ASSERT_TRUE(Uart_open(p_uart, sim.port().c_str(), 115200, 8, 0, 0));
        p_rmc->reply_timeout_ms = 1000;
        EXPECT_EQ(Rmc_do_activate_bootloader(p_rmc), RMC_RES_OK);
        EXPECT_FALSE(Co3964_is_line_lost(Root_get_p_co(p_root)));
        Uart_close(p_uart);
    }
    Con_set_cb_output(nullptr, nullptr);
    Root_free(p_root);
}
