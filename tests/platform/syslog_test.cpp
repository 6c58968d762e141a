// The phone-syslog receiver, fed by the system's own `logger` tool.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "platform/clog.h"
#include "platform/log.h"
#include "temp_dir.h"

namespace {

int free_udp_port() {
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, (sockaddr *)&sa, sizeof sa);
    socklen_t len = sizeof sa;
    getsockname(s, (sockaddr *)&sa, &len);
    close(s);
    return ntohs(sa.sin_port);
}

void logger_send(int port, const std::string &msg) {
    std::string cmd =
        "logger -n 127.0.0.1 -P " + std::to_string(port) + " -d -t phone '" + msg + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
}

bool wait_for(const std::string &path, const std::string &needle) {
    for (int i = 0; i < 100; ++i) {
        if (read_file(path).find(needle) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

struct SyslogFixture : ::testing::Test {
    TempDir dir;
    int port = free_udp_port();
    void SetUp() override {
        log_init(dir.file("Quellin.log"), dir.path() + "/Quellin.log", 6);
        the_log().set_syslog_port(port);
        log_set_phone_addr(0);
        log_set_phone_file("02:00:5E:AA:BB:CC");
    }
    void TearDown() override {
        syslog_receiver_stop();
        log_clear_callbacks();
    }
    std::string phone_log() const { return dir.file("Quellin.log02005EAABBCC.log"); }
};

TEST_F(SyslogFixture, LoggerLinesReachThePhoneLogOneLineEach) {
    ASSERT_EQ(syslog_receiver_start(), 1);
    logger_send(port, "first message");
    logger_send(port, "second message");
    ASSERT_TRUE(wait_for(phone_log(), "second message"));
    std::string text = read_file(phone_log());
    EXPECT_NE(text.find("first message\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("INFO:"), std::string::npos) << "phone lines carry no prefix";
}

TEST_F(SyslogFixture, StartingTwiceLeavesOneReceiver) {
    ASSERT_EQ(syslog_receiver_start(), 1);
    ASSERT_EQ(syslog_receiver_start(), 1);  // restarts: the old socket is gone
    logger_send(port, "after restart");
    EXPECT_TRUE(wait_for(phone_log(), "after restart"));
    syslog_receiver_stop();
    // The port is free again once stopped.
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(uint16_t(port));
    EXPECT_EQ(bind(s, (sockaddr *)&sa, sizeof sa), 0);
    close(s);
}

TEST_F(SyslogFixture, BindFailureIsLoggedAndReported) {
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(uint16_t(port));
    ASSERT_EQ(bind(s, (sockaddr *)&sa, sizeof sa), 0);
    EXPECT_EQ(syslog_receiver_start(), 0);
    close(s);
    EXPECT_NE(read_file(dir.file("Quellin.log"))
                  .find("bind syslog server port(" + std::to_string(port) + ") fail"),
              std::string::npos);
}

TEST_F(SyslogFixture, OnlyThePhoneWritesOnceItsAddressIsKnown) {
    log_set_phone_addr(0x7F000002);  // 127.0.0.2: logger sends from 127.0.0.1
    ASSERT_EQ(syslog_receiver_start(), 1);
    logger_send(port, "intruder one");
    logger_send(port, "intruder two");
    ASSERT_TRUE(wait_for(dir.file("Quellin.log"), "is not from the phone"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::string prog = read_file(dir.file("Quellin.log"));
    EXPECT_EQ(prog.find("is not from the phone"), prog.rfind("is not from the phone"))
        << "logged once only";
    EXPECT_EQ(read_file(phone_log()).find("intruder"), std::string::npos);

    log_set_phone_addr(0x7F000001);
    logger_send(port, "from the phone");
    EXPECT_TRUE(wait_for(phone_log(), "from the phone"));
}

}  // namespace
