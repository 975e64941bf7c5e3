// The serving thread: reads request telegrams, answers them with the faults asked for,
// paces the line, and keeps a record for tests.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "station/frame.h"
#include "station/station.h"

namespace hydrix::station {

using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kMaxRequest = 4096;  // longer "requests" are junk
constexpr int kV6FrameGapMs = 2500;   // v6 frames without LF need a quiet gap between them

// Writes everything unless the descriptor fails; waits for room when it is full.
bool writeAll(int fd, const char *data, size_t size, const std::atomic<bool> &stopping) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n > 0) {
            data += n;
            size -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (stopping.load(std::memory_order_acquire)) return false;
            pollfd pfd{fd, POLLOUT, 0};
            ::poll(&pfd, 1, 100);
            continue;
        }
        return false;  // hang-up or a closed descriptor: the bytes are lost, as on a line
    }
    return true;
}

// The v6 engine reads the station number at the first text position and the word two
// characters later.
std::string v6Word(int plant, const char *word) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d%s", plant, word);
    return buf;
}

// The number after the plant in an "ALR <plant> <code> ..." text; -1 when it is not one.
int alarmCode(const std::string &text) {
    if (text.compare(0, 4, "ALR ") != 0) return -1;
    const size_t blank = text.find(' ', 4);
    if (blank == std::string::npos) return -1;
    return std::atoi(text.c_str() + blank + 1);
}

}  // namespace

const char *faultName(FaultKind kind) {
    switch (kind) {
    case FaultKind::WrongBcc:
        return "bcc";
    case FaultKind::Silence:
        return "silence";
    case FaultKind::Junk:
        return "junk";
    case FaultKind::Dc3Storm:
        return "dc3";
    case FaultKind::Split:
        return "split";
    case FaultKind::Late:
        return "late";
    case FaultKind::Count:
        break;
    }
    return "?";
}

Simulator::Simulator(int fd, Model model, bool ownsFd) : fd_(fd), ownsFd_(ownsFd), model_(std::move(model)) {
    if (::pipe2(wakePipe_, O_CLOEXEC | O_NONBLOCK) != 0) wakePipe_[0] = wakePipe_[1] = -1;
    // Never block in a write to a peer that does not read: stop() must get through.
    const int flags = ::fcntl(fd_, F_GETFL);
    if (flags >= 0) ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
}

Simulator::~Simulator() {
    stop();
    for (int &p : wakePipe_)
        if (p >= 0) ::close(p);
    if (ownsFd_ && fd_ >= 0) ::close(fd_);
}

void Simulator::start() {
    if (thread_.joinable()) return;
    stopping_.store(false, std::memory_order_release);
    thread_ = std::thread([this] { run(); });
}

void Simulator::stop() {
    stopping_.store(true, std::memory_order_release);
    {
        std::lock_guard lock(mutex_);
        changed_.notify_all();
    }
    if (wakePipe_[1] >= 0) {
        const char c = 0;
        [[maybe_unused]] ssize_t n = ::write(wakePipe_[1], &c, 1);
    }
    if (thread_.joinable()) thread_.join();
}

void Simulator::setFaults(const Faults &f) {
    std::lock_guard lock(mutex_);
    faults_ = f;
}

Faults Simulator::faults() const {
    std::lock_guard lock(mutex_);
    return faults_;
}

void Simulator::setFaultRates(const FaultRates &rates) {
    std::lock_guard lock(mutex_);
    rates_ = rates;
    // Seeds that differ by one must not give the same sequence one step apart: mix the
    // seed before it becomes the state.
    uint64_t z = rates.seed + 0x6A09E667F3BCC909ULL;
    for (int i = 0; i < 2; ++i) {
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        z ^= z >> 31;
    }
    rng_ = z;
}

Book Simulator::book() const {
    std::lock_guard lock(mutex_);
    return book_;
}

void Simulator::setKeepTelegrams(bool keep) {
    std::lock_guard lock(mutex_);
    keepTelegrams_ = keep;
    if (!keep) {
        received_ = {};
        sent_ = {};
    }
}

void Simulator::reattach(int fd) {
    const bool running = thread_.joinable();
    stop();
    if (ownsFd_ && fd_ >= 0 && fd_ != fd) ::close(fd_);
    fd_ = fd;
    const int flags = ::fcntl(fd_, F_GETFL);
    if (flags >= 0) ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
    if (running) start();
}

FaultKind Simulator::drawFault() {
    // splitmix64: small, seedable and the same on every platform.
    uint64_t z = (rng_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    z ^= z >> 31;
    const double u = static_cast<double>(z >> 11) / static_cast<double>(1ULL << 53);
    double edge = 0;
    for (int k = 0; k < kFaultKinds; ++k) {
        edge += rates_.rate[k];
        if (u < edge) return static_cast<FaultKind>(k);
    }
    return FaultKind::Count;
}

void Simulator::noteReplies(const std::vector<Reply> &replies, const Faults &f) {
    if (f.silent) return;
    ++book_.replies;
    if (f.wrongBcc || !f.forceReply.empty())
        return;  // nothing the driver can take as an alarm report (junk before the lead
                 // byte is skipped by a receiver that waits for it)
    for (const auto &r : replies)
        if (const int code = alarmCode(r.text); code >= 0) ++book_.alarmsReported[code];
}

void Simulator::setTrace(Trace trace) {
    std::lock_guard lock(mutex_);
    trace_ = std::move(trace);
}

bool Simulator::pause(int ms) {
    if (ms <= 0) return !stopping_.load(std::memory_order_acquire);
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(ms),
                      [this] { return stopping_.load(std::memory_order_acquire); });
    return !stopping_.load(std::memory_order_acquire);
}

void Simulator::run() {
    std::string current;
    bool inTelegram = false;
    Clock::time_point firstByte{};
    char buf[512];
    while (!stopping_.load(std::memory_order_acquire)) {
        pollfd fds[2] = {{fd_, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
        const int r = ::poll(fds, wakePipe_[0] >= 0 ? 2 : 1, 200);
        if (r < 0) {
            if (errno != EINTR) pause(50);
            continue;
        }
        if (r == 0) continue;
        if (fds[1].revents & POLLIN) {
            while (::read(wakePipe_[0], buf, sizeof buf) > 0) {}
            continue;
        }
        if (!(fds[0].revents & POLLIN)) {
            if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL))
                pause(100);  // nobody on the other end yet (or any more): wait for them
            continue;
        }
        const ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n <= 0) {
            if (n == 0 || (errno != EAGAIN && errno != EINTR)) pause(100);
            continue;
        }
        for (ssize_t i = 0; i < n; ++i) {
            const char c = buf[i];
            if (c == wire::SOH) {
                if (inTelegram) {
                    std::lock_guard lock(mutex_);
                    counters_.junkBytes += static_cast<int>(current.size());
                }
                current.assign(1, c);
                inTelegram = true;
                firstByte = Clock::now();
            } else if (!inTelegram) {
                std::lock_guard lock(mutex_);
                ++counters_.junkBytes;
            } else {
                current += c;
                if (c == wire::CR) {
                    handleRequest(current, firstByte);
                    current.clear();
                    inTelegram = false;
                } else if (current.size() > kMaxRequest) {
                    std::lock_guard lock(mutex_);
                    counters_.junkBytes += static_cast<int>(current.size());
                    current.clear();
                    inTelegram = false;
                }
            }
        }
    }
}

void Simulator::handleRequest(const std::string &raw, Clock::time_point firstByte) {
    Faults f;
    Trace trace;
    {
        std::lock_guard lock(mutex_);
        f = faults_;
        trace = trace_;
        keep(received_, raw);
        ++receivedCount_;
        ++counters_.requests;
        ++book_.requests;
        changed_.notify_all();
    }
    if (trace) trace(true, raw);
    if (!f.loseRequest.empty()) {
        const wire::Request req = wire::parseRequest(raw, f.v6Framing);
        if (req.ok() && req.words.size() > 1 && req.words[1] == f.loseRequest) {
            std::lock_guard lock(mutex_);
            faults_.loseRequest.clear();
            return;
        }
    }
    std::vector<Reply> replies = answer(raw, f.v6Framing);
    if (replies.empty()) return;  // nothing is due (ALO, BRK, a plant that is not here)
    {
        // One more reply done under these faults; when their count runs out, only the
        // line settings stay.
        std::lock_guard lock(mutex_);
        switch (drawFault()) {
        case FaultKind::WrongBcc:
            f.wrongBcc = true;
            ++book_.faults[0];
            break;
        case FaultKind::Silence:
            f.silent = true;
            ++book_.faults[1];
            break;
        case FaultKind::Junk:
            f.garbageBeforeStx = true;
            ++book_.faults[2];
            break;
        case FaultKind::Dc3Storm:
            f.dc3Storm = rates_.dc3Count;
            ++book_.faults[3];
            break;
        case FaultKind::Split:
            f.splitPauseMs = rates_.splitPauseMs;
            ++book_.faults[4];
            break;
        case FaultKind::Late:
            f.delayMs = rates_.lateMs;
            ++book_.faults[5];
            break;
        case FaultKind::Count:
            break;
        }
        noteReplies(replies, f);
        if (faults_.replies > 0 && --faults_.replies == 0) {
            Faults plain;
            plain.baud = faults_.baud;
            plain.v6Framing = faults_.v6Framing;
            plain.v6Lf = faults_.v6Lf;
            faults_ = plain;
        }
    }
    if (f.silent) return;
    if (!f.forceReply.empty()) replies = {{wire::STX, f.forceReply}};
    if (f.baud > 0) {
        // The request's own bytes would still be arriving on a real line.
        const auto onLine = std::chrono::microseconds(static_cast<long long>(raw.size()) * 10'000'000LL / f.baud);
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(firstByte + onLine - Clock::now());
        if (wait.count() > 0 && !pause(static_cast<int>(wait.count()))) return;
    }
    if (!pause(f.delayMs)) return;
    std::vector<Reply> all(static_cast<size_t>(std::max(0, f.okRepliesBefore)), Reply{wire::STX, "OK"});
    all.insert(all.end(), replies.begin(), replies.end());
    writeFrames(all, f);
}

std::string Simulator::frame(const Reply &reply, const Faults &f) const {
    std::string out = wire::buildFrame(reply.lead, reply.text, f.v6Framing, f.v6Lf, f.wrongBcc ? 1 : 0);
    if (f.dc3InReply) {
        out.insert(out.begin() + 2 + static_cast<long>(reply.text.size() / 2), wire::DC3);
        out.insert(out.begin() + 1, wire::DC3);
        out.insert(out.begin(), wire::DC3);
    }
    if (f.dc3Storm > 0) {
        // Half the storm before the lead byte, the rest one by one through the frame up
        // to its line end.
        const size_t end = out.find(wire::CR);
        const int inside = f.dc3Storm / 2;
        const size_t span = end == std::string::npos ? out.size() : end;
        for (int i = inside; i > 0; --i)
            out.insert(
                out.begin() + 1 + static_cast<long>(span * static_cast<size_t>(i) / static_cast<size_t>(inside + 1)),
                wire::DC3);
        out.insert(0, std::string(static_cast<size_t>(f.dc3Storm - inside), wire::DC3));
    }
    if (f.garbageBeforeStx) out.insert(0, "\x7f\xff?zz ");
    return out;
}

void Simulator::writeFrames(const std::vector<Reply> &replies, const Faults &f) {
    Trace trace;
    {
        std::lock_guard lock(mutex_);
        trace = trace_;
    }
    std::lock_guard line(writeMutex_);
    const int gap = f.frameGapMs >= 0 ? f.frameGapMs : f.v6Framing && !f.v6Lf ? kV6FrameGapMs : 0;
    bool first = true;
    for (const auto &r : replies) {
        if (!first && !pause(gap)) return;
        first = false;
        const std::string bytes = frame(r, f);
        // Recorded before it goes out, so whoever reads the reply finds it in the books.
        {
            std::lock_guard lock(mutex_);
            keep(sent_, bytes);
        }
        if (trace) trace(false, bytes);
        if (f.splitPauseMs > 0 && bytes.size() > 1) {
            const size_t half = bytes.size() / 2;
            writePaced(bytes.substr(0, half), f.baud, f.burstMs);
            if (!pause(f.splitPauseMs)) return;
            writePaced(bytes.substr(half), f.baud, f.burstMs);
        } else {
            writePaced(bytes, f.baud, f.burstMs);
        }
    }
}

void Simulator::writePaced(const std::string &bytes, int baud, int burstMs) {
    if (baud <= 0) {
        writeAll(fd_, bytes.data(), bytes.size(), stopping_);
        return;
    }
    // Each byte is ten bit times (start, eight data, stop). Write what is due, then sleep
    // until the next byte is (in bursts: at least a burst time); after the last one the
    // line stays busy until it is out.
    const auto start = Clock::now();
    const auto byteTime = std::chrono::nanoseconds(10'000'000'000LL / baud);
    size_t done = 0;
    while (done < bytes.size()) {
        if (stopping_.load(std::memory_order_acquire)) return;
        const auto elapsed = Clock::now() - start;
        size_t due = static_cast<size_t>(elapsed / byteTime) + 1;
        due = std::min(due, bytes.size());
        if (due > done) {
            if (!writeAll(fd_, bytes.data() + done, due - done, stopping_)) return;
            done = due;
        }
        auto next = start + byteTime * static_cast<long>(done);
        if (burstMs > 0 && done < bytes.size())
            next = std::max(next, Clock::now() + std::chrono::milliseconds(burstMs));
        std::this_thread::sleep_until(next);
    }
}

void Simulator::sendCallIn(int plantNumber, bool withAlarm) {
    const Faults f = faults();
    std::string text;
    {
        std::lock_guard lock(mutex_);
        onLine_ = plantNumber;
        const Plant *p = model_.find(plantNumber);
        if (withAlarm && p && !p->alarms.empty()) text = wire::alarmReply(*p);
        ++book_.callIns;
        if (const int code = alarmCode(text); code >= 0 && !f.wrongBcc) ++book_.alarmsReported[code];
    }
    if (text.empty()) text = f.v6Framing ? v6Word(plantNumber, "ACT") : "ACT " + std::to_string(plantNumber);
    writeFrames({{wire::STX, text}}, f);
}

void Simulator::sendOk() {
    {
        std::lock_guard lock(mutex_);
        ++book_.callIns;
    }
    writeFrames({{wire::STX, "OK"}}, faults());
}

void Simulator::sendMrc(int plantNumber) { writeFrames({{wire::SOH, v6Word(plantNumber, "MRC")}}, faults()); }

void Simulator::sendRaw(const std::string &bytes) {
    const Faults f = faults();
    std::lock_guard line(writeMutex_);
    Trace trace;
    {
        std::lock_guard lock(mutex_);
        keep(sent_, bytes);
        trace = trace_;
    }
    if (trace) trace(false, bytes);
    writePaced(bytes, f.baud, f.burstMs);
}

void Simulator::keep(std::deque<std::string> &telegrams, const std::string &bytes) {
    if (!keepTelegrams_) return;
    if (telegrams.size() >= kKeptTelegrams) telegrams.pop_front();
    telegrams.push_back(bytes);
}

std::vector<std::string> Simulator::receivedTelegrams() const {
    std::lock_guard lock(mutex_);
    return {received_.begin(), received_.end()};
}

std::vector<std::string> Simulator::sentTelegrams() const {
    std::lock_guard lock(mutex_);
    return {sent_.begin(), sent_.end()};
}

bool Simulator::waitForTelegrams(size_t count, int timeoutMs) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return receivedCount_ >= count; });
}

Counters Simulator::counters() const {
    std::lock_guard lock(mutex_);
    return counters_;
}

std::vector<SetpointWrite> Simulator::setpointWrites() const {
    std::lock_guard lock(mutex_);
    return setpointWrites_;
}

std::vector<MachineCommand> Simulator::machineCommands() const {
    std::lock_guard lock(mutex_);
    return machineCommands_;
}

std::vector<LimitWrite> Simulator::limitWrites() const {
    std::lock_guard lock(mutex_);
    return limitWrites_;
}

Model Simulator::model() const {
    std::lock_guard lock(mutex_);
    return model_;
}

void Simulator::setModel(Model model) {
    std::lock_guard lock(mutex_);
    model_ = std::move(model);
}

void Simulator::editModel(const std::function<void(Model &)> &edit) {
    std::lock_guard lock(mutex_);
    edit(model_);
}

}  // namespace hydrix::station
