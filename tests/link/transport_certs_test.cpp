// The embedded certificate material and the certificate checks around it.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <memory>
#include <string>

#include "../platform/temp_dir.h"
#include "link/certs/certs.h"
#include "link/tls_context.h"
#include "link/tls_io.h"
#include "transport_support.h"

namespace {

std::string blob_text(cert_id id) {
    cert_blob b = certs_get(id);
    return std::string(reinterpret_cast<const char *>(b.data), b.size);
}

X509 *read_cert(const std::string &pem) {
    BIO *bio = BIO_new_mem_buf(pem.data(), int(pem.size()));
    X509 *cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    return cert;
}

EVP_PKEY *read_key(const std::string &pem, const char *pass) {
    BIO *bio = BIO_new_mem_buf(pem.data(), int(pem.size()));
    EVP_PKEY *key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, const_cast<char *>(pass));
    BIO_free(bio);
    ERR_clear_error();
    return key;
}

// 0 when cert chains to ca, else the verification error.
int verify_against(X509 *ca, X509 *cert) {
    X509_STORE *store = X509_STORE_new();
    X509_STORE_add_cert(store, ca);
    X509_STORE_CTX *ctx = X509_STORE_CTX_new();
    X509_STORE_CTX_init(ctx, store, cert, nullptr);
    int ok = X509_verify_cert(ctx);
    int err = ok == 1 ? 0 : X509_STORE_CTX_get_error(ctx);
    X509_STORE_CTX_free(ctx);
    X509_STORE_free(store);
    return err;
}

TEST(Certs, EmbeddedBytesAreTheCommittedFiles) {
    const struct {
        cert_id id;
        const char *file;
    } items[] = {
        {CERT_CA, "MireltaCA.cer"},
        {CERT_CLIENT, "Mirelta_Duvo_Connector.cer"},
        {CERT_CLIENT_KEY, "Mirelta_Duvo_Connector.key"},
        {CERT_PHONE, "MireltaPhone.cer"},
        {CERT_PHONE_KEY, "MireltaPhone.key"},
    };
    for (auto &item : items) {
        std::string file = read_file(cert_file(item.file));
        ASSERT_FALSE(file.empty()) << item.file;
        EXPECT_EQ(blob_text(item.id), file) << item.file;
    }
    EXPECT_EQ(certs_get(cert_id(99)).data, nullptr);
}

TEST(Certs, RolesAndFormsOfTheMaterial) {
    std::unique_ptr<X509, decltype(&X509_free)> ca(read_cert(blob_text(CERT_CA)), X509_free);
    std::unique_ptr<X509, decltype(&X509_free)> client(read_cert(blob_text(CERT_CLIENT)),
                                                       X509_free);
    std::unique_ptr<X509, decltype(&X509_free)> phone(read_cert(blob_text(CERT_PHONE)), X509_free);
    std::unique_ptr<X509, decltype(&X509_free)> foreign(
        read_cert(read_file(cert_file("ForeignPhone.cer"))), X509_free);
    ASSERT_TRUE(ca && client && phone && foreign);

    // The client certificate is a readable dump followed by its PEM block.
    std::string client_text = blob_text(CERT_CLIENT);
    EXPECT_EQ(client_text.rfind("Certificate:", 0), 0u);
    EXPECT_LT(client_text.find("Subject:"), client_text.find("-----BEGIN CERTIFICATE-----"));

    EXPECT_EQ(verify_against(ca.get(), client.get()), 0);
    EXPECT_EQ(verify_against(ca.get(), phone.get()), 0);
    EXPECT_NE(verify_against(ca.get(), foreign.get()), 0);

    // The client key is encrypted with AES-256-CBC: only the pass phrase opens it.
    std::string key_text = blob_text(CERT_CLIENT_KEY);
    EXPECT_NE(key_text.find("DEK-Info: AES-256-CBC"), std::string::npos);
    EXPECT_EQ(read_key(key_text, "wrong pass"), nullptr);
    EVP_PKEY *key = read_key(key_text, CERT_KEY_PASSPHRASE);
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(X509_check_private_key(client.get(), key), 1);
    EVP_PKEY_free(key);

    EVP_PKEY *phone_key = read_key(blob_text(CERT_PHONE_KEY), nullptr);
    ASSERT_NE(phone_key, nullptr);
    EXPECT_EQ(X509_check_private_key(phone.get(), phone_key), 1);
    EVP_PKEY_free(phone_key);
}

TEST(Certs, ContextLoadsFromMemoryAndWritesNoFile) {
    TempDir dir;
    setenv("APPDATA", dir.path().c_str(), 1);
    SSL_CTX *ctx = nullptr;
    LogCapture log;
    EXPECT_EQ(tls_context_create(&ctx), 0) << log.text();
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(SSL_CTX_get_verify_mode(ctx), SSL_VERIFY_PEER);
    EXPECT_EQ(SSL_CTX_get_verify_depth(ctx), TLS_VERIFY_DEPTH);
    EXPECT_EQ(SSL_CTX_get_min_proto_version(ctx), TLS1_VERSION);
    SSL_CTX_free(ctx);
    EXPECT_TRUE(std::filesystem::is_empty(dir.path())) << "something was written";
    unsetenv("APPDATA");
}

TEST(Certs, VerifyCallbackLogsAndLimitsDepth) {
    X509 *cert = read_cert(blob_text(CERT_PHONE));
    ASSERT_NE(cert, nullptr);
    const struct {
        int preverify, depth, error;
        int want_error;
        const char *want_line;
    } cases[] = {
        {1, 0, X509_V_OK, X509_V_OK, "depth=0:/C=CN/O=Mirelta/CN=Mirelta Phone\n"},
        {1, 10, X509_V_OK, X509_V_OK, "depth=10:"},
        {1, 11, X509_V_OK, X509_V_ERR_CERT_CHAIN_TOO_LONG,
         "verify error:num=22:certificate chain too long:depth=11:/C=CN/O=Mirelta/CN=Mirelta "
         "Phone\n"},
        {0, 0, X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY,
         X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY,
         "verify error:num=20:unable to get local issuer certificate:depth=0:"},
    };
    for (auto &c : cases) {
        X509_STORE *store = X509_STORE_new();
        X509_STORE_CTX *ctx = X509_STORE_CTX_new();
        X509_STORE_CTX_init(ctx, store, cert, nullptr);
        X509_STORE_CTX_set_current_cert(ctx, cert);
        X509_STORE_CTX_set_error_depth(ctx, c.depth);
        X509_STORE_CTX_set_error(ctx, c.error);
        LogCapture log;
        EXPECT_EQ(tls_verify_callback(c.preverify, ctx), 1) << "the handshake always goes on";
        EXPECT_EQ(X509_STORE_CTX_get_error(ctx), c.want_error) << c.depth;
        EXPECT_NE(log.text().find(c.want_line), std::string::npos) << log.text();
        X509_STORE_CTX_free(ctx);
        X509_STORE_free(store);
    }
    X509_free(cert);
}

TEST(Certs, VerifyResultTexts) {
    const struct {
        long code;
        const char *text;
    } cases[] = {
        {X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT, "unable to get issuer certificate"},
        {X509_V_ERR_CERT_HAS_EXPIRED, "certificate has expired"},
        {X509_V_ERR_KEYUSAGE_NO_CERTSIGN, "key usage does not include certificate signing"},
        {X509_V_ERR_INVALID_PURPOSE, "unsuitable certificate purpose"},
        {X509_V_ERR_APPLICATION_VERIFICATION, "application verification failure"},
        {1, "unknown errror"},
        {33, "unknown errror"},
        {X509_V_ERR_HOSTNAME_MISMATCH, "unknown errror"},
    };
    for (auto &c : cases) EXPECT_STREQ(tls_verify_result_text(c.code), c.text) << c.code;
}

}  // namespace
