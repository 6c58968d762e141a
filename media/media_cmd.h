// Phone command ids that the media path asks the session to send (code of an
// EVT_SEND_CMD event). Named apart from the link's own table so that both
// headers can meet in one file.
#pragma once

#include <cstdint>

constexpr uint32_t MEDIA_CMD_DEVICE_ACTIVE = 64;      // invite the phone to open its RTP port
constexpr uint32_t MEDIA_CMD_DEVICE_UN_ACTIVE = 65;   // the stream is being closed
constexpr uint32_t MEDIA_CMD_DEVICE_UPDATE = 66;      // conversation id and name of a new stream
constexpr uint32_t MEDIA_CMD_DEVICE_SET_AS_MIC = 69;  // value: capture interface state

// DEVICE_ACTIVE body: local media port (u32, host order) + key line field.
constexpr size_t MEDIA_ACTIVE_KEY_FIELD = 128;
constexpr size_t MEDIA_ACTIVE_BODY_SIZE = 4 + MEDIA_ACTIVE_KEY_FIELD;
// DEVICE_UPDATE body: conversation id, display name, then one byte 1.
constexpr size_t MEDIA_UPDATE_FIELD = 128;
constexpr size_t MEDIA_UPDATE_BODY_SIZE = 2 * MEDIA_UPDATE_FIELD + 1;
