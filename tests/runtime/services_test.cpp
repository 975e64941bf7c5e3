// Trace output, event log, process record, word swapping and the driver loader.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "runtime/driver_library.h"
#include "runtime/runtime.h"

namespace rt = hydrix::rt;

namespace {

class Traced : public ::testing::Test {
protected:
    void SetUp() override {
        rt::setSyslog(false);
        rt::setTraceFile(nullptr);
        rt::setTraceSink([this](const std::string &line) {
            std::lock_guard lock(mutex_);
            lines_.push_back(line);
        });
    }
    void TearDown() override { rt::setTraceSink({}), rt::setTraceFile(stderr); }
    std::mutex mutex_;
    std::vector<std::string> lines_;  // read only once the tracing threads are done
};

// "HH:MM:SS.mmm " in front of the text.
// "2026-12-06 00:03:54.967 text": date and time to the millisecond, then the line.
bool stamped(const std::string &line, const std::string &text) {
    int y, mo, d, h, m, s, ms, end = -1;
    return std::sscanf(line.c_str(), "%4d-%2d-%2d %2d:%2d:%2d.%3d %n", &y, &mo, &d, &h, &m, &s, &ms, &end) == 7 &&
           end == 24 && line.substr(24) == text;
}

TEST_F(Traced, OneLinePerCallWithTimeStampInTheFile) {
    char path[] = "/tmp/hydrix-trace-XXXXXX";
    ::close(mkstemp(path));
    std::string error;
    ASSERT_TRUE(rt::setTracePath(path, &error)) << error;
    textOutput("checkRxTelegram: OK received\n");
    textOutputParm("[C:%d-N:%d]: %s", 0, 12, "hello");
    const std::string longText(3000, 'x');
    textOutputParm("%s", longText.c_str());
    rt::setTraceFile(nullptr);
    const std::vector<std::string> expected{"checkRxTelegram: OK received", "[C:0-N:12]: hello", longText};
    EXPECT_EQ(lines_, expected);
    std::ifstream file(path);
    std::remove(path);
    size_t n = 0;
    for (std::string line; std::getline(file, line); ++n) EXPECT_TRUE(n < 3 && stamped(line, expected[n])) << line;
    EXPECT_EQ(n, 3u);
}

TEST_F(Traced, EventsAreTracedAndKept) {
    rt::clearLoggedEvents();
    logEvent(-1, EVT_V6_NO_DEVICE_NAME, 0, "HYDRIX", 123, 0, 0, "%d", 4);
    logEvent(-1, EVT_PURGE_FAILED, 5, "HYDRIX", 77, 0, 0, "%s %d %s", "HYDRIX", 2, "");
    auto events = rt::loggedEvents();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].eventId, EVT_PURGE_FAILED);
    EXPECT_EQ(events[1].text, "HYDRIX 2 ");
    EXPECT_EQ(lines_, (std::vector<std::string>{"EVENT 0xC2100B55 HYDRIX:123 (os 0) 4",
                                                "EVENT 0xC10A06A9 HYDRIX:77 (os 5) HYDRIX 2 "}));
}

TEST_F(Traced, LinesOfConcurrentThreadsStayWholeAndInOrder) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i) textOutputParm("thread %d line %d", t, i);
        });
    for (auto &th : threads) th.join();
    int next[4] = {0, 0, 0, 0};
    for (const auto &line : lines_) {
        int t = -1, i = -1;
        ASSERT_TRUE(std::sscanf(line.c_str(), "thread %d line %d", &t, &i) == 2 && t >= 0 && t < 4) << line;
        EXPECT_EQ(i, next[t]++);
    }
    EXPECT_EQ(next[0] + next[1] + next[2] + next[3], 800);
}

TEST(HostState, ProcessRecordTicksAndSwap) {
    auto word = [] { return static_cast<const int16_t *>(getDap())[1]; };
    EXPECT_EQ(word(), 2);
    rt::setHostReady(false);
    EXPECT_EQ(word(), 0);
    rt::setHostReady(true);

    uint32_t start = timeExpired(0);  // now
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_GE(timeExpired(start), 59u);
    EXPECT_LT(timeExpired(start), 1000u);

    char out[7] = {0, 0, 0, 0, 0, 0, 'Z'};
    memswap(out, "ABCDE", 3);  // with the terminator: three words
    EXPECT_EQ(std::string(out, 7), std::string("BADC\0EZ", 7));
    memswap(out, out, 2);
    EXPECT_EQ(std::string(out, 4), "ABCD");
}

TEST(DriverLoader, ClearErrorsAndEveryEntryPoint) {
    rt::DriverLibrary lib;
    std::string error;
    // The runtime itself is a library without the entry points.
    for (auto [path, says] :
         {std::pair{"/nonexistent/libhydrix.so", "cannot load the driver library /nonexistent/libhydrix.so"},
          {HYDRIX_BINARY_DIR "/libhydrix_runtime.so", "entry point drvInstall is missing"}}) {
        EXPECT_FALSE(lib.open(path, &error));
        EXPECT_NE(error.find(says), std::string::npos) << error;
        EXPECT_FALSE(lib.isOpen());
    }

    ASSERT_TRUE(lib.open(HYDRIX_LIBRARY_PATH, &error)) << error;
    EXPECT_TRUE(lib.drvInstall && lib.drvUnInstall && lib.drvStart && lib.drvStop && lib.drvQueryState &&
                lib.drvHndlTimer && lib.drvAddChan && lib.drvInitComm && lib.preEvent && lib.postEvent &&
                lib.canDisconnect);
    EXPECT_EQ(lib.drvQueryState(), DRV_STATE_STOPPED);
}

}  // namespace
