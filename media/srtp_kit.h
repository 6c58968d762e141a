// One SRTP session with an outbound stream (our key) and an inbound stream
// (the phone's key), plus the parsed parameters for the debug dump.
#pragma once

#include <srtp2/srtp.h>

#include <cstddef>
#include <cstdint>

#include "media/srtp_policy.h"

constexpr int SRTP_DUMP_TEXT_SIZE = 4096;  // bytes
// Room a protected packet may need beyond its clear length.
constexpr int SRTP_KIT_TRAILER_MAX = SRTP_MAX_TRAILER_LEN;
// Own key line: tag, suite, "inline:" and base64 of 30 bytes.
constexpr const char *SRTP_KEY_LINE_PREFIX = "1 AES_CM_128_HMAC_SHA1_80 inline:";
constexpr int SRTP_KEY_LINE_GENERATED_LEN = 73;  // characters

// The library keeps a single any-SSRC template per session, so the inbound
// and the outbound direction each get a session of their own.
struct srtp_kit {
    srtp_t session;     // inbound: the phone's key
    srtp_t tx_session;  // outbound: our key
    srtp_key_policy tx_policy;
    srtp_key_policy rx_policy;
    uint32_t ssrc_tx;
    uint32_t ssrc_rx;
    char tx_line[SRTP_KEY_LINE_MAX + 1];
    char rx_line[SRTP_KEY_LINE_MAX + 1];
};

// Builds the session from the phone's line (dec, inbound) and ours (enc,
// outbound). 0, or SRTP_ERR_BAD_KEY, or the negated library code.
int srtp_kit_create(srtp_kit **out, const char *dec, int dec_len, const char *enc, int enc_len);
void srtp_kit_destroy(srtp_kit *kit);
// Writes the parameters as text into buf (at most size bytes, terminated).
// Returns the length written.
int srtp_kit_dump(const srtp_kit *kit, char *buf, size_t size);

// Protects the RTP packet in place; cap is the buffer size, which must leave
// SRTP_KIT_TRAILER_MAX bytes behind the packet. 0, or the library's code.
int srtp_kit_protect(srtp_kit *kit, uint8_t *pkt, int *len, size_t cap);
// Unprotects in place. 0, or the library's code (7 authentication, 9 replay).
int srtp_kit_unprotect(srtp_kit *kit, uint8_t *pkt, int *len);

// A fresh key line for our sending direction from a cryptographically secure
// generator, into out (at least SRTP_KEY_LINE_MAX + 1 bytes). 0, or -1.
int srtp_key_line_generate(char *out, size_t out_size);
