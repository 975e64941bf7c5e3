// libhydrix.so as a host sees it: the symbols it exports and imports, and loading it.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <set>
#include <string>

#include "runtime/driver_library.h"
#include "runtime/runtime.h"

namespace {

std::set<std::string> symbols(const std::string &nmArgs) {
    std::set<std::string> out;
    const std::string cmd = "nm -D " + nmArgs + " '" HYDRIX_LIBRARY_PATH "'";
    FILE *pipe = popen(cmd.c_str(), "r");
    if (pipe == nullptr) return out;
    std::array<char, 512> line{};
    while (fgets(line.data(), line.size(), pipe) != nullptr) {
        std::string text(line.data());
        while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
        const auto space = text.rfind(' ');
        out.insert(space == std::string::npos ? text : text.substr(space + 1));
    }
    pclose(pipe);
    return out;
}

const std::set<std::string> kEntryPoints = {
    "drvInstall", "drvUnInstall", "drvStart", "drvStop", "drvQueryState", "drvHndlTimer",
    "drvAddChan", "drvInitComm", "preEvent", "postEvent", "canDisconnect"};

const std::set<std::string> kHostServices = {
    "getMsgFromSapOq", "insMsgToSapOq", "putMsgToSapOq", "putMsgToSapIq", "getMsgFromPool",
    "putMsgToPool", "getDap", "timeExpired", "memswap", "setDrvExtInterface", "textOutput",
    "textOutputParm", "getCommHandle", "reopenCommHandle", "initOverlapped", "readComm",
    "writeComm", "getDefaultCommSettings", "configComm", "myGetPrivateProfileInt",
    "myGetPrivateProfileString", "logEvent", "offsetTZ", "addORVELTimeDay", "zeroORVELTime",
    "isZeroORVELTime"};

bool fromSystemLibrary(const std::string &name) {
    // Versioned symbols come from libc, libstdc++, libgcc; the others are weak hooks of the
    // C runtime and, in sanitizer builds, the sanitizer runtimes.
    if (name.find('@') != std::string::npos) return true;
    for (const char *prefix : {"__asan", "__ubsan", "__tsan", "__sanitizer", "__lsan"})
        if (name.rfind(prefix, 0) == 0) return true;
    return name == "_ITM_deregisterTMCloneTable" || name == "_ITM_registerTMCloneTable" ||
           name == "__gmon_start__" || name == "__cxa_finalize";
}

}  // namespace

TEST(Library, ExportsExactlyTheEntryPoints) {
    EXPECT_EQ(symbols("--defined-only"), kEntryPoints);
}

TEST(Library, ImportsOnlyHostServicesAndSystemLibraries) {
    const auto undefined = symbols("--undefined-only");
    ASSERT_FALSE(undefined.empty());
    for (const auto &name : undefined)
        EXPECT_TRUE(kHostServices.count(name) || fromSystemLibrary(name)) << name;
}

TEST(Library, LoadsThroughTheRuntimeAndRunsALifeCycle) {
    hydrix::rt::setTraceFile(nullptr);
    ASSERT_FALSE(hydrix::rt::loadProfileText("[Driver]\n[Chan0]\nNodes=1\n"));
    hydrix::rt::DriverLibrary lib;
    std::string error;
    ASSERT_TRUE(lib.open(HYDRIX_LIBRARY_PATH, &error)) << error;
    EXPECT_EQ(lib.drvInstall("Driver"), 1);
    EXPECT_EQ(lib.drvAddChan(0, "Chan0"), 1);
    EXPECT_EQ(lib.drvStart(), 1);
    EXPECT_EQ(lib.drvQueryState(), 1);
    EXPECT_EQ(lib.drvStop(), 1);
    while (lib.drvQueryState() != 0) lib.drvHndlTimer();
    EXPECT_EQ(lib.drvUnInstall(), 1);

    hydrix::rt::DriverLibrary missing;
    EXPECT_FALSE(missing.open("/nonexistent/libhydrix.so", &error));
    EXPECT_NE(error.find("/nonexistent/libhydrix.so"), std::string::npos) << error;
}
