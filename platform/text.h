// Character classes the way the driver's node lists read them.
#pragma once

namespace plat {

// IsCharAlphaNumericA for the driver's 8-bit character set (Windows-1252): ASCII
// letters and digits, and the accented letters of the upper half.
bool isCharAlphaNumeric(char c);

}  // namespace plat
