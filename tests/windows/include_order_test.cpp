// Our headers before <windows.h> (platform_test.cpp has the other order): both must
// compile, and our constants keep Windows' values.
#include "platform/comm_status.h"
#include "platform/thread.h"
#include "host/hydrix_host.h"

#include <windows.h>

#include <gtest/gtest.h>

TEST(IncludeOrder, OurConstantsKeepWindowsValues) {
    EXPECT_TRUE(plat::LINE_ERR_RXOVER == CE_RXOVER && plat::LINE_ERR_OVERRUN == CE_OVERRUN &&
                plat::LINE_ERR_RXPARITY == CE_RXPARITY && plat::LINE_ERR_FRAME == CE_FRAME &&
                plat::LINE_ERR_BREAK == CE_BREAK);
    EXPECT_TRUE(plat::COMM_PURGE_TXABORT == PURGE_TXABORT && plat::COMM_PURGE_RXABORT == PURGE_RXABORT &&
                plat::COMM_PURGE_TXCLEAR == PURGE_TXCLEAR && plat::COMM_PURGE_RXCLEAR == PURGE_RXCLEAR);
    EXPECT_TRUE(plat::THREAD_STILL_ACTIVE == STILL_ACTIVE);
    EXPECT_TRUE(DTR_CONTROL_HANDSHAKE == 2);
}
