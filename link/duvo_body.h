// Bodies of phone messages: the ones the PC sends (built in the format that
// msg_version selects and sent with duvo_send_cmd) and the ones it reads.
//
// JSON bodies are printed with cJSON's formatted printer and carry their
// terminating NUL in the length. Received JSON keys match without regard to
// case; a missing number reads as 0 and a missing text as absent unless a
// reader says otherwise. Texts are cut to the field that receives them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/duvo_link.h"

// ---- Sent by the PC. Each returns duvo_send_cmd's result (> 0 sent), or -1
// when the body could not be built (logged with the command's own text).

// New format: one message with the three texts. Old format: three messages
// (SIP URI, auth URI, password), each the text with its NUL.
int duvo_send_user_info(duvo_link *link, const char *sip_uri, const char *auth_uri,
                        const char *password);
int duvo_send_sign_in(duvo_link *link, uint16_t present_status);
// server_ip: host order. log_method = (on != 0), deadline 1, log_level 6.
int duvo_send_syslog_update(duvo_link *link, int on, uint32_t server_ip);
// code: the characters as entered (len bytes, not necessarily NUL-ended).
int duvo_send_pin_verification(duvo_link *link, const char *code, size_t len);
int duvo_send_phone_lock(duvo_link *link, int value);
// Old-format identity messages.
int duvo_send_connect_type(duvo_link *link, int connect_type);
int duvo_send_sw_version(duvo_link *link, const char *version);
int duvo_send_pair_conv_id(duvo_link *link, const char conv_id[48]);
// New-format identity message.
int duvo_send_duvo_cfg(duvo_link *link, const char *duvo_version, int connect_type,
                       const char *conv_id);
int duvo_send_pc_status(duvo_link *link, int pc_status);
// port: local media port, host order; key: key text (at most 128 bytes kept).
int duvo_send_device_active(duvo_link *link, uint32_t port, const char *key);
int duvo_send_device_update(duvo_link *link, const char *display_name, const char *conversation_id,
                            int inc_call_type);
int duvo_send_call_mute_user(duvo_link *link, uint8_t mute_status);
int duvo_send_set_as_mic(duvo_link *link, int active);
int duvo_send_current_volume(duvo_link *link, int volume);
int duvo_send_zoom_rooms_state(duvo_link *link, int type, int state);
int duvo_send_speaker_mute(duvo_link *link, int mute);

// Tells the phone the PC's lock state in the form its format understands;
// nothing while no session runs.
void duvo_report_pc_state(duvo_link *link);

// ---- Read from the phone. ver is the link's msg_version when the message
// arrived (0: old-format body).

constexpr size_t DUVO_DEVICE_NAME_SIZE = 128;
constexpr size_t DUVO_SW_VERSION_SIZE = 128;
constexpr size_t DUVO_SIP_VERSION_SIZE = 32;
constexpr size_t DUVO_URL_SIZE = 512;
constexpr size_t DUVO_GRUU_SIZE = 512;
constexpr size_t DUVO_KEY_SIZE = 128;

// Copies a text body (up to its first NUL) into out, cut to cap - 1 bytes and
// NUL-ended. Returns the length copied.
size_t duvo_read_text(const uint8_t *body, size_t len, char *out, size_t cap);

// First two bytes in network order (vendor id, product id, old revision).
// 0, or -1 when the body is shorter.
int duvo_read_u16_net(const uint8_t *body, size_t len, uint16_t *out);

struct duvo_dev_info {
    char sw_version[DUVO_SW_VERSION_SIZE];
    char update_url[DUVO_URL_SIZE];
    char device_gruu[DUVO_GRUU_SIZE];
    char device_name[DUVO_DEVICE_NAME_SIZE];
    char sip_version[DUVO_SIP_VERSION_SIZE];
    char codec_name[DUVO_CODEC_NAME_SIZE];
    int device_vid, device_pid, device_rev, codec_samplerate;
    int texts_present;  // 1 when all six texts were present
};
// New-format device information. Numbers are 0 when missing. 0, or -1 when
// the body is not JSON (out then all zero).
int duvo_read_dev_info(const uint8_t *body, size_t len, duvo_dev_info *out);

// The phone identity; each text NUL-ended (the wire fields are 32, 32, 32
// and 48 bytes, 144 in all).
constexpr size_t PAIR_MAC_SIZE = 32, PAIR_IP_SIZE = 32, PAIR_NAME_SIZE = 32, PAIR_CONV_SIZE = 48;
constexpr size_t PAIR_CONV_INFO_WIRE_SIZE = 144;
struct pair_conv_info {
    char phone_mac[PAIR_MAC_SIZE + 1];
    char phone_ip[PAIR_IP_SIZE + 1];
    char phone_name[PAIR_NAME_SIZE + 1];
    char conv_id[PAIR_CONV_SIZE + 1];
};
constexpr int DUVO_PAIRED_CONFLICT = 1;
// Returns DUVO_PAIRED_CONFLICT for a 4-byte body, else 0. out is cleared and,
// in the new format, filled only when all four keys are present.
int duvo_read_paired_info(int ver, const uint8_t *body, size_t len, pair_conv_info *out);

// 1 and the GRUU text when present (old format: the body text), else 0.
int duvo_read_gruu(int ver, const uint8_t *body, size_t len, char *out, size_t cap);
// New format only: operate_type, 0 when missing or unparsable.
int duvo_read_syslog_info(const uint8_t *body, size_t len);
// 0 success. New format: a missing key is 0, an unparsable body 1. Old
// format: 4 bytes; a shorter body counts as a failure (1).
int duvo_read_verification_result(int ver, const uint8_t *body, size_t len);
// Pair mode into *mode (new format: 0 when the key is missing). 0, or -1 when
// the body is empty or not JSON (*mode untouched).
int duvo_read_pair_mode(int ver, const uint8_t *body, size_t len, int *mode);
// 1 and the URL when present, else 0.
int duvo_read_update_url(int ver, const uint8_t *body, size_t len, char *out, size_t cap);
// Phone media port and key text (cut to DUVO_KEY_SIZE - 1). 0, or -1 when the
// body carries no port (old format shorter than 4 bytes, or not JSON).
int duvo_read_call_start(int ver, const uint8_t *body, size_t len, uint32_t *port,
                         char key[DUVO_KEY_SIZE]);
// hung_up (default 0) and need_clean (default 1).
void duvo_read_call_end(int ver, const uint8_t *body, size_t len, int *hung_up, int *need_clean);
// DTMF key, 0 when missing.
int duvo_read_dtmf_key(int ver, const uint8_t *body, size_t len);
// JSON in both formats. 0 with command and value (0 when missing), or -1
// when the body is not JSON.
int duvo_read_zoom_command(const uint8_t *body, size_t len, int *command, int *value);
