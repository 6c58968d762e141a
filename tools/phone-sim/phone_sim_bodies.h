// Bodies of the messages the phone sends, in the format of the connection
// (new_format: JSON printed with cJSON's formatted printer, NUL counted;
// otherwise the old binary layouts). And the readers of the few PC bodies the
// phone acts on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/phone-sim/phone_sim_options.h"

typedef std::vector<uint8_t> phone_sim_bytes;

constexpr size_t PHONE_SIM_KEY_SIZE = 128;  // key text field of the media messages

// JSON text of a cJSON-formatted object plus its NUL.
phone_sim_bytes phone_sim_json_body(const std::string &json_text);

phone_sim_bytes phone_sim_paired_info_body(bool new_format, const phone_sim_options *o,
                                           const std::string &conv_id);
phone_sim_bytes phone_sim_dev_info_body(const phone_sim_options *o);  // new format only
phone_sim_bytes phone_sim_text_body(const std::string &text);         // text with its NUL
phone_sim_bytes phone_sim_u16_net_body(int value);
phone_sim_bytes phone_sim_pair_mode_body(bool new_format, int mode);
phone_sim_bytes phone_sim_verification_body(bool new_format, int result);
phone_sim_bytes phone_sim_call_end_body(bool new_format, int hung_up);
phone_sim_bytes phone_sim_zoom_body(int command, int value);  // JSON in both formats
phone_sim_bytes phone_sim_call_start_body(bool new_format, uint32_t rtp_port,
                                          const std::string &key);

// The code in a DUVO_CMD_C2P_PIN_VERIFICATION body (new: "pair_code"; old: the
// characters). 0, or -1 when there is none.
int phone_sim_read_pair_code(bool new_format, const uint8_t *body, size_t len, std::string *code);
// "pair_conv_id" of DUVO_CMD_C2P_DUVO_CFG, or the 48-byte old body of
// DUVO_CMD_C2P_PAIR_CONV_ID. 0, or -1 when absent.
int phone_sim_read_conv_id(bool new_format, const uint8_t *body, size_t len, std::string *conv_id);

struct phone_sim_device_active {
    uint32_t pc_rtp_port = 0;  // the PC's RTP port
    std::string srtp_key;      // key line, may be empty
    std::string codec_name;    // new format only
    int codec_samplerate = 0;  // new format only
    std::string pc_ip;         // address of the PC's connection
};
// DUVO_CMD_C2P_DEVICE_ACTIVE. 0, or -1 when the body carries no port.
int phone_sim_read_device_active(bool new_format, const uint8_t *body, size_t len,
                                 phone_sim_device_active *out);
