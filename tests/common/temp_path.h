// A fresh, empty file under /tmp for a test to write to; the caller removes it.
#pragma once
#include <stdlib.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

inline std::string tempPath(const char *stem) {
    std::string path = std::string("/tmp/") + stem + "-XXXXXX";
    const int fd = mkstemp(path.data());
    if (fd < 0) throw std::runtime_error("mkstemp failed");
    close(fd);
    return path;
}
