// SDES-style key lines turned into the parameters of one SRTP direction.
#pragma once

#include <srtp2/srtp.h>

#include <cstddef>
#include <cstdint>

constexpr int SRTP_KEY_LINE_MAX = 128;     // characters, without terminator
constexpr int SRTP_CRYPTO_NAME_SIZE = 32;  // bytes, terminator included
constexpr int SRTP_CRYPTO_KEY_SIZE = 48;   // master key + salt, zero-padded
constexpr int SRTP_MKI_MAX = SRTP_MAX_MKI_LEN;
// Bytes of master key and salt every accepted suite needs.
constexpr int SRTP_AES_CM_128_KEY_SALT = 30;
// Bad key line or parameters.
constexpr int SRTP_ERR_BAD_KEY = -14;

struct srtp_key_policy {
    char crypto_name[SRTP_CRYPTO_NAME_SIZE];
    uint8_t crypto_key[SRTP_CRYPTO_KEY_SIZE];
    int ssrc_type;  // library numbering: 3 any outbound, 2 any inbound
    uint32_t ssrc_value;
    srtp_crypto_policy_t rtp;
    srtp_crypto_policy_t rtcp;
    int mki_len;  // bytes, 0 = none
    uint8_t mkis[SRTP_MKI_MAX];
    uint32_t lifetime;  // packets, 0 = not given
    int roc;
    int seq;
    int index;
    srtp_key_policy *next;
    int key_len;  // decoded bytes in crypto_key
};

// Parses one key line into policy (cleared first). 0, or SRTP_ERR_BAD_KEY with
// the reason in the SRTP log. Keeps no state between calls.
int key2policy(srtp_key_policy *policy, const char *line);
