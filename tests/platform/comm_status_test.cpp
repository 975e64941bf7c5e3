// Queue counts and purging on a pseudo-terminal, and failures on bad descriptors.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "platform/comm_status.h"
#include "platform/systime.h"
#include "platform/ticks.h"
#include "station/station.h"

namespace {

uint32_t settledInput(int fd, uint32_t expected) {  // pty bytes arrive asynchronously
    plat::CommStat stat{};
    uint32_t errors = 99;
    for (int i = 0; i < 500; ++i, plat::sleepMs(2)) {  // always asks at least once
        EXPECT_EQ(plat::clearCommError(fd, &errors, &stat), 1);
        EXPECT_EQ(errors, 0u) << "a pseudo-terminal keeps no error counters";
        if (stat.cbInQue >= expected) break;
    }
    return stat.cbInQue;
}

TEST(CommStatus, CountsAndPurgesBytesOnAPseudoTerminal) {
    std::string error;
    auto pty = hydrix::station::Pty::open(&error);
    ASSERT_TRUE(pty) << error;
    const int slave = open(pty->slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(slave, 0);
    ASSERT_EQ(write(pty->master(), "hello\r", 6), 6);
    EXPECT_EQ(settledInput(slave, 6), 6u);
    EXPECT_EQ(plat::purgeComm(slave, plat::COMM_PURGE_TXABORT | plat::COMM_PURGE_TXCLEAR), 1);
    EXPECT_EQ(settledInput(slave, 6), 6u) << "clearing output keeps the input";
    EXPECT_EQ(plat::purgeComm(slave, plat::COMM_PURGE_RXABORT | plat::COMM_PURGE_RXCLEAR), 1);
    EXPECT_EQ(settledInput(slave, 0), 0u);
    char buf[8];
    EXPECT_LE(read(slave, buf, sizeof buf), 0) << "purged bytes must not be readable";
    close(slave);

    plat::CommStat stat{};
    uint32_t errors = 0;
    for (CommHandle bad : {CommHandle(-1), CommHandle(slave), INTPTR_MIN, CommHandle(1) << 32}) {
        errno = 0;
        EXPECT_TRUE(!plat::clearCommError(bad, &errors, &stat) && plat::getLastError() == EBADF) << bad;
        errno = 0;
        EXPECT_TRUE(!plat::purgeComm(bad, plat::COMM_PURGE_RXCLEAR) && plat::getLastError() == EBADF) << bad;
    }
}

}  // namespace
