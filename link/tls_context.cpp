#include "link/tls_context.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <atomic>
#include <cstring>

#include "link/certs/certs.h"
#include "platform/log.h"

namespace {

constexpr int SUBJECT_LINE_MAX = 256;  // characters of a subject in the log, with the zero

typedef int (*security_cb)(const SSL *, const SSL_CTX *, int, int, int, void *, void *);
std::atomic<security_cb> g_default_security;  // the library's own, the same for every context

// TLS 1.0 and 1.1 sign the handshake with MD5+SHA-1, which security level 1
// refuses. The phone may speak only TLS 1.0, so that one signature is admitted
// for those versions; everything else keeps the library's level.
int legacy_security(const SSL *s, const SSL_CTX *ctx, int op, int bits, int nid, void *other,
                    void *ex) {
    if (g_default_security.load()(s, ctx, op, bits, nid, other, ex)) return 1;
    return s != nullptr && (op & SSL_SECOP_OTHER_TYPE) == SSL_SECOP_OTHER_SIGALG &&
           nid == NID_md5_sha1 && SSL_version(s) < TLS1_2_VERSION;
}

struct bio_ptr {
    BIO *bio;
    explicit bio_ptr(cert_id id) {
        cert_blob blob = certs_get(id);
        bio = BIO_new_mem_buf(blob.data, int(blob.size));
    }
    ~bio_ptr() { BIO_free(bio); }
};

int pass_phrase_cb(char *buf, int size, int, void *) {
    size_t len = strlen(CERT_KEY_PASSPHRASE);
    if (len >= size_t(size)) return 0;
    memcpy(buf, CERT_KEY_PASSPHRASE, len);
    return int(len);
}

// The material is read from memory: no certificate or key file is ever
// written to disk.
int use_client_certificate(SSL_CTX *ctx) {
    bio_ptr in(CERT_CLIENT);
    X509 *cert = in.bio ? PEM_read_bio_X509(in.bio, nullptr, nullptr, nullptr) : nullptr;
    int ok = cert != nullptr && SSL_CTX_use_certificate(ctx, cert) == 1;
    X509_free(cert);
    if (!ok) {
        log_print(0, LL_ERR, "Couldn't read duvo certificate file!\n");
        return -1;
    }
    return 0;
}

int use_client_key(SSL_CTX *ctx) {
    bio_ptr in(CERT_CLIENT_KEY);
    EVP_PKEY *key =
        in.bio ? PEM_read_bio_PrivateKey(in.bio, nullptr, pass_phrase_cb, nullptr) : nullptr;
    int ok = key != nullptr && SSL_CTX_use_PrivateKey(ctx, key) == 1;
    EVP_PKEY_free(key);
    if (!ok) {
        log_print(0, LL_ERR, "Couldn't read duvo pkey file\n");
        return -1;
    }
    return 0;
}

int use_ca(SSL_CTX *ctx) {
    bio_ptr in(CERT_CA);
    X509_STORE *store = SSL_CTX_get_cert_store(ctx);
    int added = 0;
    // Every certificate of the CA text counts, as a CA file would.
    while (in.bio && store) {
        X509 *cert = PEM_read_bio_X509(in.bio, nullptr, nullptr, nullptr);
        if (!cert) break;
        if (X509_STORE_add_cert(store, cert) == 1) added++;
        X509_free(cert);
    }
    ERR_clear_error();  // the end of the text leaves a "no start line" entry
    if (added == 0) {
        log_print(0, LL_ERR, "Couldn't read CA list\n");
        return -1;
    }
    return 0;
}

}  // namespace

int tls_verify_callback(int preverify_ok, X509_STORE_CTX *store) {
    char subject[SUBJECT_LINE_MAX] = "";
    X509 *cert = X509_STORE_CTX_get_current_cert(store);
    if (cert) X509_NAME_oneline(X509_get_subject_name(cert), subject, sizeof subject);
    int err = X509_STORE_CTX_get_error(store);
    int depth = X509_STORE_CTX_get_error_depth(store);
    if (depth > TLS_VERIFY_MAX_DEPTH) {
        preverify_ok = 0;
        err = X509_V_ERR_CERT_CHAIN_TOO_LONG;
        X509_STORE_CTX_set_error(store, err);
    }
    if (preverify_ok) {
        log_print(0, LL_INFO, "depth=%d:%s\n", depth, subject);
    } else {
        log_print(0, LL_ERR, "verify error:num=%d:%s:depth=%d:%s\n", err,
                  X509_verify_cert_error_string(err), depth, subject);
    }
    return 1;
}

int tls_context_create(SSL_CTX **out) {
    SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
    *out = ctx;
    if (!ctx) {
        log_print(0, LL_INFO, "SSL_CTX_new error.\n");
        return -1;
    }
    // TLS 1.0 at the least, the newest both sides speak at the most.
    if (SSL_CTX_set_min_proto_version(ctx, TLS1_VERSION) != 1) {
        log_print(0, LL_ERR, "SSL_CTX_new error.\n");
        return -1;
    }
    security_cb lib_security = SSL_CTX_get_security_callback(ctx);
    if (lib_security) {
        g_default_security = lib_security;
        SSL_CTX_set_security_callback(ctx, legacy_security);
    }
    // A phone that drops the connection without a close_notify is "closed", not an error.
    SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);

    if (use_client_certificate(ctx) != 0 || use_client_key(ctx) != 0) return -1;
    if (SSL_CTX_check_private_key(ctx) != 1) {
        log_print(0, LL_ERR, "Private key does not match the certificate public key!\n");
        return -1;
    }
    if (use_ca(ctx) != 0) return -1;
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, tls_verify_callback);
    SSL_CTX_set_verify_depth(ctx, TLS_VERIFY_DEPTH);
    return 0;
}
