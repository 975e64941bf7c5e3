// Helpers shared by the runtime's own files; not part of its public interface. The
// portable files (runtime/*.cpp) call the system's side through the functions marked
// "system" below, which runtime/linux/ and runtime/windows/ provide.
#pragma once
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>

#include "host/hydrix_host.h"
#include "runtime/runtime.h"

namespace hydrix::rt::detail {

// Writes one trace line (the same path as textOutput).
void trace(const std::string &text);
// printf-style trace line.
void tracef(const char *format, ...) HYDRIX_PRINTF(1, 2);
// printf into a std::string.
std::string vformat(const char *format, va_list args);
std::string vformatText(const char *format, ...) HYDRIX_PRINTF(1, 2);

// True for a channel number 0..7; otherwise traces "<service>: bad channel <n>".
bool checkChannel(const char *service, long channel);

// The calling thread works for `channel` (see threadChannel); whether it has been told so.
void noteThreadChannel(int channel);
bool threadChannelNoted();

// A profile value read as an integer, as myGetPrivateProfileInt reads it.
int32_t parseProfileInt(const std::string &text);

// Line taps: whether any channel has one, and the bytes a port call moved to the tap of
// `channel` (nothing when it has none, or for a channel outside 0..7).
bool anyLineTap();
void tapBytes(int channel, Direction direction, const unsigned char *bytes, size_t count);

// ---- system ----
// The fields of the line settings record (the system's own: DCB on Windows) that the
// profile's port keys set. Parity and stop bits count as in CommLine: parity 0 none,
// 1 odd, 2 even, 3 mark, 4 space; stop bits 0 one, 1 one and a half, 2 two.
struct LineFields {
    uint32_t baudRate;
    uint8_t byteSize;
    uint8_t parity;
    uint8_t stopBits;
};
LineFields lineFields(const CommLine &line);
void setLineFields(CommLine *line, const LineFields &fields);
// The line 9600 8N1 with DTR and RTS raised.
CommLine defaultLine();
// Whether the system's ports take the baud rate.
bool supportedBaudRate(uint32_t rate);

// The local time now, for trace lines.
struct Stamp {
    int year, month, day, hour, minute, second, millisecond;
};
Stamp localStamp();
// Opens a trace file for appending (not inherited by child processes).
FILE *openAppend(const std::string &path);
// offsetTZ's conversion of a nonzero time: UTC -> local (toLocal) or local -> UTC.
bool convertLocalTime(OrvelTime *time, bool toLocal);

// The system's own log of events, written when setSyslog has it on (kSystemLogByDefault
// before any call).
extern const bool kSystemLogByDefault;
void writeSystemLog(uint32_t eventId, const std::string &text);

// Loading the driver library: the handle, or null with *why.
void *loadLibrary(const std::string &path, std::string *why);
void *findSymbol(void *handle, const char *name);
void unloadLibrary(void *handle);

}  // namespace hydrix::rt::detail
