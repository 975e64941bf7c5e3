// One request through the driver, for both engines: put it on the channel's output
// queue and collect what comes back until the request is finished. Finished means: the
// request itself came back on the input queue (the telegram engine returns every request
// but history and alarm reads; both engines return a request that failed for good), or
// the driver gave it back to the pool (history and alarm reads at their end; every
// served v6 request), which shows as every message of the channel's pool being home.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "config.h"
#include "errors.h"
#include "host.h"

namespace hydrix::cli {

struct Exchange {
    bool returned = false;                    // the request came back on the input queue
    bool finished = false;                    // returned, or given back to the pool by the driver
    bool interrupted = false;                 // Ctrl-C
    bool timedOut = false;                    // nothing happened for the whole guard time
    bool noMessage = false;                   // the pool had no message for the request
    ErrorTriple error;                        // of the returned request
    int tries = 1;                            // how often the driver sends a request before it gives up
    double seconds = 0;                       // from the request to its end
    std::vector<unsigned char> area;          // value area of the returned request (first bytes)
    std::vector<std::string> received, sent;  // telegrams on the line while it ran, whole
};

using Fill = std::function<void(HostMsg *request)>;
// Called for every message the driver raised itself (records, time reports), before
// the message goes back to the pool.
using OnMessage = std::function<void(const HostMsg &message)>;

// `guardMs`: give up when nothing arrives for this long. `tries`: the channel's Retries + 1,
// for the error message of a request that failed for good.
Exchange runExchange(Host &host, int channel, const Fill &fill, const OnMessage &onMessage, int guardMs, int tries);

// One request of a query to its node: the request message filled from its parts (and
// `area` for its value area), run with the engine's guard time for the channel's tries.
struct RequestParts {
    uint32_t address = 0, index = 0, direction = 0;
    int32_t length = 0;
    bool history = false;  // a history read: the longer guard time
};
Exchange runRequest(Host &host, const ChannelConfig &channel, Engine engine, uint32_t node, const RequestParts &parts,
                    const Fill &area, const OnMessage &onMessage);

// How long a request may stay silent before the tool gives up: every try may take the
// engine's reply time-out, and the driver tries Retries + 1 times.
int guardTime(Engine engine, int retries, bool history);

}  // namespace hydrix::cli
