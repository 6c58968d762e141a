#include "tools/phone-sim/phone_sim_tls.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "link/certs/certs.h"

namespace {

// Level 0 lets TLS 1.0 sign with MD5+SHA-1 and use its SHA-1 cipher suites.
constexpr int TLS10_SECURITY_LEVEL = 0;
constexpr const char *TLS10_CIPHERS = "DEFAULT:@SECLEVEL=0";
constexpr int VERIFY_DEPTH = 10;

BIO *blob_bio(cert_id id) {
    cert_blob b = certs_get(id);
    return b.data ? BIO_new_mem_buf(b.data, int(b.size)) : nullptr;
}

int load_identity(SSL_CTX *ctx, std::string *err) {
    BIO *in = blob_bio(CERT_PHONE);
    X509 *cert = in ? PEM_read_bio_X509(in, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(in);
    int ok = cert && SSL_CTX_use_certificate(ctx, cert) == 1;
    X509_free(cert);
    if (!ok) return *err = "cannot load the phone certificate: " + phone_sim_tls_errors(), -1;

    in = blob_bio(CERT_PHONE_KEY);
    EVP_PKEY *key = in ? PEM_read_bio_PrivateKey(in, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(in);
    ok = key && SSL_CTX_use_PrivateKey(ctx, key) == 1 && SSL_CTX_check_private_key(ctx) == 1;
    EVP_PKEY_free(key);
    if (!ok) return *err = "cannot load the phone key: " + phone_sim_tls_errors(), -1;
    return 0;
}

int load_ca(SSL_CTX *ctx, std::string *err) {
    BIO *in = blob_bio(CERT_CA);
    X509_STORE *store = SSL_CTX_get_cert_store(ctx);
    int added = 0;
    while (in && store) {
        X509 *ca = PEM_read_bio_X509(in, nullptr, nullptr, nullptr);
        if (!ca) break;
        if (X509_STORE_add_cert(store, ca) == 1) added++;
        // Tell the client which CA its certificate must come from.
        SSL_CTX_add_client_CA(ctx, ca);
        X509_free(ca);
    }
    BIO_free(in);
    ERR_clear_error();  // the end of the PEM text leaves a "no start line" entry
    if (added == 0) return *err = "cannot load the CA certificate", -1;
    return 0;
}

}  // namespace

std::string phone_sim_tls_errors() {
    std::string text;
    char buf[256];
    for (unsigned long e = ERR_get_error(); e != 0; e = ERR_get_error()) {
        ERR_error_string_n(e, buf, sizeof buf);
        if (!text.empty()) text += "; ";
        text += buf;
    }
    return text.empty() ? "no detail" : text;
}

int phone_sim_tls_context(SSL_CTX **out, std::string *err) {
    *out = nullptr;
    SSL_CTX *ctx = SSL_CTX_new(TLS_server_method());
    if (!ctx) return *err = "SSL_CTX_new failed: " + phone_sim_tls_errors(), -1;
    SSL_CTX_set_security_level(ctx, TLS10_SECURITY_LEVEL);
    if (SSL_CTX_set_min_proto_version(ctx, TLS1_VERSION) != 1 ||
        SSL_CTX_set_cipher_list(ctx, TLS10_CIPHERS) != 1) {
        *err = "cannot admit TLS 1.0: " + phone_sim_tls_errors();
        SSL_CTX_free(ctx);
        return -1;
    }
    if (load_identity(ctx, err) != 0 || load_ca(ctx, err) != 0) {
        SSL_CTX_free(ctx);
        return -1;
    }
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    SSL_CTX_set_verify_depth(ctx, VERIFY_DEPTH);
    SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
    *out = ctx;
    return 0;
}
