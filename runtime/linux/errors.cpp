// Error numbers in words, Linux: the port services report errno values.
#include <cstring>

#include "runtime/runtime.h"

namespace hydrix::rt {

std::string systemErrorText(uint32_t error) { return std::strerror(static_cast<int>(error)); }

}  // namespace hydrix::rt
