// Which channel a thread works for, as trace sinks learn it: the hydrix host keeps each
// channel's trace apart by it, so that requests on several channels can run at once.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "runtime/runtime.h"

namespace rt = hydrix::rt;

TEST(ThreadChannel, AThreadThatServesOneChannelTracesAsThatChannel) {
    rt::configurePool(3, 2, 16);
    std::vector<std::pair<int, std::string>> seen;
    rt::setTraceFile(nullptr);
    rt::setTraceSink([&seen](const std::string &line) { seen.push_back({rt::threadChannel(), line}); });
    std::thread([] {
        textOutput("before");  // no channel yet
        HostMsg *m = getMsgFromPool(3);
        textOutput("worker");
        putMsgToPool(3, m);
        getMsgFromSapOq(5);  // a second channel: no longer one channel's thread
        textOutput("mixed");
    }).join();
    rt::setTraceSink({});
    rt::setTraceFile(stderr);
    const std::vector<std::pair<int, std::string>> expected = {{-1, "before"}, {3, "worker"}, {-1, "mixed"}};
    EXPECT_EQ(seen, expected);
}
