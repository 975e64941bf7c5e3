// What the Linux port files share: the state kept per tty descriptor, lost ports, and
// opening and closing ttys.
#pragma once
#include <string>

#include "runtime/channel_ports.h"
#include "runtime/internal.h"

namespace hydrix::rt::detail {

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

// openTty, also giving the errno behind a failure (ENOENT when the device is missing,
// EBUSY when another process holds it).
int openTty(const std::string &path, const CommLine &line, std::string *error, int *osError);
// Closes a tty opened by openTty and forgets its state.
void closeTty(int fd);

}  // namespace hydrix::rt::detail
