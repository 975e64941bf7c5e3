// Helpers shared by the runtime's own files; not part of its public interface.
#pragma once
#include <cstdarg>
#include <string>

#include "host/hydrix_host.h"

namespace hydrix::rt::detail {

// Writes one trace line (the same path as textOutput).
void trace(const std::string &text);
// printf-style trace line.
void tracef(const char *format, ...) __attribute__((format(printf, 1, 2)));
// printf into a std::string.
std::string vformat(const char *format, va_list args);

// True for a channel number 0..7; otherwise traces "<service>: bad channel <n>".
bool checkChannel(const char *service, long channel);

// Per-descriptor port state kept by configComm and read by readComm/writeComm.
void rememberPort(int fd, const CommLine &line, const CommTimeouts &timeouts);
void rememberTimeouts(int fd, const CommTimeouts &timeouts);
void rememberLine(int fd, const CommLine &line);
bool portLine(int fd, CommLine *line);
CommTimeouts portTimeouts(int fd);
void forgetPort(int fd);

// Lost ports. readComm and writeComm report every failure of a descriptor here; when
// the descriptor is a channel's port and the failure says the device is gone (EIO,
// ENXIO, ENODEV, EBADF), the channel's port is marked lost and the device released.
void portFailed(int fd, int error);
// True when fd is the stand-in of a lost channel port; *error is what it failed with.
bool lostPort(int fd, int *error);

// The channel whose port is fd (also while it is lost), or -1.
int portChannel(int fd);

// A profile value read as an integer, as myGetPrivateProfileInt reads it.
int32_t parseProfileInt(const std::string &text);

// Whether termios knows the baud rate.
bool supportedBaudRate(uint32_t rate);
// openTty, also giving the errno behind a failure (ENOENT when the device is missing,
// EBUSY when another process holds it).
int openTty(const std::string &path, const CommLine &line, std::string *error, int *osError);
// Closes a tty opened by openTty and forgets its state.
void closeTty(int fd);

// The line 9600 8N1 with DTR and RTS raised.
CommLine defaultLine();

}  // namespace hydrix::rt::detail
