// The two channel records, one table of 8 each, for the life of the driver.
//
// Fields keep the order and sizes of the configuration they come from. The records are
// laid out with natural alignment rather than packed: they never cross the host boundary,
// and the words that the host's threads and a channel's threads share are std::atomic,
// which must be aligned. A std::atomic<uint32_t> is four bytes like the word it replaces.
#pragma once
#include <atomic>
#include <cstdint>

#include "host/hydrix_host.h"
#include "platform/lock.h"
#include "platform/thread.h"

constexpr int TG_BUF_SIZE = 65792;   // telegram engine transmit and receive buffers
constexpr int V6_DATA_SIZE = 4120;   // v6 line buffer text
constexpr int SETPOINT_COUNT = 128;  // entries 1..127 used
constexpr int SETPOINT_TEXT = 16;
constexpr int V6_ROUTE_SIZE = 4;  // 3 characters and a terminator
constexpr int V6_DEVICE_NAME_SIZE = 20;

#pragma pack(push, 1)
struct SetpointEntry {
    uint16_t index;            // setpoint number as the station sent it
    char type;                 // '0'..'4', 'D', 'I', 'S', 'T' or as received; 0 = empty
    float value;               // 0 for a text and for unknown types
    char text[SETPOINT_TEXT];  // "T" setpoints; zero padded, no terminator at 16 characters
};
#pragma pack(pop)
static_assert(sizeof(SetpointEntry) == 23);

struct TelegramNode {
    uint32_t plant;  // plant number on the wire
    uint32_t node;   // host node number
};

struct TelegramChannel {
    uint32_t channelNo;
    CommHandle commHandle;
    plat::ThreadHandle workerThread;
    std::atomic<uint32_t> stopRequest;
    std::atomic<uint32_t> state;    // worker state; read by canDisconnect
    std::atomic<HostMsg *> curMsg;  // request being served; read by canDisconnect
    int32_t retryCount;
    int32_t retries;
    uint32_t baudRate;
    uint32_t lineSetting;
    CommOverlapped overlapped;
    int32_t txLen;
    int32_t rxLen;
    uint8_t txBuf[TG_BUF_SIZE];
    uint8_t rxBuf[TG_BUF_SIZE];
    uint32_t pendErrCode;
    uint32_t pendErrSub;
    uint32_t pendErrGroup;
    int32_t nodeCount;
    uint32_t directConn;
    std::atomic<int32_t> curPlant;  // -1 = none
    std::atomic<int32_t> curNode;   // -1 = none
    TelegramNode nodeTable[HYDRIX_MAX_NODES];
    SetpointEntry setpointTable[SETPOINT_COUNT];
    std::atomic<uint32_t> engine;  // nonzero telegram engine, 0 v6 engine (both engines)
};

struct V6Buffer;
// Sentinel of V6Buffer::next while a buffer is in no queue (all bits set).
inline V6Buffer *const V6_NOT_QUEUED = reinterpret_cast<V6Buffer *>(~uintptr_t{0});

struct V6Buffer {
    V6Buffer *next;          // next in queue; null at the last; V6_NOT_QUEUED in none
    V6Buffer **returnQueue;  // where the transmitter puts the buffer after sending it
    int32_t length;          // meaningful bytes in data
    uint32_t ioErrGroup;
    uint32_t ioErrCode;
    uint32_t ioErrSub;
    char data[V6_DATA_SIZE];
};

struct V6Node {
    uint32_t node;
    uint32_t word;              // never set by the driver; what preEvent event 3 returns
    char route[V6_ROUTE_SIZE];  // "%d" of the node, or its "Route"; at most 3 characters
};

// What the history and picture parsers keep between the calls of one reply: a parse that
// the host's empty pool paused goes on exactly where it stopped.
struct V6ParseState {
    uint32_t histIndex = 0;
    OrvelTime histTime = 0;  // time of the history record being read
    // A history-time report that found the pool empty and still has to go out.
    enum class Report { None, ChunkDone, HistoryEnded };
    Report histReport = Report::None;
    uint32_t wgsIndex = 0;
    uint32_t wgsSplit = 0;  // the picture header's split count
};

struct V6Channel {
    uint32_t channelNo;
    char deviceName[V6_DEVICE_NAME_SIZE];
    CommHandle commHandle;
    plat::ThreadHandle channelThread;
    plat::ThreadHandle txThread;
    plat::ThreadHandle rxThread;
    CommOverlapped overlapped;
    std::atomic<uint32_t> stopChannelThread;
    std::atomic<uint32_t> stopTx;
    std::atomic<uint32_t> stopRx;
    std::atomic<uint32_t> lowLevelRunning;
    std::atomic<uint32_t> pauseIo;
    std::atomic<uint32_t> rxPaused;
    std::atomic<uint32_t> txPaused;
    plat::CriticalSection rxLock;
    plat::CriticalSection queueLock;
    V6Buffer rxFrame;
    V6Buffer *freeQueue;
    V6Buffer *rxQueue;
    V6Buffer *txQueue;
    V6Buffer *txDoneQueue;
    V6Buffer *replyBuffer;
    char *parseCursor;
    V6ParseState parse;  // the channel's own: parsers of channels run side by side
    std::atomic<uint32_t> state;
    std::atomic<uint32_t> step;
    std::atomic<HostMsg *> curMsg;
    int32_t retryCount;
    int32_t maxRetries;
    std::atomic<uint32_t> timeoutMs;
    std::atomic<uint32_t> startTick;
    uint32_t baudRate;
    uint32_t postEventEnabled;
    uint32_t postEventKind;
    uint32_t postEventIndex;
    uint16_t postEventValue;
    uint32_t nodeCount;
    std::atomic<int32_t> callerStation;
    std::atomic<int32_t> currentStation;
    std::atomic<int32_t> replyStation;
    uint32_t nodeIndex;
    V6Node nodeTable[HYDRIX_MAX_NODES];
    uint32_t directConn;
    uint32_t idNode;
    uint32_t wgdRow;
    std::atomic<uint32_t> hangupPending;
    std::atomic<HostMsg *> hangupWrite;  // the post-event write queued with the hang-up, if any
    std::atomic<uint32_t> disconnectReady;
    uint32_t mccTimeout;
};
