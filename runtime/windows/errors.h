// Windows error numbers in words.
#pragma once
#include <cstdint>
#include <string>

namespace hydrix::rt::detail {

// The system's message for a GetLastError number, with the number: "The system cannot
// find the file specified. (error 2)".
std::string systemErrorText(uint32_t error);

}  // namespace hydrix::rt::detail
