// Checks a profile before the driver reads it. The driver reads its keys as the host's
// profile functions do: "abc" is 0, "-5" retries wrap, a typo in a key name is a key
// nobody reads. Here every such value is an error and every key no one reads a warning,
// each with its file, line and key.
#pragma once
#include <string>
#include <vector>

namespace hydrix::cli {

struct Finding {
    bool error = true;  // else a warning
    int line = 0;       // 0: about the file or a section as a whole
    std::string text;   // "[Chan0] Retries = -5: ..."
};

// Checks the profile the runtime holds now (rt::loadProfileText).
std::vector<Finding> checkProfile();
// The [Serve] section is the gateway's: a program that knows it hands its check here
// before checking a profile. Without one the section is taken as it is.
using SectionCheck = std::vector<Finding> (*)();
void setServeSectionCheck(SectionCheck check);
// "site.ini:7: error: [Chan0] Retries = -5: ..."
std::string findingLine(const std::string &source, const Finding &finding);

// Edits (insert, delete, change; letters compared without case) from one word to the
// other: how close a mistyped key is to a known one.
size_t editDistance(const std::string &a, const std::string &b);

}  // namespace hydrix::cli
