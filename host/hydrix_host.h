/* The C boundary between a host process and the HYDRIX driver library.
 *
 * Both sides compile against this header: the driver (libhydrix.so, or hydrix.dll on
 * Windows) exports the
 * eleven entry points and imports the host services; a host implements the
 * services and calls the entry points. Everything here has C linkage. */
#ifndef HYDRIX_HOST_H
#define HYDRIX_HOST_H
/* The boundary header keeps its hand-aligned tables: the formatter leaves it alone. */
/* clang-format off */

#include <stdint.h>

#ifdef _WIN32
/* The port records are the Windows ones. The header's own names avoid the macros that
 * <windows.h> defines, so either header may come first. */
#include <windows.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Types ------------------------------------------------------------ */

typedef uint64_t OrvelTime;    /* 100-ns units since 1601-01-01 00:00 UTC; 0 is "no time" */
#ifdef _WIN32
typedef HANDLE CommHandle;     /* an open COM port */
#define COMM_HANDLE_INVALID INVALID_HANDLE_VALUE /* all bits set */
#else
typedef intptr_t CommHandle;   /* Linux: the file descriptor of a tty */
#define COMM_HANDLE_INVALID ((CommHandle)-1) /* all bits set */
#endif

typedef struct HostMsg {
    uint32_t  hostWord1;       /* host's own, never touched */
    uint32_t  node;
    uint32_t  address;
    uint32_t  index;
    uint32_t  direction;
    int32_t   length;
    uint32_t  hostWord2;       /* host's own */
    uint32_t  errGroup;
    uint32_t  errCode;
    uint32_t  errSub;
    OrvelTime timeStamp;
    uint32_t  hostWord3;       /* host's own */
    void     *data;            /* value area, owned by the host */
} HostMsg;

#ifdef _WIN32
typedef OVERLAPPED CommOverlapped; /* the overlapped-I/O record of the channel's port */
typedef DCB CommLine;              /* the line settings */
typedef COMMTIMEOUTS CommTimeouts; /* milliseconds */
#else
typedef struct CommOverlapped { /* where Windows has OVERLAPPED; the host may use the words */
    uint32_t word[5];
} CommOverlapped;

typedef struct CommLine {      /* where Windows has DCB: the line settings */
    uint32_t baudRate;         /* bits per second */
    uint8_t  byteSize;         /* 5 to 8 */
    uint8_t  parity;           /* 0 none, 1 odd, 2 even, 3 mark, 4 space */
    uint8_t  stopBits;         /* 0 one, 1 one and a half, 2 two */
    uint8_t  dtrControl;       /* 0 disable, 1 enable, 2 handshake */
    uint8_t  rtsControl;       /* 0 disable, 1 enable, 2 handshake, 3 toggle */
    uint8_t  reserved[3];
} CommLine;

typedef struct CommTimeouts {  /* milliseconds */
    uint32_t readIntervalTimeout;
    uint32_t readTotalTimeoutMultiplier;
    uint32_t readTotalTimeoutConstant;
    uint32_t writeTotalTimeoutMultiplier;
    uint32_t writeTotalTimeoutConstant;
} CommTimeouts;
#endif

typedef struct CommSettings {  /* line settings, then time-outs */
    CommLine     line;
    CommTimeouts timeouts;
} CommSettings;

/* ---- Named values ----------------------------------------------------- */

enum { HYDRIX_CHANNELS = 8, HYDRIX_MAX_NODES = 256 };

/* driverState, as drvQueryState returns it */
enum {
    DRV_STATE_STOPPED  = 0,
    DRV_STATE_RUNNING  = 1,
    DRV_STATE_STOPPING = 3,
    DRV_STATE_STARTING = 4
};

/* HostMsg.direction */
enum {
    DIR_READ       = 1,
    DIR_WRITE      = 2,
    DIR_READ_TIME  = 16 /* a read too; the driver's own history-time reports */
};

/* CommLine.dtrControl (on Windows DCB.fDtrControl, with <windows.h>'s own names) */
#ifndef _WIN32
enum { DTR_CONTROL_DISABLE = 0, DTR_CONTROL_ENABLE = 1, DTR_CONTROL_HANDSHAKE = 2 };
#endif

/* Telegram engine request kinds: HostMsg.address bits 8..15 (bits 0..7: item) */
enum {
    KIND_PICTURE   = 0,
    KIND_REPORT    = 1,
    KIND_SETPOINTS = 2,
    KIND_HISTORY   = 3,
    KIND_ALARMS    = 4,
    KIND_MACHINE   = 5
};
#define TELEGRAM_ADDRESS(kind, item) ((uint32_t)(((kind) & 0xFF) << 8 | ((item) & 0xFF)))
#define TELEGRAM_KIND(address)       (((address) >> 8) & 0xFF)
#define TELEGRAM_ITEM(address)       ((address) & 0xFF)

/* v6 engine request codes: HostMsg.address bits 0..15; bits 16..23 end a WGS telegram */
enum {
    V6_MCC_WRITE_LAST = 7,   /* codes 0..7: MCC write */
    V6_MAS_READ       = 12,
    V6_MAS_WRITE      = 13,
    V6_MCC_READ       = 14,
    V6_OK             = 15,
    V6_WGD_REPORT     = 16,
    V6_WGS_PICTURE    = 17,
    V6_WGH_HISTORY    = 19,
    V6_WCA_ALARMS     = 20,
    V6_ALO_ACK        = 21,
    V6_BRK            = 22,
    V6_MACHINE        = 23
};
#define V6_ADDRESS(code, picture) ((uint32_t)(((picture) & 0xFF) << 16 | ((code) & 0xFFFF)))

/* Error groups */
enum {
    ERRGRP_OUT_OF_BUFFERS = 11,
    ERRGRP_LINE           = 20, /* no reply start, bad block check, bad framing */
    ERRGRP_LINE_END       = 21, /* reply started, no end; v6: transmit failures */
    ERRGRP_NO_PORT_READ   = 22,
    ERRGRP_NO_PORT_SEND   = 23,
    ERRGRP_V6_RX_LINE     = 24, /* v6: a line error (parity, framing, overrun) in a reply */
    ERRGRP_CONTENT        = 41, /* request and reply content */
    ERRGRP_WRITE_PARAM    = 42  /* write parameters */
};

/* Error codes of the telegram engine (group in the comment) */
enum {
    ERR_TIMEOUT            = 17666, /* 20: no STX in 5 s; 21: no CR LF in 5 s */
    ERR_BCC                = 17667, /* 20, sub = request tag */
    ERR_FRAMING            = 17668, /* 20, sub = request tag */
    ERR_PICTURE_SHORT      = 17669, /* 41, sub = picture number */
    ERR_PICTURE_FIELDS     = 17670, /* 41, sub = picture number */
    ERR_NO_PORT_SEND       = 17671, /* 23 */
    ERR_UNKNOWN_READ       = 17672, /* 41, sub = kind */
    ERR_UNKNOWN_WRITE      = 17673, /* 41, sub = kind */
    ERR_REPORT_COUNT       = 17674, /* 41, sub = number of values */
    ERR_REPORT_SHORT       = 17675, /* 41, sub = rows + 1 */
    ERR_NO_DATA            = 17676, /* 41, sub 1 report, 2 setpoints */
    ERR_SCE                = 17677, /* 41, sub = request tag (3 for a setpoint write) */
    ERR_SETPOINT_NUMBER    = 17678, /* 41, sub = setpoint number */
    ERR_SETPOINT_INDEX     = 17679, /* 42, sub = setpoint index */
    ERR_SETPOINT_TYPE      = 17680, /* 42, sub = setpoint index */
    ERR_HISTORY_FIELDS     = 17681, /* 41, sub = fields found */
    ERR_HISTORY_TIME       = 17682, /* 41, sub = system error */
    ERR_HISTORY_NO_MSG     = 17683, /* 41 */
    ERR_ALARM_FIELDS       = 17684, /* 41, sub = fields found */
    ERR_ALARM_NO_MSG       = 17686, /* 41 */
    ERR_NO_PORT_READ       = 17687, /* 22 */
    ERR_MACHINE_COMMAND    = 17688  /* 42, sub = command word */
};

/* Error codes of the v6 engine */
enum {
    ERR_V6_NO_TX_BUFFER    = 64, /* group 11 */
    ERR_V6_TX_TIMEOUT      = 82, /* group 21 */
    ERR_V6_RX_TIMEOUT      = 83, /* group 20 */
    /* What the v6 receiver found wrong with a reply (group 20; a line error: group 24) */
    ERR_V6_RX_LINE         = 17,    /* parity, framing or overrun on the line */
    ERR_V6_RX_CHECKSUM     = 71,    /* block check mismatch */
    ERR_V6_RX_NO_LEAD      = 15373  /* no lead byte (STX or SOH) */
};

/* Event-log identifiers */
#define EVT_V6_NO_DEVICE_NAME   0xC2100B55u
#define EVT_V6_START_FAILED     0xC2100B58u
#define EVT_V6_STARTED          0xC2100B5Au
#define EVT_PURGE_FAILED        0xC10A06A9u

/* ---- Entry points exported by the driver ------------------------------ */

/* On Windows the exports come from the driver's .def file, and the calling convention of
 * the entry points and of the host services (all but the two with a variable argument
 * list, which are always __cdecl) is a build setting: __cdecl unless HYDRIX_STDCALL is
 * defined. Elsewhere it is the platform's one convention. */
#if defined(_WIN32)
#define HYDRIX_EXPORT
#if defined(HYDRIX_STDCALL)
#define HYDRIX_CALL __stdcall
#else
#define HYDRIX_CALL __cdecl
#endif
#define HYDRIX_PRINTF(f, a) __attribute__((format(gnu_printf, f, a)))
#else
#if defined(HYDRIX_BUILDING_DRIVER)
#define HYDRIX_EXPORT __attribute__((visibility("default")))
#else
#define HYDRIX_EXPORT
#endif
#define HYDRIX_CALL
#define HYDRIX_PRINTF(f, a) __attribute__((format(printf, f, a)))
#endif

HYDRIX_EXPORT int32_t HYDRIX_CALL drvInstall(const char *section);
HYDRIX_EXPORT int32_t HYDRIX_CALL drvUnInstall(void);
HYDRIX_EXPORT int32_t HYDRIX_CALL drvStart(void);
HYDRIX_EXPORT int32_t HYDRIX_CALL drvStop(void);
HYDRIX_EXPORT int32_t HYDRIX_CALL drvQueryState(void);
HYDRIX_EXPORT int32_t HYDRIX_CALL drvHndlTimer(void);
HYDRIX_EXPORT int32_t HYDRIX_CALL drvAddChan(int32_t channel, const char *section);
HYDRIX_EXPORT int32_t HYDRIX_CALL drvInitComm(uint32_t channel, CommHandle handle);
/* the event code is the low 8 bits of `event`, read as a signed 8-bit number */
HYDRIX_EXPORT int32_t HYDRIX_CALL preEvent(uint32_t channel, int32_t event, uint32_t node,
                                           int32_t *resultFlag);
HYDRIX_EXPORT int32_t HYDRIX_CALL postEvent(uint32_t channel);
HYDRIX_EXPORT int32_t HYDRIX_CALL canDisconnect(uint32_t channel);

/* Function pointer types, for hosts that load the library with dlopen or LoadLibrary */
typedef int32_t (HYDRIX_CALL *drvInstall_fn)(const char *);
typedef int32_t (HYDRIX_CALL *drvVoid_fn)(void);
typedef int32_t (HYDRIX_CALL *drvAddChan_fn)(int32_t, const char *);
typedef int32_t (HYDRIX_CALL *drvInitComm_fn)(uint32_t, CommHandle);
typedef int32_t (HYDRIX_CALL *preEvent_fn)(uint32_t, int32_t, uint32_t, int32_t *);
typedef int32_t (HYDRIX_CALL *drvChannel_fn)(uint32_t);

/* ---- Host services imported by the driver ----------------------------- */

/* collector library: queues and pool (thread-safe) */
HostMsg   *HYDRIX_CALL getMsgFromSapOq(int32_t channel);
int32_t    HYDRIX_CALL insMsgToSapOq(int32_t channel, HostMsg *msg);
int32_t    HYDRIX_CALL putMsgToSapOq(int32_t channel, HostMsg *msg);
int32_t    HYDRIX_CALL putMsgToSapIq(int32_t channel, HostMsg *msg);
HostMsg   *HYDRIX_CALL getMsgFromPool(int32_t channel);
int32_t    HYDRIX_CALL putMsgToPool(int32_t channel, HostMsg *msg);

/* collector library: process state, timing and text */
const void *HYDRIX_CALL getDap(void);     /* second 16-bit word, signed, >= 2: host ready */
uint32_t   HYDRIX_CALL timeExpired(uint32_t startTick);
int32_t    HYDRIX_CALL memswap(void *dest, const void *src, int32_t wordCount);
int32_t    HYDRIX_CALL setDrvExtInterface(int32_t flag);
int32_t    HYDRIX_CALL textOutput(const char *text);
int32_t    textOutputParm(const char *format, ...) HYDRIX_PRINTF(1, 2);

/* collector library: serial port */
CommHandle HYDRIX_CALL getCommHandle(int32_t channel);
int32_t    HYDRIX_CALL reopenCommHandle(int32_t channel, CommHandle *handle);
int32_t    HYDRIX_CALL initOverlapped(CommOverlapped *overlapped);
int32_t    HYDRIX_CALL readComm(CommHandle handle, CommOverlapped *overlapped, int32_t flags,
                                void *buffer, uint32_t count, uint32_t *errGroup, uint32_t *errCode);
int32_t    HYDRIX_CALL writeComm(CommHandle handle, CommOverlapped *overlapped, int32_t flags,
                                 const void *buffer, uint32_t count, uint32_t *errGroup, uint32_t *errCode);
int32_t    HYDRIX_CALL getDefaultCommSettings(int32_t channel, CommHandle handle, CommSettings *settings);
int32_t    HYDRIX_CALL configComm(int32_t channel, CommHandle handle, CommSettings *settings);

/* profile library */
int32_t HYDRIX_CALL myGetPrivateProfileInt(const char *section, const char *key,
                                           int32_t defaultValue, int32_t reserved);
int32_t HYDRIX_CALL myGetPrivateProfileString(const char *section, const char *key,
                                              const char *defaultText, char *buffer,
                                              uint32_t bufferSize, int32_t reserved);
int32_t logEvent(int32_t kind, uint32_t eventId, uint32_t osError, const char *source,
                 int32_t sourceLine, int32_t reserved1, int32_t reserved2,
                 const char *format, ...) HYDRIX_PRINTF(8, 9);

/* time library */
int32_t   HYDRIX_CALL offsetTZ(OrvelTime *time, int32_t direction, int32_t reserved1,
                               int32_t reserved2, int32_t reserved3);
int32_t   HYDRIX_CALL addORVELTimeDay(OrvelTime *time, int32_t days);
OrvelTime HYDRIX_CALL zeroORVELTime(void);
int32_t   HYDRIX_CALL isZeroORVELTime(const OrvelTime *time);

#ifdef __cplusplus
}
#endif

#endif /* HYDRIX_HOST_H */
/* clang-format on */
