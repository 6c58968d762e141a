// The TCP side of the phone connection: connect results, stops, plain sends.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <poll.h>

#include <future>

#include "link/phone_conn.h"
#include "transport_support.h"

namespace {

// A listener whose accept queue is full, so that one more connect stays
// pending: the loopback stand-in for a phone that does not answer.
struct FullListener {
    int fd = -1;
    int port = 0;
    std::vector<int> fillers;
    FullListener() {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        listen(fd, 0);
        socklen_t len = sizeof addr;
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
        port = ntohs(addr.sin_port);
        // Fill the queue until a connect no longer completes at once.
        for (int i = 0; i < 16; i++) {
            int c = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            connect(c, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
            fillers.push_back(c);
            pollfd pfd = {c, POLLOUT, 0};
            if (poll(&pfd, 1, 200) == 0) break;
        }
    }
    ~FullListener() {
        for (int c : fillers) close(c);
        close(fd);
    }
};

struct TcpFixture : ::testing::Test {
    phone_conn conn;
    void SetUp() override {
        phone_conn_init(&conn, TRANS_TYPE_TCP);
        conn.phone_ip = LOOPBACK;
    }
    void TearDown() override { phone_conn_close(&conn); }
};

TEST_F(TcpFixture, InitTakesThePortFromTheConfiguration) {
    EXPECT_EQ(conn.phone_port, 7063);
    EXPECT_EQ(conn.sock, PHONE_CONN_NO_SOCKET);
    EXPECT_EQ(conn.connect_waits, PHONE_CONNECT_WAITS);
}

TEST_F(TcpFixture, BadPortFromTheConfigurationIsRefused) {
    for (int port : {0, -1, 65536}) {
        conn.phone_port = port;
        LogCapture log;
        ASSERT_EQ(phone_conn_open(&conn), 0);
        EXPECT_EQ(phone_conn_connect(&conn, LOOPBACK), CONN_ERR_FAIL);
        EXPECT_EQ(log.count("Bad phone port"), 1) << port;
        EXPECT_EQ(conn.sock, PHONE_CONN_NO_SOCKET);
    }
}

TEST_F(TcpFixture, RefusedPortIsATimeoutAfterTheWaits) {
    // A refusal is never reported as connected, and never ends the waits early.
    conn.phone_port = free_port(SOCK_STREAM);
    conn.connect_waits = 6;
    LogCapture log;
    ASSERT_EQ(phone_conn_open(&conn), 0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(phone_conn_connect(&conn, LOOPBACK), CONN_ERR_TIMEOUT);
    EXPECT_GE(elapsed_ms(start), 500);
    EXPECT_EQ(conn.sock, PHONE_CONN_NO_SOCKET);
}

TEST_F(TcpFixture, PortThatOpensDuringTheWaitsIsReached) {
    // The phone's listener comes up while the PC is still trying.
    int port = free_port(SOCK_STREAM);
    conn.phone_port = port;
    ASSERT_EQ(phone_conn_open(&conn), 0);
    auto result =
        std::async(std::launch::async, [&] { return phone_conn_connect(&conn, LOOPBACK); });
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(port));
    addr.sin_addr.s_addr = htonl(LOOPBACK);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    listen(fd, 4);
    EXPECT_EQ(result.get(), 0);
    close(fd);
}

TEST_F(TcpFixture, UnansweredConnectTimesOut) {
    FullListener phone;
    conn.phone_port = phone.port;
    conn.connect_waits = 5;
    ASSERT_EQ(phone_conn_open(&conn), 0);
    EXPECT_EQ(phone_conn_connect(&conn, LOOPBACK), CONN_ERR_TIMEOUT);
}

TEST_F(TcpFixture, StopDuringPendingConnectIsSeenWithinAWait) {
    FullListener phone;
    conn.phone_port = phone.port;
    ASSERT_EQ(phone_conn_open(&conn), 0);
    auto result =
        std::async(std::launch::async, [&] { return phone_conn_connect(&conn, LOOPBACK); });
    std::this_thread::sleep_for(std::chrono::milliseconds(350));
    auto stop = std::chrono::steady_clock::now();
    conn.connect_exit = 1;
    EXPECT_EQ(result.get(), CONN_ERR_EXIT);
    // One wait is 100 ms; the bound is loose for a loaded machine.
    EXPECT_LT(elapsed_ms(stop), 1000);
    EXPECT_EQ(conn.sock, PHONE_CONN_NO_SOCKET);
}

// A plain echo peer for one connection.
struct EchoPeer {
    int fd = -1, port = 0;
    std::atomic<int> client{-1};
    std::thread thread;
    EchoPeer() {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        listen(fd, 1);
        socklen_t len = sizeof addr;
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
        port = ntohs(addr.sin_port);
        thread = std::thread([this] {
            int c = accept(fd, nullptr, nullptr);
            if (c < 0) return;
            client = c;
            char buf[4096];
            ssize_t n;
            while ((n = recv(c, buf, sizeof buf, 0)) > 0) send(c, buf, size_t(n), MSG_NOSIGNAL);
        });
    }
    ~EchoPeer() {
        shutdown(fd, SHUT_RDWR);
        if (client >= 0) shutdown(client, SHUT_RDWR);
        thread.join();
        if (client >= 0) close(client);
        close(fd);
    }
};

TEST_F(TcpFixture, PlainSendConnectsAndEchoes) {
    EchoPeer peer;
    conn.phone_port = peer.port;
    const char msg[] = "plain bytes";
    EXPECT_EQ(phone_conn_send(&conn, msg, sizeof msg), int(sizeof msg));
    ASSERT_NE(conn.sock, PHONE_CONN_NO_SOCKET);
    int nodelay = 0;
    socklen_t len = sizeof nodelay;
    getsockopt(conn.sock, IPPROTO_TCP, TCP_NODELAY, &nodelay, &len);
    EXPECT_NE(nodelay, 0);
    EXPECT_NE(fcntl(conn.sock, F_GETFL) & O_NONBLOCK, 0);

    std::string got;
    char buf[PHONE_READ_BUF_SIZE];
    for (int i = 0; i < 100 && got.size() < sizeof msg; i++) {
        pollfd pfd = {conn.sock, POLLIN, 0};
        poll(&pfd, 1, 100);
        int n = phone_conn_read(&conn, buf, sizeof buf);
        if (n > 0) got.append(buf, size_t(n));
    }
    EXPECT_EQ(got, std::string(msg, sizeof msg));
    phone_conn_close(&conn);
}

TEST_F(TcpFixture, SendWithoutConnectionDoesNotConnectWhenStoppedOrBarred) {
    EchoPeer peer;
    conn.phone_port = peer.port;
    const struct { int connect_exit, no_autoconnect; } cases[] = {{1, 0}, {0, 1}, {1, 1}};
    for (auto &c : cases) {
        conn.connect_exit = c.connect_exit;
        conn.no_autoconnect = c.no_autoconnect;
        EXPECT_EQ(phone_conn_send(&conn, "x", 1), CONN_ERR_FAIL);
        EXPECT_EQ(conn.sock, PHONE_CONN_NO_SOCKET);
    }
    // The peer never saw a connection: let its thread end with a real one.
    phone_conn_init(&conn, TRANS_TYPE_TCP);
    conn.phone_ip = LOOPBACK;
    conn.phone_port = peer.port;
    EXPECT_EQ(phone_conn_send(&conn, "x", 1), 1);
    phone_conn_close(&conn);
}

TEST_F(TcpFixture, PeerThatStopsReadingCannotHoldTheSenderForEver) {
    // Accepted by the kernel, never read: the socket buffers fill up.
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    listen(fd, 4);
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    conn.phone_port = ntohs(addr.sin_port);
    std::vector<char> big(64 << 20, 'x');
    LogCapture log;
    EXPECT_EQ(phone_conn_send(&conn, big.data(), big.size()), CONN_ERR_FAIL);
    EXPECT_EQ(log.count("Send to phone fail"), 1);
    close(fd);
}

TEST_F(TcpFixture, ClosedPeerReadsAsClosed) {
    int port;
    {
        EchoPeer peer;
        port = peer.port;
        conn.phone_port = port;
        ASSERT_EQ(phone_conn_send(&conn, "x", 1), 1);
    }  // the peer has closed its end
    char buf[PHONE_READ_BUF_SIZE];
    int n = 0;
    for (int i = 0; i < 50; i++) {
        pollfd pfd = {conn.sock, POLLIN, 0};
        poll(&pfd, 1, 100);
        n = phone_conn_read(&conn, buf, sizeof buf);
        if (n != CONN_ERR_AGAIN && n <= 0) break;
    }
    EXPECT_EQ(n, CONN_ERR_CLOSED);
}

}  // namespace
