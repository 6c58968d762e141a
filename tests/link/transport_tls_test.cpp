// The TLS transport against real peers: `openssl s_server` with the phone's
// certificate, a plain TCP peer, a peer that never answers the handshake.
#include <gtest/gtest.h>

#include <poll.h>
#include <atomic>
#include <filesystem>
#include <functional>
#include <future>

#include "../platform/temp_dir.h"
#include "link/phone_conn.h"
#include "transport_support.h"

namespace {

const std::string TLS1_ONLY_WEAK = "DEFAULT:@SECLEVEL=0";  // what a TLS 1.0 server needs here

struct TlsFixture : ::testing::Test {
    TempDir data;
    phone_conn conn;
    void SetUp() override {
        setenv("APPDATA", data.path().c_str(), 1);
        phone_conn_init(&conn, TRANS_TYPE_TLS);
        conn.phone_ip = LOOPBACK;
    }
    void TearDown() override {
        phone_conn_close(&conn);
        unsetenv("APPDATA");
    }
    // One line to the -rev server and its reversed answer back.
    std::string round_trip(const std::string &line) {
        int sent = phone_conn_send(&conn, line.data(), line.size());
        EXPECT_EQ(sent, int(line.size()));
        std::string got;
        char buf[PHONE_READ_BUF_SIZE];
        auto start = std::chrono::steady_clock::now();
        while (got.find('\n') == std::string::npos && elapsed_ms(start) < 10000) {
            pollfd pfd = {conn.sock, POLLIN, 0};
            poll(&pfd, 1, 100);
            int n = phone_conn_read(&conn, buf, sizeof buf);
            if (n > 0)
                got.append(buf, size_t(n));
            else if (n != CONN_ERR_AGAIN)
                break;
        }
        return got;
    }
};

TEST_F(TlsFixture, HandshakeAndDataBothWaysForEachVersion) {
    const struct {
        std::vector<std::string> server;
        const char *version;
    } cases[] = {
        {{"-tls1", "-cipher", TLS1_ONLY_WEAK}, "TLSv1"},
        {{"-tls1_2"}, "TLSv1.2"},
        {{}, "TLSv1.3"},
    };
    for (auto &c : cases) {
        std::vector<std::string> extra = {"-CAfile", cert_file("MireltaCA.cer"), "-Verify", "5"};
        extra.insert(extra.end(), c.server.begin(), c.server.end());
        SServer server("MireltaPhone.cer", "MireltaPhone.key", extra);
        ASSERT_TRUE(server.ready());
        conn.phone_port = server.port();
        LogCapture log;
        ASSERT_EQ(phone_conn_open(&conn), 0);
        ASSERT_EQ(phone_conn_connect(&conn, LOOPBACK), 0) << c.version << "\n" << log.text();
        EXPECT_STREQ(SSL_get_version(conn.ssl), c.version);
        EXPECT_EQ(log.count("SSL_connect success\n"), 1);
        EXPECT_EQ(log.count("depth=0:/C=CN/O=Mirelta/CN=Mirelta Phone\n"), 1) << log.text();

        EXPECT_EQ(round_trip("hello phone\n"), "enohp olleh\n") << c.version;
        phone_conn_close(&conn);
        EXPECT_EQ(conn.ssl, nullptr);
        EXPECT_EQ(conn.ctx, nullptr);
        EXPECT_EQ(conn.sock, PHONE_CONN_NO_SOCKET);
    }
    // Loaded from memory: no certificate or key file ever reaches the data folder.
    EXPECT_TRUE(std::filesystem::is_empty(data.path())) << "files were written";
}

TEST_F(TlsFixture, FirstSendConnectsLazily) {
    SServer server("MireltaPhone.cer", "MireltaPhone.key",
                   {"-CAfile", cert_file("MireltaCA.cer"), "-Verify", "5"});
    ASSERT_TRUE(server.ready());
    conn.phone_port = server.port();
    ASSERT_EQ(conn.sock, PHONE_CONN_NO_SOCKET);
    EXPECT_EQ(round_trip("abc\n"), "cba\n");
}

TEST_F(TlsFixture, PhoneGoneReadsAsClosed) {
    SServer server("MireltaPhone.cer", "MireltaPhone.key",
                   {"-CAfile", cert_file("MireltaCA.cer"), "-Verify", "5"});
    ASSERT_TRUE(server.ready());
    conn.phone_port = server.port();
    ASSERT_EQ(round_trip("x\n"), "x\n");
    server.stop();
    LogCapture log;
    char buf[PHONE_READ_BUF_SIZE];
    int n = CONN_ERR_AGAIN;
    for (int i = 0; i < 100 && n == CONN_ERR_AGAIN; i++) {
        pollfd pfd = {conn.sock, POLLIN, 0};
        poll(&pfd, 1, 100);
        n = phone_conn_read(&conn, buf, sizeof buf);
    }
    EXPECT_EQ(n, CONN_ERR_CLOSED) << log.text();
    EXPECT_EQ(log.count("The connect socket maybe closed\n"), 1);
}

TEST_F(TlsFixture, PhoneFromAnotherCaFailsVerificationAfterHandshake) {
    SServer server("ForeignPhone.cer", "ForeignPhone.key",
                   {"-CAfile", cert_file("MireltaCA.cer"), "-Verify", "5"});
    ASSERT_TRUE(server.ready());
    conn.phone_port = server.port();
    LogCapture log;
    ASSERT_EQ(phone_conn_open(&conn), 0);
    EXPECT_EQ(phone_conn_connect(&conn, LOOPBACK), CONN_ERR_VERIFY);
    std::string text = log.text();
    size_t success = text.find("SSL_connect success\n");
    size_t failure = text.find("Failed to verify remote certificate\n");
    ASSERT_NE(success, std::string::npos) << text;
    EXPECT_LT(success, failure) << text;
    EXPECT_NE(text.find("verification failure: unable to verify the first certificate\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("verify error:num=20:"), std::string::npos) << text;
    // A failed connect leaves nothing open.
    EXPECT_EQ(conn.sock, PHONE_CONN_NO_SOCKET);
    EXPECT_EQ(conn.ssl, nullptr);
    EXPECT_EQ(conn.ctx, nullptr);
}

TEST_F(TlsFixture, PhoneRejectingOurCertificateIsNotAWrongTransport) {
    // The phone speaks TLS but trusts another CA: switching to plain TCP would not help.
    SServer server(
        "MireltaPhone.cer", "MireltaPhone.key",
        {"-CAfile", cert_file("ForeignCA.cer"), "-Verify", "5", "-verify_return_error", "-tls1_2"});
    ASSERT_TRUE(server.ready());
    conn.phone_port = server.port();
    LogCapture log;
    ASSERT_EQ(phone_conn_open(&conn), 0);
    EXPECT_EQ(phone_conn_connect(&conn, LOOPBACK), CONN_ERR_CLOSED) << log.text();
    EXPECT_EQ(log.count("CONN_ERR_WRONG_TRANS_TYPE.\n"), 0);
}

// A TCP peer on the loopback that runs `serve` on each accepted connection.
class TcpPeer {
  public:
    explicit TcpPeer(std::function<void(int)> serve) : serve_(std::move(serve)) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        listen(fd_, 4);
        socklen_t len = sizeof addr;
        getsockname(fd_, reinterpret_cast<sockaddr *>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] {
            while (!stop_) {
                pollfd pfd = {fd_, POLLIN, 0};
                if (poll(&pfd, 1, 50) <= 0) continue;
                int c = accept(fd_, nullptr, nullptr);
                if (c < 0) continue;
                serve_(c);
                accepted_.push_back(c);
            }
        });
    }
    ~TcpPeer() {
        stop_ = true;
        thread_.join();
        for (int c : accepted_) close(c);
        close(fd_);
    }
    int port() const { return port_; }

  private:
    std::function<void(int)> serve_;
    int fd_ = -1, port_ = 0;
    std::atomic<bool> stop_{false};
    std::vector<int> accepted_;
    std::thread thread_;
};

TEST_F(TlsFixture, PlainPeerGivesWrongTransportType) {
    TcpPeer peer([](int c) {
        const char banner[] = "HELLO FROM A PLAIN PHONE\r\n";
        send(c, banner, sizeof banner - 1, MSG_NOSIGNAL);
    });
    conn.phone_port = peer.port();
    LogCapture log;
    ASSERT_EQ(phone_conn_open(&conn), 0);
    EXPECT_EQ(phone_conn_connect(&conn, LOOPBACK), CONN_ERR_WRONG_TRANS_TYPE);
    EXPECT_EQ(log.count("CONN_ERR_WRONG_TRANS_TYPE.\n"), 1) << log.text();
    EXPECT_EQ(conn.sock, PHONE_CONN_NO_SOCKET);
}

TEST_F(TlsFixture, SilentPeerTimesOutTheHandshake) {
    TcpPeer peer([](int) {});  // accepts, never answers
    conn.phone_port = peer.port();
    LogCapture log;
    ASSERT_EQ(phone_conn_open(&conn), 0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(phone_conn_connect(&conn, LOOPBACK), CONN_ERR_TIMEOUT);
    // 40 tries of up to 50 ms: about 2 s, never much less.
    EXPECT_GE(elapsed_ms(start), 1500);
    EXPECT_EQ(log.count("SSL_connect timeout\n"), 1);
}

TEST_F(TlsFixture, StopDuringHandshakeEndsItQuickly) {
    TcpPeer peer([](int) {});
    conn.phone_port = peer.port();
    ASSERT_EQ(phone_conn_open(&conn), 0);
    auto result =
        std::async(std::launch::async, [&] { return phone_conn_connect(&conn, LOOPBACK); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto stop = std::chrono::steady_clock::now();
    conn.connect_exit = 1;
    EXPECT_EQ(result.get(), CONN_ERR_EXIT);
    EXPECT_LT(elapsed_ms(stop), 1000);
}

}  // namespace
