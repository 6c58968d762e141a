// The headless program pairing with the phone simulator, both as real
// processes on loopback, each with its own options.
#include <gtest/gtest.h>

#include <signal.h>
#include <filesystem>
#include <fstream>

#include "../platform/temp_dir.h"
#include "child_process.h"

namespace {

using namespace std::chrono_literals;

const std::string BIN = OSTRELLE_BIN_DIR;

struct Headless : ::testing::Test {
    TempDir dir;
    int phone_port = free_port();
    int usbip_port = free_port();

    std::string data() const { return dir.path() + "/Mirelta/Ostrelle"; }
    std::string log() const { return read_file(data() + "/Quellin.log"); }

    void write_ini(const std::string &extra) {
        std::filesystem::create_directories(data());
        write_file(data() + "/Quellin.ini",
                   "[common]\nAutoIP=0\nPhoneIP=127.0.0.1\nPhonePort=" +
                       std::to_string(phone_port) + "\nUsbipPort=" + std::to_string(usbip_port) +
                       "\nSyslogPort=" + std::to_string(free_port(true)) + "\n" + extra);
    }
    std::unique_ptr<ChildProcess> phone(std::vector<std::string> args) {
        args.insert(args.begin(), {BIN + "/phone-sim", "--port", std::to_string(phone_port)});
        auto p = std::make_unique<ChildProcess>(args);
        EXPECT_TRUE(p->wait_for("listening", 5s)) << p->output();
        return p;
    }
    std::unique_ptr<ChildProcess> ostrelle() {
        return std::make_unique<ChildProcess>(
            std::vector<std::string>{BIN + "/ostrelle", "--headless"},
            std::vector<std::string>{"APPDATA=" + dir.path()});
    }
};

TEST_F(Headless, NewFormatPhoneOverTlsPairsAndSigtermEndsInOrder) {
    write_ini("TransType=1\n");
    auto sim = phone({"--tls"});
    auto pc = ostrelle();
    ASSERT_TRUE(pc->wait_for("status: STATUS_PAIRING", 10s)) << pc->output();
    ASSERT_TRUE(sim->wait_for("DUVO_CMD_C2P_GET_DEV_INFO", 10s)) << sim->output();
    // The device is created where the session would plug it in.
    ASSERT_TRUE(pc->wait_for("status: STATUS_PAIRED", 10s)) << pc->output() << log();
    EXPECT_NE(log().find("SSL_connect success"), std::string::npos) << log();
    EXPECT_NE(log().find("recv cmd <==== DUVO_CMD_P2C_PAIRED_INFO"), std::string::npos);

    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(pc->stop(SIGTERM, 5s), 0) << pc->output();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s) << "ends in order within a second";
    EXPECT_NE(pc->output().find("status: STATUS_UNPAIRING"), std::string::npos);
    EXPECT_TRUE(sim->wait_for("DUVO_CMD_COM_CLOSE_FD", 3s)) << sim->output();
    EXPECT_NE(log().find("DealWithExit StopPair"), std::string::npos);
}

TEST_F(Headless, OldFormatPhoneGetsPairDetectInTheOldFraming) {
    write_ini("TransType=0\n");
    auto sim = phone({"--plain", "--old-format"});
    auto pc = ostrelle();
    ASSERT_TRUE(sim->wait_for("<- DUVO_CMD_C2P_DETECT_NEW_FORMATE old", 10s)) << sim->output();
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(sim->wait_for("<- DUVO_CMD_C2P_PAIR_DETECT old", 5s)) << sim->output();
    auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_GT(waited, 1200ms);
    EXPECT_LT(waited, 3000ms);
}

TEST_F(Headless, PairingCodeFromStandardInputWithAWrongOneAskedAgain) {
    write_ini("TransType=0\n");
    auto sim = phone({"--plain", "--pair-mode", "1", "--code", "246810"});
    auto pc = ostrelle();
    ASSERT_TRUE(pc->wait_for("Enter Pairing Code which is shown on your phone", 10s))
        << pc->output();
    pc->write_line("111111");
    ASSERT_TRUE(pc->wait_for("Wrong pairing code,check again please!", 10s)) << pc->output();
    ASSERT_TRUE(pc->wait_for("Enter Pairing Code which is shown on your phone", 10s))
        << pc->output();
    pc->write_line("246810");
    EXPECT_TRUE(sim->wait_for("DUVO_CMD_C2P_GET_DEV_INFO", 10s)) << sim->output();
}

TEST_F(Headless, SilentPhoneEndsTheSessionAndTheProgramPairsAgain) {
    write_ini("TransType=0\n");
    auto sim = phone({"--plain"});
    auto pc = ostrelle();
    ASSERT_TRUE(pc->wait_for("status: STATUS_PAIRED", 15s)) << pc->output() << sim->output();
    sim->write_line("silent");
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(pc->wait_for("status: STATUS_IDLE (unpair reason 3)", 20s)) << pc->output();
    auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_GT(waited, 6s);
    EXPECT_LT(waited, 14s);
    // The teardown told the phone in order, then the program came back by itself.
    std::string l = log();
    size_t un_active = l.find("DUVO_CMD_C2P_DEVICE_UN_ACTIVE", l.find("3 times not receive"));
    size_t un_pair = l.find("DUVO_CMD_COM_UN_PAIR", un_active);
    EXPECT_NE(un_active, std::string::npos) << l;
    EXPECT_NE(un_pair, std::string::npos);
    sim->write_line("talk");
    EXPECT_TRUE(pc->wait_for("status: STATUS_PAIRED", 20s)) << pc->output() << sim->output();
}

}  // namespace
