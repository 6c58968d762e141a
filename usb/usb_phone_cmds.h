// Phone command ids that the virtual device asks the session to send, as the
// code of an EVT_SEND_CMD event. The device cannot include the phone link's
// command table (the link depends on the device, not the other way round),
// so the ids it posts live here, in a namespace of their own so that they
// never clash with the link's table.
#pragma once

#include <cstdint>

namespace vusb_cmd {
constexpr uint32_t DUVO_CMD_C2P_CFG_USER_INFO = 16;
constexpr uint32_t DUVO_CMD_C2P_CFG_CANCEL = 21;
constexpr uint32_t DUVO_CMD_C2P_CLT_SING_IN = 23;
constexpr uint32_t DUVO_CMD_C2P_CLT_SING_OUT = 24;
constexpr uint32_t DUVO_CMD_C2P_DEVICE_UPDATE = 66;
constexpr uint32_t DUVO_CMD_C2P_CALL_MUTE_USER = 68;
constexpr uint32_t DUVO_CMD_C2P_CURRENT_VOLUME = 105;
constexpr uint32_t DUVO_CMD_C2P_ZOOM_ROOMS_STATE = 106;
constexpr uint32_t DUVO_CMD_C2P_SPEAKER_MUTE = 107;
}  // namespace vusb_cmd
