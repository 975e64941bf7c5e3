// Trace output: one line per call, "HH:MM:SS.mmm text", on stderr or a file, plus an
// optional sink that sees every line without the time stamp.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

#include "runtime/internal.h"
#include "runtime/runtime.h"

namespace hydrix::rt {
namespace {

struct TraceState {
    std::mutex mutex;
    FILE *out = stderr;
    FILE *owned = nullptr;  // a file opened by setTracePath, closed when replaced
    std::shared_ptr<const TraceSink> sink;
};

TraceState &state() {
    static TraceState s;
    return s;
}

void closeOwnedLocked(TraceState &s) {
    if (s.owned) {
        std::fclose(s.owned);
        if (s.out == s.owned) s.out = nullptr;
        s.owned = nullptr;
    }
}

// Drops one trailing line end ("\n" or "\r\n") so that a call is exactly one line.
std::string withoutLineEnd(const char *text) {
    std::string line = text ? text : "";
    if (!line.empty() && line.back() == '\n') {
        line.pop_back();
        if (!line.empty() && line.back() == '\r') line.pop_back();
    }
    return line;
}

void emit(const std::string &line) {
    TraceState &s = state();
    std::shared_ptr<const TraceSink> sink;
    {
        std::lock_guard lock(s.mutex);
        if (s.out) {
            const detail::Stamp t = detail::localStamp();
            std::fprintf(s.out, "%04d-%02d-%02d %02d:%02d:%02d.%03d %s\n", t.year, t.month, t.day, t.hour, t.minute,
                         t.second, t.millisecond, line.c_str());
            std::fflush(s.out);
        }
        sink = s.sink;
    }
    // Outside the lock, so that a sink may trace in turn.
    if (sink && *sink) (*sink)(line);
}

}  // namespace

void setTraceFile(FILE *file) {
    TraceState &s = state();
    std::lock_guard lock(s.mutex);
    if (file != s.owned) closeOwnedLocked(s);
    s.out = file;
}

bool setTracePath(const std::string &path, std::string *error) {
    FILE *file = detail::openAppend(path);
    if (!file) {
        if (error) *error = path + ": " + std::strerror(errno);
        return false;
    }
    TraceState &s = state();
    std::lock_guard lock(s.mutex);
    closeOwnedLocked(s);
    s.owned = file;
    s.out = file;
    return true;
}

void setTraceSink(TraceSink sink) {
    TraceState &s = state();
    auto shared = sink ? std::make_shared<const TraceSink>(std::move(sink)) : nullptr;
    std::lock_guard lock(s.mutex);
    s.sink = std::move(shared);
}

namespace {
thread_local int servedChannel = -1;  // -1: none yet; -2: several
}  // namespace

int threadChannel() { return servedChannel >= 0 ? servedChannel : -1; }

namespace detail {

void noteThreadChannel(int channel) {
    if (channel < 0 || channel == servedChannel) return;
    servedChannel = servedChannel == -1 ? channel : -2;
}

bool threadChannelNoted() { return servedChannel != -1; }

std::string vformat(const char *format, va_list args) {
    if (!format) return {};
    va_list copy;
    va_copy(copy, args);
    char small[512];
    int n = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0) return format;
    if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
    std::string big(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(big.data(), big.size(), format, args);
    big.resize(static_cast<size_t>(n));
    return big;
}

std::string vformatText(const char *format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = vformat(format, args);
    va_end(args);
    return text;
}

void trace(const std::string &text) { emit(withoutLineEnd(text.c_str())); }

void tracef(const char *format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = vformat(format, args);
    va_end(args);
    trace(text);
}

bool checkChannel(const char *service, long channel) {
    if (channel >= 0 && channel < HYDRIX_CHANNELS) return true;
    tracef("%s: bad channel %ld (0 to %d)", service, channel, HYDRIX_CHANNELS - 1);
    return false;
}

}  // namespace detail
}  // namespace hydrix::rt

extern "C" int32_t HYDRIX_CALL textOutput(const char *text) {
    hydrix::rt::detail::trace(text ? text : "");
    return 1;
}

extern "C" int32_t textOutputParm(const char *format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = hydrix::rt::detail::vformat(format, args);
    va_end(args);
    hydrix::rt::detail::trace(text);
    return 1;
}
