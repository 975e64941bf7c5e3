// Letters and digits of the 8-bit character set (Windows-1252), from a fixed table
// so that the process locale plays no part.
#include "platform/text.h"

#include <array>

namespace plat {

namespace {

constexpr std::array<bool, 256> makeTable() {
    std::array<bool, 256> t{};
    for (int c = '0'; c <= '9'; ++c) t[c] = true;
    for (int c = 'A'; c <= 'Z'; ++c) t[c] = true;
    for (int c = 'a'; c <= 'z'; ++c) t[c] = true;
    // Upper-half letters: S, OE, Z with caron/ligature and their small forms, Y with
    // diaeresis, the ordinal indicators, micro sign, and the accented Latin-1 letters
    // (without the multiplication and division signs).
    for (int c : {0x8A, 0x8C, 0x8E, 0x9A, 0x9C, 0x9E, 0x9F, 0xAA, 0xB5, 0xBA}) t[c] = true;
    for (int c = 0xC0; c <= 0xFF; ++c) t[c] = (c != 0xD7 && c != 0xF7);
    return t;
}

constexpr std::array<bool, 256> kAlnum = makeTable();

}  // namespace

bool isCharAlphaNumeric(char c) { return kAlnum[static_cast<unsigned char>(c)]; }

}  // namespace plat
