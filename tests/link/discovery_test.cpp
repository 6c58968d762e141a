// Discovery over real UDP on the loopback.
#include <gtest/gtest.h>

#include <future>

#include "link/discovery.h"
#include "link/phone_conn.h"
#include "platform/config.h"
#include "transport_support.h"

namespace {

struct DiscoveryFixture : ::testing::Test {
    phone_conn conn;
    int port = 0;
    void SetUp() override {
        phone_conn_init(&conn, TRANS_TYPE_TLS);
        port = free_port(SOCK_DGRAM);
        g_config.signal_port = port;
    }
    void TearDown() override { g_config.signal_port = DEFAULT_SIGNAL_PORT; }

    // Runs discovery while `send` is repeated (datagrams sent before the
    // bind are lost) until it returns.
    int discover(uint32_t *ip, const std::function<void()> &send) {
        auto result = std::async(std::launch::async, [&] { return get_ip_by_pc(ip, &conn); });
        while (result.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) send();
        return result.get();
    }
    void send_raw(const std::vector<uint8_t> &bytes) {
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(uint16_t(port));
        addr.sin_addr.s_addr = htonl(LOOPBACK);
        sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        close(fd);
    }
};

TEST_F(DiscoveryFixture, AnnouncementGivesTheAddress) {
    LogCapture log;
    uint32_t ip = 0;
    EXPECT_EQ(discover(&ip, [&] { discovery_announce(LOOPBACK, port, 0xC0A8010A); }), 0);
    EXPECT_EQ(ip, 0xC0A8010Au);
    EXPECT_NE(log.text().find("remote device IP:192.168.1.10.\n"), std::string::npos) << log.text();
}

TEST_F(DiscoveryFixture, BadChecksumFails) {
    uint32_t ip = 0;
    EXPECT_EQ(discover(&ip, [&] { send_raw({0xC0, 0xA8, 0x01, 0x0A, 0x00, 0x00}); }), -1);
    EXPECT_EQ(ip, 0u);
}

TEST_F(DiscoveryFixture, OtherLengthsAreIgnoredAndTheWaitGoesOn) {
    uint32_t ip = 0;
    int sent = 0;
    // Several wrong-length datagrams first: none may end the wait.
    EXPECT_EQ(discover(&ip,
                       [&] {
                           if (sent++ < 4) {
                               send_raw({0xC0, 0xA8, 0x01, 0x0B, 0x01, 0x74, 0x00});
                               send_raw({0x01});
                           } else {
                               discovery_announce(LOOPBACK, port, 0x0A000102);
                           }
                       }),
              0);
    EXPECT_EQ(ip, 0x0A000102u);
}

TEST_F(DiscoveryFixture, StopEndsTheWaitQuickly) {
    uint32_t ip = 0;
    auto result = std::async(std::launch::async, [&] { return get_ip_by_pc(&ip, &conn); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto stop = std::chrono::steady_clock::now();
    conn.connect_exit = 1;
    EXPECT_EQ(result.get(), CONN_ERR_EXIT);
    EXPECT_LT(elapsed_ms(stop), 1000);  // one wait is 100 ms
    // Set on entry: no wait at all.
    EXPECT_EQ(get_ip_by_pc(&ip, &conn), CONN_ERR_EXIT);
}

TEST_F(DiscoveryFixture, BadSignalPortFails) {
    for (int bad : {0, 70000}) {
        g_config.signal_port = bad;
        LogCapture log;
        uint32_t ip = 0;
        EXPECT_EQ(get_ip_by_pc(&ip, &conn), -1);
        EXPECT_EQ(log.count("bad signal port"), 1) << bad;
    }
}

TEST_F(DiscoveryFixture, BindErrorIsLoggedOnceUntilABindWorks) {
    auto occupy = [&] {
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(uint16_t(port));
        addr.sin_addr.s_addr = htonl(INADDR_ANY);
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        return fd;
    };
    uint32_t ip = 0;
    LogCapture log;
    int busy = occupy();
    EXPECT_EQ(get_ip_by_pc(&ip, &conn), -1);
    EXPECT_EQ(get_ip_by_pc(&ip, &conn), -1);
    EXPECT_EQ(log.count("bind error, code:"), 1) << log.text();
    close(busy);

    // A bind that works re-arms the line.
    EXPECT_EQ(discover(&ip, [&] { discovery_announce(LOOPBACK, port, LOOPBACK); }), 0);
    busy = occupy();
    EXPECT_EQ(get_ip_by_pc(&ip, &conn), -1);
    EXPECT_EQ(log.count("bind error, code:"), 2) << log.text();
    close(busy);
}

}  // namespace
