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

const char *kProfile =
    "; a channel profile\n"
    "# another comment\n"
    "[HYDRIX]\n"
    "Debug = 1\n"
    "\n"
    "[Chan0]\r\n"
    "Nodes=3, 7;12\r\n"
    "Retries = -2\n"
    "Baudrate=19200 baud\n"
    "DeviceName = \"  COM3 \"\n"
    "Mask=0x1F\n"
    "Nothing=\n"
    "Word=abc\n"
    "Retries=9\n"
    "[Chan0\\Node12]\n"
    "PlantNumber=45\n"
    "Route = R1 ; not a comment\n";

TEST(Profile, ValuesKeepTheirTextAndKeysIgnoreCase) {
    ASSERT_FALSE(rt::loadProfileText(kProfile, "test.ini"));
    EXPECT_EQ(rt::profileValue("chan0", "NODES"), "3, 7;12");
    EXPECT_EQ(rt::profileValue("CHAN0\\node12", "plantnumber"), "45");
    EXPECT_EQ(rt::profileValue("Chan0\\Node12", "Route"), "R1 ; not a comment");
    EXPECT_EQ(rt::profileValue("Chan0", "DeviceName"), "  COM3 ");
    EXPECT_FALSE(rt::profileValue("Chan1", "Nodes"));
    EXPECT_EQ(rt::profileSections(), (std::vector<std::string>{"HYDRIX", "Chan0", "Chan0\\Node12"}));

    EXPECT_EQ(myGetPrivateProfileInt("Chan0\\Node12", "PlantNumber", 1, 0), 45);
    EXPECT_EQ(myGetPrivateProfileInt("Chan0", "Retries", 3, 0), -2) << "first value counts";
    EXPECT_EQ(myGetPrivateProfileInt("Chan0", "Baudrate", 9600, 0), 19200);
    EXPECT_EQ(myGetPrivateProfileInt("Chan0", "Mask", 0, 0), 31);
    EXPECT_EQ(myGetPrivateProfileInt("Chan0", "Word", 7, 0), 0);
    EXPECT_EQ(myGetPrivateProfileInt("Chan0", "Nothing", 7, 0), 7);
    EXPECT_EQ(myGetPrivateProfileInt("Chan0\\Node99", "PlantNumber", 1, 0), 1);
}

TEST(Profile, StringServiceTruncatesAndFallsBack) {
    ASSERT_FALSE(rt::loadProfileText(kProfile, "test.ini"));
    char buf[8];
    std::memset(buf, 'X', sizeof buf);
    EXPECT_EQ(myGetPrivateProfileString("Chan0", "Nodes", "", buf, 5, 0), 4);
    EXPECT_STREQ(buf, "3, 7");
    EXPECT_EQ(buf[5], 'X') << "nothing written past the buffer size";

    EXPECT_EQ(myGetPrivateProfileString("Chan0", "Nodes", "", buf, 8, 0), 7);
    EXPECT_STREQ(buf, "3, 7;12");
    EXPECT_EQ(myGetPrivateProfileString("Chan0", "Absent", "dflt", buf, 8, 0), 4);
    EXPECT_STREQ(buf, "dflt");
    buf[0] = 'Q';
    EXPECT_EQ(myGetPrivateProfileString("Chan0", "Nodes", "", buf, 0, 0), 0);
    EXPECT_EQ(buf[0], 'Q');
    EXPECT_EQ(myGetPrivateProfileString("Chan0", "Nodes", "", buf, 1, 0), 0);
    EXPECT_STREQ(buf, "");

    // Lines have no length limit.
    std::string nodes;
    for (int i = 0; i < 300; ++i) nodes += std::to_string(i) + " ";
    nodes.pop_back();
    ASSERT_FALSE(rt::loadProfileText("[Chan1]\nNodes=" + nodes + "\n"));
    std::string big(2000, '\0');
    EXPECT_EQ(myGetPrivateProfileString("Chan1", "Nodes", "", big.data(), 2000, 0),
              static_cast<int32_t>(nodes.size()));
    EXPECT_EQ(std::string(big.c_str()), nodes);
}

TEST(Profile, ErrorsNameFileAndLineAndKeepTheOldProfile) {
    ASSERT_FALSE(rt::loadProfileText("[Keep]\nA=1\n"));
    struct Case {
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
    for (const Case &c : cases) {
        auto error = rt::loadProfileText(c.text, "chan.ini");
        ASSERT_TRUE(error) << c.text;
        EXPECT_EQ(error->line, c.line) << c.text;
        EXPECT_EQ(error->what().rfind("chan.ini:" + std::to_string(c.line) + ": ", 0), 0u)
            << error->what();
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
    {
        std::ofstream out(path);
        out << "[Chan2]\nPort=/dev/ttyUSB1\nBaudrate=38400\nDataBits=7\nParity=Even\nStopBits=2\n"
               "[Chan3]\nParity=sideways\n[Chan4]\nBaudrate=12345\n";
    }
    ASSERT_FALSE(rt::loadProfile(path));
    std::remove(path);

    rt::PortSettings s;
    ASSERT_FALSE(rt::portSettingsFromProfile("chan2", &s));
    EXPECT_EQ(s.device, "/dev/ttyUSB1");
    EXPECT_EQ(s.line.baudRate, 38400u);
    EXPECT_EQ(s.line.byteSize, 7);
    EXPECT_EQ(s.line.parity, 2);
    EXPECT_EQ(s.line.stopBits, 2);

    ASSERT_FALSE(rt::portSettingsFromProfile("NoSuchChannel", &s));
    EXPECT_EQ(s.line.baudRate, 9600u);

    auto parity = rt::portSettingsFromProfile("Chan3", &s);
    ASSERT_TRUE(parity);
    EXPECT_NE(parity->find("sideways"), std::string::npos);
    EXPECT_TRUE(rt::portSettingsFromProfile("Chan4", &s));
}

}  // namespace
