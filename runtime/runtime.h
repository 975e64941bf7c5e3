// The host runtime (libhydrix_runtime.so on Linux, hydrix_runtime.dll on Windows): what a
// process that hosts the driver uses besides the host services of host/hydrix_host.h
// (which this library implements). Our tools and tests use it; anyone hosting the driver
// may.
#pragma once
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "host/hydrix_host.h"

// On Windows the functions below are exported from hydrix_runtime.dll (the host services
// through the runtime's .def file, with their plain names).
#if defined(_WIN32) && defined(HYDRIX_BUILDING_RUNTIME)
#define HYDRIX_RT_API __declspec(dllexport)
#elif defined(_WIN32)
#define HYDRIX_RT_API __declspec(dllimport)
#else
#define HYDRIX_RT_API
#endif

namespace hydrix::rt {

// ---- Profile -------------------------------------------------------------------------
// An INI file. Section names may hold backslashes to name sub-sections:
// [Chan0], [Chan0\Node12], [Chan0\Dialup]. Keys and section names compare without regard
// to case, as the host's profile does. The services myGetPrivateProfileInt/String read it.
// A ';' or '#' starts a comment only at the start of a line: values are kept as written
// ("Nodes=3, 7;12" is "3, 7;12"), and lines have no length limit.
struct HYDRIX_RT_API ProfileError {
    std::string file;
    int line = 0;         // 1-based; 0 when the file could not be read at all
    std::string message;  // "file:line: message" is what() shows
    std::string what() const;
};
// Replaces the current profile with the file's contents. On error the current profile
// is kept and the error tells file, line and cause.
HYDRIX_RT_API std::optional<ProfileError> loadProfile(const std::string &path);
// The same from text (tests, embedded defaults); `name` stands for the file in errors.
HYDRIX_RT_API std::optional<ProfileError> loadProfileText(const std::string &text, const std::string &name = "<text>");
// Looks a key up in the current profile.
HYDRIX_RT_API std::optional<std::string> profileValue(const std::string &section, const std::string &key);
HYDRIX_RT_API std::vector<std::string> profileSections();
// Every key line of the current profile in file order, for checking it: where it stands
// and whether an earlier line of the same section already gave the key (then it is ignored).
struct ProfileEntry {
    std::string section;  // as written in its header
    std::string key;      // as written
    std::string value;
    int line = 0;
    bool repeated = false;
};
HYDRIX_RT_API std::vector<ProfileEntry> profileEntries();
HYDRIX_RT_API std::string profileSource();  // the file (or name) the current profile came from

// ---- Ports ---------------------------------------------------------------------------
// Line settings of a channel's port, from the channel's section of the profile:
//   Port=/dev/ttyUSB0 (Windows: Port=COM5)  Baudrate=9600  DataBits=8
//   Parity=none|odd|even|mark|space  StopBits=1|1.5|2
struct PortSettings {
    std::string device;
    CommLine line{};
};
// The port settings of the section, with defaults for absent keys (9600 8N1).
// Returns an error text for a bad value.
HYDRIX_RT_API std::optional<std::string> portSettingsFromProfile(const std::string &section, PortSettings *out);
// The keys above, and one of them applied to *settings: an error text for a bad value.
inline constexpr const char *kPortKeys[] = {"Port", "Baudrate", "DataBits", "Parity", "StopBits"};
HYDRIX_RT_API std::optional<std::string> applyPortKey(const std::string &key, const std::string &value,
                                                      PortSettings *settings);
// Opens the device with the given settings and makes it the channel's port
// (getCommHandle returns it; reopenCommHandle reopens it). Linux: a tty in raw mode, held
// exclusively; the error text says whether the device does not exist, is busy, or needs
// permission (the dialout group). Windows: the COM port opened for overlapped I/O
// without sharing; the error says whether it does not exist or another program has it.
// reopenCommHandle keeps the line settings and the time-outs that configComm last set.
HYDRIX_RT_API std::optional<std::string> openChannelPort(int channel, const PortSettings &settings);
// The system's words for an error number that the port services report (readComm and
// writeComm store it as the code of groups 22 and 23): errno on Linux, a GetLastError
// number on Windows.
HYDRIX_RT_API std::string systemErrorText(uint32_t error);
// Closes the channel's port; getCommHandle then returns COMM_HANDLE_INVALID.
HYDRIX_RT_API void closeChannelPort(int channel);

// Port failures reported by readComm (group ERRGRP_NO_PORT_READ) and writeComm (group
// ERRGRP_NO_PORT_SEND) carry the system's error number as the error code. Linux's errno:
// EIO when the far end hung up, EBADF for an invalid descriptor, ETIMEDOUT for a write
// that did not finish in time. Windows' GetLastError: ERROR_INVALID_HANDLE for an invalid
// handle, ERROR_TIMEOUT for a write that did not finish in time.

#ifndef _WIN32
// Linux only: ttys.
// Opens a tty device path in raw mode with the given line (used by openChannelPort).
// Returns the descriptor, or -1 with the error text.
HYDRIX_RT_API int openTty(const std::string &path, const CommLine &line, std::string *error);
// Applies line settings (speed, data bits, parity, stop bits) to an open tty.
HYDRIX_RT_API bool applyLine(int fd, const CommLine &line, std::string *error);
#endif

// ---- Line tap -------------------------------------------------------------------------
// An observer of the bytes a channel's port carries: every byte that readComm hands the
// driver and every byte that writeComm puts on the line, in order, per channel. A tool
// that wants to know what a station answered reads it here, whole, instead of from the
// driver's trace. The tap runs on the thread that called readComm or writeComm, outside
// any lock of the runtime, once per call that moved bytes; it must be quick and must not
// call readComm or writeComm itself. A channel without a tap costs one atomic load.
enum class Direction { Read, Written };
using LineTap = std::function<void(Direction direction, const uint8_t *bytes, size_t count)>;
// Sets (an empty function: clears) the tap of a channel 0..7. When it returns, no call of
// the tap it replaced is running any more, so whatever that tap refers to may go (called
// from inside a tap, it cannot wait for itself: the calling tap may still be running).
HYDRIX_RT_API void setLineTap(int channel, LineTap tap);

// ---- Queues and pool -----------------------------------------------------------------
// Every channel has an output queue (host -> driver), an input queue (driver -> host) and
// a pool of messages, each with a zeroed value area of valueAreaBytes.
// Sets the pool of a channel: `count` messages of `valueAreaBytes` each (default 64 x 2048).
// Messages out of the pool at that moment stay valid until they come back.
HYDRIX_RT_API void configurePool(int channel, int count, int valueAreaBytes);
// Takes one message from the input queue, waiting up to timeoutMs (0: no wait, negative:
// no limit); null on time-out.
HYDRIX_RT_API HostMsg *waitInputQueue(int channel, int timeoutMs);
// Counts of waiting messages.
HYDRIX_RT_API int outputQueueLength(int channel);
HYDRIX_RT_API int inputQueueLength(int channel);
HYDRIX_RT_API int poolAvailable(int channel);
// Empties both queues of every channel back into the pools (between tests).
HYDRIX_RT_API void resetQueues();

// ---- Host state ----------------------------------------------------------------------
// What getDap reports: ready (second word 2) or not (0). Ready by default.
HYDRIX_RT_API void setHostReady(bool ready);
// What setDrvExtInterface last received (-1 before any call).
HYDRIX_RT_API int32_t extInterfaceFlag();

// ---- Trace and event log -------------------------------------------------------------
// Trace lines: "HH:MM:SS.mmm text" on stderr by default. A file replaces stderr; a sink
// receives every line (without the time stamp) in addition.
HYDRIX_RT_API void setTraceFile(FILE *file);  // null: no file output at all
HYDRIX_RT_API bool setTracePath(const std::string &path, std::string *error);
using TraceSink = std::function<void(const std::string &line)>;
HYDRIX_RT_API void setTraceSink(TraceSink sink);  // empty function: none
// The channel whose work the calling thread does, for telling trace lines of channels
// apart (a sink runs on the thread that traced): the one channel whose queues, pool or
// port (Linux) the thread has used; -1 before it used any, or when it used several.
// Each channel's driver threads serve that channel alone.
HYDRIX_RT_API int threadChannel();
// Event log entries also go to the system's log: syslog (identity "hydrix") on Linux, on
// unless turned off; the Windows event log (source "hydrix") on Windows, off unless turned on.
HYDRIX_RT_API void setSyslog(bool on);
struct LoggedEvent {
    uint32_t eventId;
    uint32_t osError;
    std::string source;
    int sourceLine;
    std::string text;
};
HYDRIX_RT_API std::vector<LoggedEvent> loggedEvents();  // every logEvent so far
HYDRIX_RT_API void clearLoggedEvents();

}  // namespace hydrix::rt
