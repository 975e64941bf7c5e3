// The "Nodes" list of a channel section.
#pragma once
#include <cstdint>
#include <vector>

// Splits a node list into node numbers. A number is a run of letters and digits; every
// other character separates. A run's value is its leading decimal digits (0 when it starts
// with a letter; values beyond 32 bits saturate). At most `limit` numbers are returned;
// later runs are ignored.
std::vector<uint32_t> parseNodeList(const char *text, int limit);
