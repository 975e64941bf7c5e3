// The Modbus register map: every station is a unit (its node number, or its Units=
// entry), every item of the station a block of input registers in the order of the item
// list: each value a 32-bit float in two registers, then the item's status block. The
// same addresses read as holding registers; holding registers of a setpoints item are
// written as setpoints, and coil N-1 of a unit sends machine N start (on) or stop (off).
//
// Status block (10 registers, 32-bit numbers in the profile's word order):
//   +0 quality: 0 good, 1 never read, 2 the last read failed (the value is the last
//      good one), 3 stale (the last good value is older than the limit)
//   +1 age of the last good value in seconds (0xFFFFFFFF: never read), 32 bits
//   +3 error group, +5 error code, +7 error sub of the last failed read, 32 bits each
//   +9 failed reads in a row (up to 65535)
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "output.h"
#include "serve_config.h"
#include "store.h"

namespace hydrix::serve {

inline constexpr int kStatusRegisters = 10;

struct Block {
    std::string item;   // the store's name of the item
    std::string label;  // "picture 1", "report", "setpoints"
    bool setpoints = false;
    int first = 0, count = 0;
    uint32_t values = 0;  // first register of the values
    uint32_t status = 0;  // first register of the status block
    double staleLimit = 60;
    std::vector<Tag> tags;  // per value ([Serve\Tags]; an empty name: none given)
    double scale(int i) const { return static_cast<size_t>(i) < tags.size() ? tags[static_cast<size_t>(i)].scale : 1; }
};

struct Unit {
    int unit = 0;
    int channel = 0;
    uint32_t node = 0;
    std::vector<Block> blocks;
    uint32_t end = 0;  // registers in use: 0 to end-1
};

struct RegisterMap {
    std::vector<Unit> units;
    WordOrder order = WordOrder::ABCD;
    const Unit *find(int unit) const;
};

// The map of a section; nothing with *error when a station's blocks do not fit into
// 65536 registers.
std::optional<RegisterMap> buildMap(const ServeConfig &serve, std::string *error);

// The whole map for the integrator: a table, CSV, or one JSON object per register group.
std::string mapText(const RegisterMap &map, cli::Format format);

void encodeFloat(float value, WordOrder order, uint16_t out[2]);
float decodeFloat(const uint16_t in[2], WordOrder order);
void encodeU32(uint32_t value, WordOrder order, uint16_t out[2]);

// Modbus exception codes this gateway answers with.
enum : uint8_t {
    kIllegalFunction = 0x01,
    kIllegalAddress = 0x02,
    kIllegalValue = 0x03,
    kDeviceFailure = 0x04,
    kGatewayPath = 0x0A,
    kGatewayTarget = 0x0B,
};

// Registers [address, address+count) of a unit from the store: 0, or the exception to
// answer. A range that touches a value of an item that was never read or is stale is
// answered 0x0B as a whole; status registers always answer.
uint8_t readRegisters(const RegisterMap &map, const Store &store, int unit, uint32_t address, uint32_t count,
                      Clock::time_point now, uint16_t *out);

// The setpoint that holding registers [address, address+2) of a unit write, if any.
struct SetpointPlace {
    int channel = 0;
    uint32_t node = 0;
    int setpoint = 0;
    double scale = 1;  // the value written is divided by it
};
std::optional<SetpointPlace> setpointAt(const RegisterMap &map, int unit, uint32_t address);

}  // namespace hydrix::serve
