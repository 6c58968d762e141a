#include "media/srtp_kit.h"

#include <openssl/rand.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "media/base64.h"
#include "media/srtp_log.h"
#include "platform/log.h"

namespace {

constexpr int kCreateNoMemory = -14;

int parse_direction(const char *line, int len, char *copy, srtp_key_policy *policy,
                    const char *fail_fmt) {
    if (line == nullptr || len < 0 || len > SRTP_KEY_LINE_MAX) {
        srtp_log(SRTP_LOG_FAIL, fail_fmt, line != nullptr && len >= 0 ? "(too long)" : "(none)");
        return SRTP_ERR_BAD_KEY;
    }
    memcpy(copy, line, static_cast<size_t>(len));
    copy[len] = '\0';
    int rc = key2policy(policy, copy);
    if (rc != 0) srtp_log(SRTP_LOG_FAIL, fail_fmt, copy);
    return rc;
}

// Fills the library's policy for one direction. keys/master stay owned by the
// caller and must live until srtp_create has returned (it copies them).
void to_library(const srtp_key_policy &p, srtp_policy_t *out, srtp_master_key_t *master,
                srtp_master_key_t **master_list) {
    memset(out, 0, sizeof *out);
    out->ssrc.type = static_cast<srtp_ssrc_type_t>(p.ssrc_type);
    out->ssrc.value = p.ssrc_value;
    out->rtp = p.rtp;
    out->rtcp = p.rtcp;
    if (p.mki_len > 0) {
        master->key = const_cast<uint8_t *>(p.crypto_key);
        master->mki_id = const_cast<uint8_t *>(p.mkis);
        master->mki_size = static_cast<unsigned>(p.mki_len);
        master_list[0] = master;
        out->keys = master_list;
        out->num_master_keys = 1;
    } else {
        out->key = const_cast<uint8_t *>(p.crypto_key);
    }
}

// Appends one formatted line; fails once the text would reach the buffer size.
struct dump_writer {
    char *buf;
    size_t size;
    size_t len = 0;
    bool full = false;

    void line(const char *fmt, ...) __attribute__((format(printf, 2, 3))) {
        if (full) return;
        va_list ap;
        va_start(ap, fmt);
        int n = vsnprintf(buf + len, size - len, fmt, ap);
        va_end(ap);
        if (n < 0 || len + static_cast<size_t>(n) >= size) {
            buf[len] = '\0';  // drop the line that does not fit
            full = true;
            return;
        }
        len += static_cast<size_t>(n);
    }
};

void dump_policy(dump_writer &w, const char *word, const srtp_key_policy &p) {
    w.line("%s%s\n", word, ":");
    w.line("%-12s=%d\n", "index", p.index);
    w.line("%-12s=%d\n", "roc", p.roc);
    w.line("%-12s=%d\n", "seq", p.seq);
    w.line("%-12s=%d\n", "ssrc type", p.ssrc_type);
    w.line("%-12s=0x%08x\n", "ssrc value", p.ssrc_value);
    w.line("%-12s=%s\n", "crypto name", p.crypto_name);
    // Raw bytes up to the first zero, bounded by the field.
    w.line("%-12s=%.*s\n", "crypto key",
           static_cast<int>(
               strnlen(reinterpret_cast<const char *>(p.crypto_key), sizeof p.crypto_key)),
           reinterpret_cast<const char *>(p.crypto_key));
    w.line("%-12s=%.*s\n", "mkis",
           static_cast<int>(
               strnlen(reinterpret_cast<const char *>(p.mkis), static_cast<size_t>(p.mki_len))),
           reinterpret_cast<const char *>(p.mkis));
    w.line("%-12s=%d\n", "mki len", p.mki_len);
}

}  // namespace

int srtp_kit_create(srtp_kit **out, const char *dec, int dec_len, const char *enc, int enc_len) {
    if (out == nullptr) return SRTP_ERR_BAD_KEY;
    *out = nullptr;
    srtp_kit *kit = new (std::nothrow) srtp_kit{};
    if (kit == nullptr) {
        srtp_log(SRTP_LOG_FAIL, "SRTP:No free memory\n");
        return kCreateNoMemory;
    }
    int rc = parse_direction(enc, enc_len, kit->tx_line, &kit->tx_policy,
                             "SRTP:tx key2policy failed,%s\n");
    if (rc == 0)
        rc = parse_direction(dec, dec_len, kit->rx_line, &kit->rx_policy,
                             "SRTP:rx key2policy failed,%s\n");
    if (rc != 0) {
        OPENSSL_cleanse(kit, sizeof *kit);
        delete kit;
        return rc;
    }
    kit->tx_policy.ssrc_type = ssrc_any_outbound;
    kit->tx_policy.next = nullptr;
    kit->rx_policy.ssrc_type = ssrc_any_inbound;
    kit->rx_policy.next = &kit->tx_policy;

    srtp_policy_t rx{}, tx{};
    srtp_master_key_t rx_master{}, tx_master{};
    srtp_master_key_t *rx_list[1] = {}, *tx_list[1] = {};
    to_library(kit->rx_policy, &rx, &rx_master, rx_list);
    to_library(kit->tx_policy, &tx, &tx_master, tx_list);
    srtp_err_status_t st = srtp_create(&kit->session, &rx);
    if (st == srtp_err_status_ok) {
        st = srtp_create(&kit->tx_session, &tx);
        if (st != srtp_err_status_ok) {
            srtp_dealloc(kit->session);
            kit->session = nullptr;
        }
    }
    if (st != srtp_err_status_ok) {
        srtp_log(SRTP_LOG_FAIL, "SRTP:srtp_create():failed,%d\n", st);
        OPENSSL_cleanse(kit, sizeof *kit);
        delete kit;
        return -static_cast<int>(st);
    }
    *out = kit;
    return 0;
}

void srtp_kit_destroy(srtp_kit *kit) {
    if (kit == nullptr) return;
    if (kit->session != nullptr) srtp_dealloc(kit->session);
    if (kit->tx_session != nullptr) srtp_dealloc(kit->tx_session);
    // Key material is not left behind in freed memory.
    OPENSSL_cleanse(kit, sizeof *kit);
    delete kit;
}

int srtp_kit_dump(const srtp_kit *kit, char *buf, size_t size) {
    if (buf == nullptr || size == 0) return 0;
    buf[0] = '\0';
    if (kit == nullptr) return 0;
    dump_writer w{buf, size};
    w.line("%s%s\n", "SRTP", ":");
    w.line("%-12s=%d\n", "dbg level", srtp_log_level());
    w.line("%-12s=0x%08lx\n", "dbg cb", reinterpret_cast<unsigned long>(srtp_log_get_hook()));
    w.line("%-12s=0x%08lx\n", "session", reinterpret_cast<unsigned long>(kit->session));
    w.line("%-12s=0x%08x\n", "ssrc tx", kit->ssrc_tx);
    w.line("%-12s=0x%08x\n", "ssrc rx", kit->ssrc_rx);
    dump_policy(w, "enc", kit->tx_policy);
    dump_policy(w, "dec", kit->rx_policy);
    return static_cast<int>(w.len);
}

int srtp_kit_protect(srtp_kit *kit, uint8_t *pkt, int *len, size_t cap) {
    if (kit == nullptr || pkt == nullptr || len == nullptr || *len <= 0 ||
        static_cast<size_t>(*len) + SRTP_KIT_TRAILER_MAX > cap) {
        srtp_log(SRTP_LOG_FAIL, "SRTP:srtp_protect():failed,%d\n", srtp_err_status_bad_param);
        return srtp_err_status_bad_param;
    }
    srtp_err_status_t st = kit->tx_policy.mki_len > 0
                               ? srtp_protect_mki(kit->tx_session, pkt, len, 1, 0)
                               : srtp_protect(kit->tx_session, pkt, len);
    if (st != srtp_err_status_ok) srtp_log(SRTP_LOG_FAIL, "SRTP:srtp_protect():failed,%d\n", st);
    return st;
}

int srtp_kit_unprotect(srtp_kit *kit, uint8_t *pkt, int *len) {
    if (kit == nullptr || pkt == nullptr || len == nullptr || *len <= 0) {
        srtp_log(SRTP_LOG_FAIL, "SRTP:srtp_unprotect():failed,%d\n", srtp_err_status_bad_param);
        return srtp_err_status_bad_param;
    }
    srtp_err_status_t st = kit->rx_policy.mki_len > 0
                               ? srtp_unprotect_mki(kit->session, pkt, len, 1)
                               : srtp_unprotect(kit->session, pkt, len);
    if (st != srtp_err_status_ok) srtp_log(SRTP_LOG_FAIL, "SRTP:srtp_unprotect():failed,%d\n", st);
    return st;
}

int srtp_key_line_generate(char *out, size_t out_size) {
    if (out == nullptr || out_size < static_cast<size_t>(SRTP_KEY_LINE_GENERATED_LEN) + 1)
        return -1;
    uint8_t key[SRTP_AES_CM_128_KEY_SALT];
    if (RAND_bytes(key, sizeof key) != 1) {
        log_print(0, LL_ERR, "srtp key generate fail\n");
        out[0] = '\0';
        return -1;
    }
    size_t prefix = strlen(SRTP_KEY_LINE_PREFIX);
    memcpy(out, SRTP_KEY_LINE_PREFIX, prefix);
    int n = b64_encode(key, sizeof key, out + prefix, out_size - prefix);
    OPENSSL_cleanse(key, sizeof key);
    return n < 0 ? -1 : 0;
}
