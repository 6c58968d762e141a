#include "media/srtp_policy.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "media/base64.h"
#include "media/srtp_log.h"

namespace {

enum class suite_choice { aes_cm_80, aes_cm_32, refused };

// Suite names compare exactly; the two modes the library lacks are refused
// rather than run with a different cipher.
suite_choice choose_suite(const char *name) {
    if (strcmp(name, "AES_CM_128_HMAC_SHA1_80") == 0) return suite_choice::aes_cm_80;
    if (strcmp(name, "AES_CM_128_HMAC_SHA1_32") == 0) return suite_choice::aes_cm_32;
    if (strcmp(name, "AEC_CBC_128") == 0 || strcmp(name, "F8_128_HMAC_SHA1_80") == 0)
        return suite_choice::refused;
    srtp_log(SRTP_LOG_FAIL, "SRTP:NOT supported SRTP key\n");
    return suite_choice::aes_cm_80;
}

// Decimal number of the whole text; saturates instead of wrapping.
int parse_decimal(const char *text, unsigned long long *out) {
    if (*text == '\0') return -1;
    for (const char *p = text; *p != '\0'; ++p)
        if (*p < '0' || *p > '9') return -1;
    errno = 0;
    unsigned long long v = strtoull(text, nullptr, 10);
    if (errno == ERANGE) v = ~0ULL;
    *out = v;
    return 0;
}

// "2^n" or a decimal packet count.
int parse_lifetime(const char *text, uint32_t *out) {
    unsigned long long v = 0;
    if (text[0] == '2' && text[1] == '^') {
        unsigned long long n = 0;
        if (parse_decimal(text + 2, &n) != 0) return -1;
        v = n >= 32 ? 0xffffffffULL : (1ULL << n);
    } else if (parse_decimal(text, &v) != 0) {
        return -1;
    }
    *out = v > 0xffffffffULL ? 0xffffffffU : static_cast<uint32_t>(v);
    return 0;
}

// "value:length", the value written big-endian in length bytes.
int parse_mki(char *text, srtp_key_policy *policy) {
    char *colon = strchr(text, ':');
    if (colon == nullptr) return -1;
    *colon = '\0';
    unsigned long long value = 0, len = 0;
    if (parse_decimal(text, &value) != 0 || parse_decimal(colon + 1, &len) != 0) return -1;
    if (len > static_cast<unsigned long long>(SRTP_MKI_MAX)) return -1;
    policy->mki_len = static_cast<int>(len);
    for (int i = 0; i < policy->mki_len; ++i) {
        int shift = 8 * (policy->mki_len - 1 - i);
        policy->mkis[i] = shift >= 64 ? 0 : static_cast<uint8_t>(value >> shift);
    }
    return 0;
}

}  // namespace

int key2policy(srtp_key_policy *policy, const char *line) {
    if (policy == nullptr || line == nullptr) return SRTP_ERR_BAD_KEY;
    *policy = srtp_key_policy{};
    size_t line_len = strnlen(line, SRTP_KEY_LINE_MAX + 1);
    if (line_len > static_cast<size_t>(SRTP_KEY_LINE_MAX)) {
        srtp_log(SRTP_LOG_FAIL, "SRTP:key line longer than %d\n", SRTP_KEY_LINE_MAX);
        return SRTP_ERR_BAD_KEY;
    }
    char work[SRTP_KEY_LINE_MAX + 1];
    memcpy(work, line, line_len);
    work[line_len] = '\0';

    char *rest = strchr(work, ' ');
    if (rest == nullptr) return SRTP_ERR_BAD_KEY;
    ++rest;
    char *params = strchr(rest, ':');
    if (params == nullptr || params[1] == '\0') return SRTP_ERR_BAD_KEY;
    *params++ = '\0';

    while (*rest == ' ') ++rest;
    size_t name_len = strcspn(rest, " ");
    if (name_len == 0) return SRTP_ERR_BAD_KEY;
    if (name_len >= sizeof policy->crypto_name) name_len = sizeof policy->crypto_name - 1;
    memcpy(policy->crypto_name, rest, name_len);
    policy->crypto_name[name_len] = '\0';
    srtp_log(SRTP_LOG_DETAIL, "SRTP:crypto_name[%s],crypto_key[%s]\n", policy->crypto_name, params);

    switch (choose_suite(policy->crypto_name)) {
        case suite_choice::aes_cm_80:
            srtp_crypto_policy_set_aes_cm_128_hmac_sha1_80(&policy->rtp);
            srtp_crypto_policy_set_aes_cm_128_hmac_sha1_80(&policy->rtcp);
            break;
        case suite_choice::aes_cm_32:
            srtp_crypto_policy_set_aes_cm_128_hmac_sha1_32(&policy->rtp);
            srtp_crypto_policy_set_aes_cm_128_hmac_sha1_80(&policy->rtcp);
            break;
        case suite_choice::refused:
            srtp_log(SRTP_LOG_FAIL, "SRTP:NOT supported SRTP key,%s\n", line);
            return SRTP_ERR_BAD_KEY;
    }

    // Key text, then an optional lifetime and an optional MKI, split at '|'.
    char *sections[3] = {params, nullptr, nullptr};
    for (int i = 1; i < 3; ++i) {
        char *bar = strchr(sections[i - 1], '|');
        if (bar == nullptr) break;
        *bar = '\0';
        sections[i] = bar + 1;
    }
    char *mki_text = nullptr;
    if (sections[1] == nullptr) {
        srtp_log(SRTP_LOG_DETAIL, "SRTP:No life time section\n");
    } else if (sections[2] != nullptr || strchr(sections[1], ':') == nullptr) {
        srtp_log(SRTP_LOG_DETAIL, "SRTP:have life time section\n");
        if (parse_lifetime(sections[1], &policy->lifetime) != 0) {
            srtp_log(SRTP_LOG_FAIL, "SRTP:bad life time,%s\n", sections[1]);
            return SRTP_ERR_BAD_KEY;
        }
        mki_text = sections[2];
    } else {
        srtp_log(SRTP_LOG_DETAIL, "SRTP:No life time section\n");
        mki_text = sections[1];
    }
    if (mki_text != nullptr && parse_mki(mki_text, policy) != 0) {
        srtp_log(SRTP_LOG_FAIL, "SRTP:bad MKI section\n");
        return SRTP_ERR_BAD_KEY;
    }

    size_t key_text_len = strlen(sections[0]);
    int n = b64_decode(sections[0], key_text_len, policy->crypto_key, sizeof policy->crypto_key);
    if (n == -1) {
        srtp_log(SRTP_LOG_FAIL, "SRTP:NOT align to 4,%s\n", sections[0]);
        srtp_log(SRTP_LOG_FAIL, "SRTP:Inline parse base64 is null.\n");
        return SRTP_ERR_BAD_KEY;
    }
    if (n < 0) {
        srtp_log(SRTP_LOG_FAIL, "SRTP:key longer than %d bytes\n", SRTP_CRYPTO_KEY_SIZE);
        return SRTP_ERR_BAD_KEY;
    }
    // A short key would leave most of the master key zero: refuse it.
    if (n < SRTP_AES_CM_128_KEY_SALT) {
        srtp_log(SRTP_LOG_FAIL, "SRTP:key of %d bytes, %d needed\n", n, SRTP_AES_CM_128_KEY_SALT);
        return SRTP_ERR_BAD_KEY;
    }
    policy->key_len = n;
    policy->roc = 0;
    policy->seq = 0;
    policy->index = 0;
    return 0;
}
