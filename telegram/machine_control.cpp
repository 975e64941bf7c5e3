// Machine (pump) commands: a WGS P telegram with the command letter.
#include <cstring>

#include "telegram/addressing.h"
#include "telegram/framing.h"
#include "telegram/handlers.h"

namespace tg {

int32_t hndlMachineControl(TelegramChannel *ch) {
    HostMsg *msg = ch->curMsg.load();
    prepareRequest(ch);
    const int32_t plant = getPlantNumber(ch, msg->node);
    const int item = static_cast<int>(getItemNumber(msg->address));
    const int index = static_cast<int>(msg->index);
    uint16_t command = 0;
    std::memcpy(&command, msg->data, sizeof command);
    switch (command) {
    case 0:
        formatTelegram(ch, " %d WGS P %d F %d #", plant, index, item);
        break;
    case 1:
        formatTelegram(ch, " %d WGS P %d N %d #", plant, index, item);
        break;
    case 2:
        formatTelegram(ch, " %d WGS P %d B %d #", plant, index, item);
        break;
    case 3:
        formatTelegram(ch, " %d WGS P %d M %d #", plant, index, item);
        break;
    default:
        textOutputParm("hndlMachineControl: Error: Unknown command. Should never get here (%d)", command);
        ch->pendErrGroup = ERRGRP_WRITE_PARAM;
        ch->pendErrCode = ERR_MACHINE_COMMAND;
        ch->pendErrSub = command;
        return 0;
    }
    textOutputParm("[C:%d-N:%d]:hndlMachineControl: Sending machine command to plant_id:%d", ch->channelNo,
                   static_cast<int>(msg->node), plant);
    // A data reply (the machine's picture) confirms the command, and so does SCO: either
    // way the station has carried it out, and a command carried out is never sent again.
    // NDA names the picture that had no data (as a picture read does); any other reply
    // fails with a triple that says what came.
    const int32_t r = exchangeTelegram(ch, TAG_SETPOINT);
    if (r < 0) return 0;
    if (r != RX_DATA && r != RX_SCO)
        return replyFailure(ch, r, TAG_SETPOINT, static_cast<uint32_t>(item), "hndlMachineControl");
    return 1;
}

}  // namespace tg
