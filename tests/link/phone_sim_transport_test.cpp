// The simulator's TLS server and its discovery announcements, against the
// link's own transport and hand-made TLS clients.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "link/certs/certs.h"
#include "link/discovery.h"
#include "phone_sim_test_client.h"
#include "tools/phone-sim/phone_sim_server.h"

namespace {

class PhoneSimTransport : public ::testing::Test {
  protected:
    void TearDown() override { phone_sim_server_stop(srv_); }
    void start(phone_sim_options o) {
        o.port = 0;
        phone_sim_printer p = log_.printer();
        ASSERT_EQ(phone_sim_server_start(&srv_, &o, &p, nullptr), 0);
    }
    int port() const { return phone_sim_server_port(srv_); }

    phone_sim_server *srv_ = nullptr;
    line_log log_;
};

TEST_F(PhoneSimTransport, ProjectClientCertificateIsAccepted) {
    start(phone_sim_options{});  // TLS by default
    pc_client pc;
    ASSERT_EQ(pc.connect(port(), true), 0) << "the PC's transport verifies the phone's certificate";
    EXPECT_TRUE(log_.wait_for("# TLS established"));
    EXPECT_EQ(log_.count("CN=Mirelta Duvo Connector"), 1u) << log_.all();
    ASSERT_TRUE(pc.detect_new_format());
    pc.send(DUVO_CMD_C2P_PAIR_DETECT);
    pc_msg m;
    EXPECT_TRUE(pc.expect(DUVO_CMD_P2C_PAIRED_INFO, &m));
}

// A client certificate the project's CA never signed.
struct foreign_identity {
    EVP_PKEY *key = nullptr;
    X509 *cert = nullptr;
    foreign_identity() {
        key = EVP_EC_gen("P-256");
        cert = X509_new();
        X509_set_version(cert, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(cert), 7);
        X509_gmtime_adj(X509_getm_notBefore(cert), -60);
        X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
        X509_NAME *name = X509_get_subject_name(cert);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char *>("Stranger"), -1, -1, 0);
        X509_set_issuer_name(cert, name);
        X509_set_pubkey(cert, key);
        X509_sign(cert, key, EVP_sha256());
    }
    ~foreign_identity() {
        X509_free(cert);
        EVP_PKEY_free(key);
    }
};

enum client_cert { CERT_PROJECT, CERT_NONE, CERT_FOREIGN };

// A blocking TLS client. Returns true when the handshake worked and the
// first message got an answer (the phone accepted the client).
bool tls_exchange(int port, client_cert which, int max_version, std::string *version) {
    SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_security_level(ctx, 0);
    SSL_CTX_set_cipher_list(ctx, "DEFAULT:@SECLEVEL=0");
    SSL_CTX_set_min_proto_version(ctx, TLS1_VERSION);
    SSL_CTX_set_max_proto_version(ctx, max_version);
    foreign_identity foreign;
    if (which == CERT_PROJECT) {
        cert_blob c = certs_get(CERT_CLIENT), k = certs_get(CERT_CLIENT_KEY);
        BIO *cb = BIO_new_mem_buf(c.data, int(c.size)), *kb = BIO_new_mem_buf(k.data, int(k.size));
        X509 *cert = PEM_read_bio_X509(cb, nullptr, nullptr, nullptr);
        EVP_PKEY *key =
            PEM_read_bio_PrivateKey(kb, nullptr, nullptr, const_cast<char *>(CERT_KEY_PASSPHRASE));
        SSL_CTX_use_certificate(ctx, cert);
        SSL_CTX_use_PrivateKey(ctx, key);
        X509_free(cert);
        EVP_PKEY_free(key);
        BIO_free(cb);
        BIO_free(kb);
    } else if (which == CERT_FOREIGN) {
        SSL_CTX_use_certificate(ctx, foreign.cert);
        SSL_CTX_use_PrivateKey(ctx, foreign.key);
    }
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(port));
    addr.sin_addr.s_addr = htonl(TEST_LOOPBACK);
    timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    bool ok = connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    SSL *ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    ok = ok && SSL_connect(ssl) == 1;
    if (ok) {
        *version = SSL_get_version(ssl);
        const uint8_t detect[] = {DUVO_CMD_C2P_DETECT_NEW_FORMATE, 0};
        uint8_t reply[2] = {};
        // With TLS 1.3 the refusal of a client certificate arrives after the
        // client's own handshake has finished: it shows on the first read.
        ok = SSL_write(ssl, detect, sizeof detect) == 2 && SSL_read(ssl, reply, 2) == 2 &&
             reply[0] == DUVO_CMD_P2C_NOTIFY_SUPPORT_XML;
    }
    ERR_clear_error();
    SSL_free(ssl);
    close(fd);
    SSL_CTX_free(ctx);
    return ok;
}

TEST_F(PhoneSimTransport, ClientCertificateIsRequiredAndVerified) {
    struct row {
        const char *name;
        client_cert cert;
        int max_version;
        bool accepted;
        const char *version;  // negotiated, when accepted
    };
    const row rows[] = {
        {"project certificate", CERT_PROJECT, TLS1_3_VERSION, true, "TLSv1.3"},
        {"project certificate over TLS 1.0", CERT_PROJECT, TLS1_VERSION, true, "TLSv1"},
        {"no certificate", CERT_NONE, TLS1_3_VERSION, false, nullptr},
        {"no certificate over TLS 1.0", CERT_NONE, TLS1_VERSION, false, nullptr},
        {"certificate of another CA", CERT_FOREIGN, TLS1_2_VERSION, false, nullptr},
    };
    start(phone_sim_options{});
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        std::string version;
        EXPECT_EQ(tls_exchange(port(), r.cert, r.max_version, &version), r.accepted);
        if (r.accepted) {
            EXPECT_EQ(version, r.version);
            EXPECT_TRUE(log_.wait_for("# TLS established: " + version));
        } else {
            EXPECT_TRUE(log_.wait_for("! TLS handshake failed"));
        }
        EXPECT_TRUE(log_.wait_for("# disconnected"));
    }
}

TEST_F(PhoneSimTransport, WrongTransportOnEitherSide) {
    // A plain PC at a TLS phone: the phone drops it.
    start(phone_sim_options{});
    pc_client plain_pc;
    ASSERT_EQ(plain_pc.connect(port(), false), 0);
    plain_pc.send(DUVO_CMD_C2P_DETECT_NEW_FORMATE);
    EXPECT_TRUE(plain_pc.wait_closed());
    EXPECT_TRUE(log_.wait_for("! TLS handshake failed"));
    phone_sim_server_stop(srv_);
    srv_ = nullptr;

    // A TLS PC at a plain phone sees that the phone does not speak TLS.
    phone_sim_options o;
    o.tls = false;
    start(o);
    pc_client tls_pc;
    EXPECT_EQ(tls_pc.connect(port(), true), CONN_ERR_WRONG_TRANS_TYPE);
    EXPECT_TRUE(log_.wait_for("! TLS client hello on the plain port"));
}

TEST_F(PhoneSimTransport, AnnouncesItselfByDiscovery) {
    struct row {
        const char *ip;  // empty: the bind address
        uint8_t expect[DISCOVERY_MSG_SIZE];
    };
    const row rows[] = {
        {"", {127, 0, 0, 1, 0x00, 0x80}},
        {"192.168.1.10", {0xc0, 0xa8, 0x01, 0x0a, 0x01, 0x73}},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.ip);
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(TEST_LOOPBACK);
        ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        socklen_t alen = sizeof addr;
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &alen);

        phone_sim_options o;
        o.tls = false;
        o.phone_ip = r.ip;
        o.announce_port = ntohs(addr.sin_port);
        o.announce_interval_ms = 100;
        start(o);
        // Periodic: at least two arrive, each exactly the 6-byte announcement.
        for (int i = 0; i < 2; i++) {
            pollfd p{fd, POLLIN, 0};
            ASSERT_EQ(poll(&p, 1, TEST_WAIT_MS), 1);
            uint8_t buf[64];
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            ASSERT_EQ(n, ssize_t(DISCOVERY_MSG_SIZE));
            EXPECT_EQ(memcmp(buf, r.expect, DISCOVERY_MSG_SIZE), 0);
            uint32_t ip = 0;
            EXPECT_EQ(discovery_decode(buf, size_t(n), &ip), 0);
        }
        close(fd);
        phone_sim_server_stop(srv_);
        srv_ = nullptr;
    }
}

}  // namespace
