// Letters and digits as the system's ANSI code page classifies them.
#include "platform/text.h"

#include <windows.h>

namespace plat {

bool isCharAlphaNumeric(char c) { return IsCharAlphaNumericA(c) != FALSE; }

}  // namespace plat
