// libhydrix.so as a host sees it: the symbols it exports and imports, and loading it.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "tests/common/host_services.h"
#include "runtime/driver_library.h"
#include "runtime/runtime.h"

namespace {

// Lines of a shell command's output.
std::vector<std::string> lines(const std::string &cmd) {
    std::vector<std::string> out;
    FILE *pipe = popen(cmd.c_str(), "r");
    if (pipe == nullptr) return out;
    std::array<char, 1024> line{};
    while (fgets(line.data(), line.size(), pipe) != nullptr) {
        std::string text(line.data());
        while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
        out.push_back(text);
    }
    pclose(pipe);
    return out;
}

// Dynamic symbol names of a library (the last word of each nm line, version cut off).
std::set<std::string> symbols(const std::string &path, const std::string &nmArgs) {
    std::set<std::string> out;
    for (const auto &text : lines("nm -D " + nmArgs + " '" + path + "' 2>/dev/null")) {
        const auto space = text.rfind(' ');
        std::string name = space == std::string::npos ? text : text.substr(space + 1);
        out.insert(name.substr(0, name.find('@')));
    }
    return out;
}

// Everything the libraries that libhydrix.so itself needs (libc, libstdc++, libgcc, the
// dynamic loader - thread-local storage comes from it - and, in sanitizer builds, the
// sanitizer runtime) define.
std::set<std::string> definedByNeededLibraries() {
    std::set<std::string> out;
    for (const auto &text : lines("ldd '" HYDRIX_LIBRARY_PATH "'")) {
        const auto arrow = text.find("=> /");
        const auto start = arrow != std::string::npos ? arrow + 3 : text.find_first_not_of(" \t");
        if (start == std::string::npos || text[start] != '/') continue;  // linux-vdso, "not found"
        const std::string path = text.substr(start, text.find(" (", start) - start);
        const auto defined = symbols(path, "--defined-only");
        out.insert(defined.begin(), defined.end());
    }
    return out;
}

const std::set<std::string> kEntryPoints = {"drvInstall",    "drvUnInstall", "drvStart",     "drvStop",
                                            "drvQueryState", "drvHndlTimer", "drvAddChan",   "drvInitComm",
                                            "preEvent",      "postEvent",    "canDisconnect"};

const std::set<std::string> kHostServices(std::begin(kHostServiceNames), std::end(kHostServiceNames));

}  // namespace

TEST(Library, ExportsExactlyTheEntryPoints) { EXPECT_EQ(symbols(HYDRIX_LIBRARY_PATH, "--defined-only"), kEntryPoints); }

TEST(Library, ImportsOnlyHostServicesAndSystemLibraries) {
    // Weak references (the C runtime's optional hooks) need nobody to define them.
    std::set<std::string> weak;
    for (const auto &text : lines("nm -D --undefined-only '" HYDRIX_LIBRARY_PATH "'"))
        if (text.find(" w ") != std::string::npos) weak.insert(text.substr(text.rfind(' ') + 1));
    const auto system = definedByNeededLibraries();
    ASSERT_FALSE(system.empty());
    const auto undefined = symbols(HYDRIX_LIBRARY_PATH, "--undefined-only");
    for (const auto &name : kHostServices) EXPECT_TRUE(undefined.count(name)) << name;  // all are used
    for (const auto &name : undefined)
        EXPECT_TRUE(kHostServices.count(name) || system.count(name) || weak.count(name)) << name;
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
}
