// Trace output, event log, process record, word swapping and the driver loader.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
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
    void TearDown() override {
        rt::setTraceSink({});
        rt::setTraceFile(stderr);
    }
    // "HH:MM:SS.mmm " in front of the text.
    static bool stamped(const std::string &line, const std::string &text) {
        const std::string shape = "00:00:00.000 ";
        if (line.size() != shape.size() + text.size() || line.compare(shape.size(), text.size(), text) != 0)
            return false;
        for (size_t i = 0; i < shape.size(); ++i)
            if ((shape[i] == '0') != (std::isdigit(static_cast<unsigned char>(line[i])) != 0) ||
                (shape[i] != '0' && line[i] != shape[i]))
                return false;
        return true;
    }
    std::vector<std::string> lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

TEST_F(Traced, OneLinePerCallWithTimeStampInTheFile) {
    char path[] = "/tmp/hydrix-trace-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ::close(fd);
    std::string error;
    ASSERT_TRUE(rt::setTracePath(path, &error)) << error;
    textOutput("checkRxTelegram: OK received\n");
    textOutputParm("[C:%d-N:%d]: %s", 0, 12, "hello");
    std::string longText(3000, 'x');
    textOutputParm("%s", longText.c_str());
    rt::setTraceFile(nullptr);

    EXPECT_EQ(lines(), (std::vector<std::string>{"checkRxTelegram: OK received",
                                                 "[C:0-N:12]: hello", longText}));
    FILE *f = std::fopen(path, "r");
    ASSERT_NE(f, nullptr);
    char buf[4096];
    std::vector<std::string> fileLines;
    while (std::fgets(buf, sizeof buf, f)) fileLines.emplace_back(buf);
    std::fclose(f);
    std::remove(path);
    ASSERT_EQ(fileLines.size(), 3u);
    EXPECT_TRUE(stamped(fileLines[0], "checkRxTelegram: OK received\n")) << fileLines[0];
    EXPECT_TRUE(stamped(fileLines[2], longText + "\n"));
}

TEST_F(Traced, EventsAreTracedAndKept) {
    rt::clearLoggedEvents();
    logEvent(-1, EVT_V6_NO_DEVICE_NAME, 0, "HYDRIX", 123, 0, 0, "%d", 4);
    logEvent(-1, EVT_PURGE_FAILED, 5, "HYDRIX", 77, 0, 0, "%s %d %s", "HYDRIX", 2, "");
    auto events = rt::loggedEvents();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].eventId, EVT_V6_NO_DEVICE_NAME);
    EXPECT_EQ(events[0].source, "HYDRIX");
    EXPECT_EQ(events[0].sourceLine, 123);
    EXPECT_EQ(events[0].text, "4");
    EXPECT_EQ(events[1].osError, 5u);
    EXPECT_EQ(events[1].text, "HYDRIX 2 ");
    auto traced = lines();
    ASSERT_EQ(traced.size(), 2u);
    EXPECT_EQ(traced[0], "EVENT 0xC2100B55 HYDRIX:123 (os 0) 4");
    EXPECT_EQ(traced[1], "EVENT 0xC10A06A9 HYDRIX:77 (os 5) HYDRIX 2 ");
}

TEST_F(Traced, ConcurrentLinesStayWhole) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i) textOutputParm("thread %d line %d", t, i);
        });
    for (auto &th : threads) th.join();
    auto got = lines();
    ASSERT_EQ(got.size(), 800u);
    std::vector<int> perThread(4, 0);
    for (const auto &line : got) {
        int t = -1, i = -1;
        char rest = 0;
        ASSERT_EQ(std::sscanf(line.c_str(), "thread %d line %d%c", &t, &i, &rest), 2) << line;
        ASSERT_TRUE(t >= 0 && t < 4) << line;
        EXPECT_EQ(i, perThread[static_cast<size_t>(t)]++) << "lines of one thread keep their order";
    }
}

TEST(HostState, ProcessRecordTicksAndSwap) {
    auto word = [] { return static_cast<const int16_t *>(getDap())[1]; };
    EXPECT_EQ(word(), 2);
    rt::setHostReady(false);
    EXPECT_EQ(word(), 0);
    rt::setHostReady(true);
    EXPECT_EQ(word(), 2);

    uint32_t start = timeExpired(0);  // now
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    uint32_t elapsed = timeExpired(start);
    EXPECT_GE(elapsed, 59u);
    EXPECT_LT(elapsed, 1000u);

    const char text[] = "ABCDE";  // with its terminator: three words
    char out[7] = {0, 0, 0, 0, 0, 0, 'Z'};
    memswap(out, text, 3);
    EXPECT_EQ(std::string(out, 7), std::string("BADC\0EZ", 7));
    memswap(out, out, 2);
    EXPECT_EQ(std::string(out, 4), "ABCD");

    setDrvExtInterface(1);
    EXPECT_EQ(rt::extInterfaceFlag(), 1);
}

TEST(DriverLoader, MissingFileGivesAClearError) {
    rt::DriverLibrary lib;
    std::string error;
    EXPECT_FALSE(lib.open("/nonexistent/libhydrix.so", &error));
    EXPECT_FALSE(lib.isOpen());
    EXPECT_NE(error.find("cannot load the driver library /nonexistent/libhydrix.so"), std::string::npos)
        << error;
    EXPECT_EQ(lib.drvInstall, nullptr);

    // A library without the entry points: the runtime itself.
    EXPECT_FALSE(lib.open(HYDRIX_BINARY_DIR "/libhydrix_runtime.so", &error));
    EXPECT_NE(error.find("entry point drvInstall is missing"), std::string::npos) << error;
}

TEST(DriverLoader, ResolvesEveryEntryPoint) {
    rt::DriverLibrary lib;
    std::string error;
    ASSERT_TRUE(lib.open(HYDRIX_LIBRARY_PATH, &error)) << error;
    EXPECT_TRUE(lib.drvInstall && lib.drvUnInstall && lib.drvStart && lib.drvStop &&
                lib.drvQueryState && lib.drvHndlTimer && lib.drvAddChan && lib.drvInitComm &&
                lib.preEvent && lib.postEvent && lib.canDisconnect);
    EXPECT_EQ(lib.drvQueryState(), DRV_STATE_STOPPED);
    rt::DriverLibrary moved = std::move(lib);
    EXPECT_FALSE(lib.isOpen());
    EXPECT_TRUE(moved.isOpen());
}

}  // namespace
