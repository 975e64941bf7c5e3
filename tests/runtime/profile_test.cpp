// The profile parser and the two profile services.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "runtime/runtime.h"

namespace rt = hydrix::rt;

namespace {

TEST(Profile, ValuesKeepTheirTextKeysIgnoreCaseAndServicesStayInTheBuffer) {
    ASSERT_FALSE(
        rt::loadProfileText("; a channel profile\n# another comment\n[HYDRIX]\nDebug = 1\n\n"
                            "[Chan0]\r\nNodes=3, 7;12\r\nRetries = -2\nBaudrate=19200 baud\n"
                            "DeviceName = \"  COM3 \"\nMask=0x1F\nNothing=\nWord=abc\nRetries=9\n"
                            "[Chan0\\Node12]\nPlantNumber=45\nRoute = R1 ; not a comment\n",
                            "test.ini"));
    EXPECT_EQ(rt::profileValue("chan0", "NODES"), "3, 7;12");
    EXPECT_EQ(rt::profileValue("Chan0\\Node12", "Route"), "R1 ; not a comment");
    EXPECT_EQ(rt::profileValue("Chan0", "DeviceName"), "  COM3 ");
    EXPECT_FALSE(rt::profileValue("Chan1", "Nodes"));
    EXPECT_EQ(rt::profileSections(), (std::vector<std::string>{"HYDRIX", "Chan0", "Chan0\\Node12"}));

    const struct {
        const char *section, *key;
        int dflt, expected;
    } ints[] = {
        {"CHAN0\\node12", "plantnumber", 1, 45},
        {"Chan0", "Retries", 3, -2},  // the first value counts
        {"Chan0", "Baudrate", 9600, 19200},
        {"Chan0", "Mask", 0, 31},
        {"Chan0", "Word", 7, 0},
        {"Chan0", "Nothing", 7, 7},
        {"Chan0\\Node99", "PlantNumber", 1, 1},
    };
    for (const auto &c : ints) EXPECT_EQ(myGetPrivateProfileInt(c.section, c.key, c.dflt, 0), c.expected) << c.key;

    const struct {
        const char *key, *dflt;
        uint32_t size;
        int32_t length;
        const char *text;
    } strings[] = {
        {"Nodes", "", 5, 4, "3, 7"}, {"Nodes", "", 8, 7, "3, 7;12"},   {"Absent", "dflt", 8, 4, "dflt"},
        {"Nodes", "", 1, 0, ""},     {"Nodes", "", 0, 0, "QXXXXXXXX"},  // no room at all: nothing written
    };
    for (const auto &c : strings) {
        char buf[10] = "QXXXXXXXX";
        EXPECT_EQ(myGetPrivateProfileString("Chan0", c.key, c.dflt, buf, c.size, 0), c.length) << c.size;
        EXPECT_STREQ(buf, c.text);
        for (size_t i = c.size; i < 9; ++i) EXPECT_EQ(buf[i], "QXXXXXXXX"[i]) << "written past size " << c.size;
    }

    std::string nodes;  // lines have no length limit
    for (int i = 0; i < 300; ++i) nodes += std::to_string(i) + " ";
    nodes.pop_back();
    ASSERT_FALSE(rt::loadProfileText("[Chan1]\nNodes=" + nodes + "\n"));
    std::string big(2000, '\0');
    EXPECT_EQ(myGetPrivateProfileString("Chan1", "Nodes", "", big.data(), 2000, 0), int32_t(nodes.size()));
    EXPECT_EQ(std::string(big.c_str()), nodes);
}

TEST(Profile, ErrorsNameFileAndLineAndKeepTheOldProfile) {
    ASSERT_FALSE(rt::loadProfileText("[Keep]\nA=1\n"));
    const struct {
        const char *text;
        int line;
        const char *says;
    } cases[] = {
        {"[Chan0]\nA=1\njust words\n", 3, "key=value"},
        {"; c\n[Chan0\nA=1\n", 2, "]"},
        {"A=1\n[Chan0]\n", 1, "before the first"},
        {"[Chan0]\n=5\n", 2, "empty key"},
        {"[ ]\n", 1, "empty section"},
    };
    for (const auto &c : cases) {
        auto error = rt::loadProfileText(c.text, "chan.ini");
        ASSERT_TRUE(error) << c.text;
        EXPECT_EQ(error->line, c.line) << c.text;
        EXPECT_EQ(error->what().rfind("chan.ini:" + std::to_string(c.line) + ": ", 0), 0u) << error->what();
        EXPECT_NE(error->message.find(c.says), std::string::npos) << error->message;
    }
    EXPECT_EQ(rt::profileValue("Keep", "A"), "1");
    auto missing = rt::loadProfile("/nonexistent/hydrix.ini");
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->line, 0);
    EXPECT_NE(missing->what().find("/nonexistent/hydrix.ini"), std::string::npos);
}

TEST(Profile, LoadsFromAFileAndGivesPortSettings) {
    char path[] = "/tmp/hydrix-profile-XXXXXX";
    ::close(mkstemp(path));
    std::ofstream(path) << "[Chan2]\nPort=/dev/ttyUSB1\nBaudrate=38400\nDataBits=7\nParity=Even\nStopBits=2\n"
                           "[Chan3]\nParity=sideways\n[Chan4]\nBaudrate=12345\n";
    ASSERT_FALSE(rt::loadProfile(path));
    std::remove(path);
    rt::PortSettings s;
    ASSERT_FALSE(rt::portSettingsFromProfile("chan2", &s));
    EXPECT_EQ(std::tuple(s.device, s.line.baudRate, s.line.byteSize, s.line.parity, s.line.stopBits),
              std::tuple("/dev/ttyUSB1", 38400u, 7, 2, 2));
    ASSERT_FALSE(rt::portSettingsFromProfile("NoSuchChannel", &s));
    EXPECT_EQ(s.line.baudRate, 9600u);
    EXPECT_NE(rt::portSettingsFromProfile("Chan3", &s).value_or("").find("sideways"), std::string::npos);
    EXPECT_TRUE(rt::portSettingsFromProfile("Chan4", &s));
}

}  // namespace
