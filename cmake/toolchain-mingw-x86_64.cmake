# Cross-compiling hydrix.dll for 64-bit Windows with Debian's MinGW-w64 (the posix thread
# variant: the win32 one has no std::mutex).
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(HYDRIX_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
