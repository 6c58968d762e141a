// The whole bridge as real processes on the loopback: the phone (phone-sim),
// Ostrelle (headless) and the PC's USB stack (usb-host-emu over USB/IP).
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>

#include "../platform/temp_dir.h"
#include "child_process.h"

namespace {

using namespace std::chrono_literals;

const std::string BIN = OSTRELLE_BIN_DIR;
constexpr int PHONE_TONE = 440;
constexpr int HOST_TONE = 1000;

struct Road : ::testing::Test {
    TempDir dir;
    int phone_port = free_port();
    int usbip_port = free_port();
    std::unique_ptr<ChildProcess> phone, pc;

    std::string data() const { return dir.path() + "/Mirelta/Ostrelle"; }
    std::string file(const std::string &name) const { return dir.file(name); }

    void start_phone() {
        phone = std::make_unique<ChildProcess>(std::vector<std::string>{
            BIN + "/phone-sim", "--port", std::to_string(phone_port), "--tls", "--media-tone",
            std::to_string(PHONE_TONE), "--record", file("phone_received.wav")});
        ASSERT_TRUE(phone->wait_for("listening", 5s)) << phone->output();
    }
    void start_pc(const std::vector<std::string> &extra = {}) {
        std::filesystem::create_directories(data());
        write_file(data() + "/Quellin.ini",
                   "[common]\nAutoIP=0\nPhoneIP=127.0.0.1\nTransType=1\nPhonePort=" +
                       std::to_string(phone_port) + "\nUsbipPort=" + std::to_string(usbip_port) +
                       "\nSyslogPort=" + std::to_string(free_port(true)) +
                       "\nMediaPort=" + std::to_string(free_port(true)) + "\n");
        std::vector<std::string> args{BIN + "/ostrelle", "--headless"};
        args.insert(args.end(), extra.begin(), extra.end());
        pc =
            std::make_unique<ChildProcess>(args, std::vector<std::string>{"APPDATA=" + dir.path()});
        ASSERT_TRUE(pc->wait_for("status: STATUS_PAIREDSIGNIN", 20s)) << pc->output();
    }
    std::unique_ptr<ChildProcess> host(const std::string &shape, int seconds,
                                       const std::string &capture) {
        return std::make_unique<ChildProcess>(std::vector<std::string>{
            BIN + "/usb-host-emu", "--port", std::to_string(usbip_port), "--host", shape, "--play",
            "tone:" + std::to_string(HOST_TONE), "--capture", capture, "--seconds",
            std::to_string(seconds), "--hid-poll"});
    }
    // The recorded file is the test tone, whole: 0 from demo-wav-check. A
    // machine running other tests beside this one may cost a rare 10 ms
    // block; the demo itself accepts none.
    int tone_check(const std::string &wav, int hz) {
        ChildProcess c(
            {BIN + "/demo-wav-check", wav, "--tone", std::to_string(hz), "--max-silent", "2"});
        int rc = c.wait(10s);
        if (rc != 0) {
            ADD_FAILURE() << c.output();
        }
        return rc;
    }
    void TearDown() override {
        if (pc) {
            EXPECT_EQ(pc->stop(SIGTERM, 5s), 0) << "ends in order";
        }
        if (phone) phone->stop(SIGTERM, 5s);
    }
};

struct RoadCase {
    const char *shape;
    bool srtp;
};

class RoadShapes : public Road, public ::testing::WithParamInterface<RoadCase> {};

TEST_P(RoadShapes, AudioBothWaysAndThePhonesHangUpReachesTheHost) {
    const RoadCase c = GetParam();
    start_phone();
    start_pc(c.srtp ? std::vector<std::string>{} : std::vector<std::string>{"--no-srtp"});
    auto h = host(c.shape, 4, file("host_captured.wav"));
    ASSERT_TRUE(phone->wait_for("# media started", 10s)) << phone->output() << h->output();
    EXPECT_NE(phone->output().find(c.srtp ? "srtp on" : "srtp off"), std::string::npos);
    std::this_thread::sleep_for(2500ms);
    phone->write_line("hangup");
    EXPECT_TRUE(h->wait_for("hid-in: 01 03", 5s)) << h->output();
    EXPECT_EQ(h->wait(10s), 0) << h->output();
    ASSERT_TRUE(phone->wait_for("# media recorded to", 10s)) << phone->output();
    EXPECT_EQ(tone_check(file("phone_received.wav"), HOST_TONE), 0) << "PC -> phone";
    EXPECT_EQ(tone_check(file("host_captured.wav"), PHONE_TONE), 0) << "phone -> PC";
}

INSTANTIATE_TEST_SUITE_P(Shapes, RoadShapes,
                         ::testing::Values(RoadCase{"linux", true}, RoadCase{"windows", false}),
                         [](const auto &info) {
                             return std::string(info.param.shape) +
                                    (info.param.srtp ? "_srtp" : "_plain");
                         });

TEST_F(Road, PhoneThatDisappearsMidCallRemovesTheDeviceAndPairsAgain) {
    start_phone();
    start_pc();
    auto h = host("linux", 30, file("host_captured.wav"));
    ASSERT_TRUE(phone->wait_for("# media started", 10s)) << phone->output();
    std::this_thread::sleep_for(1s);
    phone->stop(SIGKILL, 5s);  // gone without a word
    ASSERT_TRUE(pc->wait_for("status: STATUS_IDLE", 20s)) << pc->output();
    // The device is gone: the host's stream ends instead of hanging.
    EXPECT_NE(h->wait(15s), -1) << h->output();
    start_phone();
    EXPECT_TRUE(pc->wait_for("status: STATUS_PAIREDSIGNIN", 30s)) << pc->output();
    ChildProcess again(
        {BIN + "/usb-host-emu", "--port", std::to_string(usbip_port), "--enumerate"});
    EXPECT_EQ(again.wait(15s), 0) << again.output();
}

TEST_F(Road, PhoneThatChangesItsKeyMidCallGetsAFreshStream) {
    start_phone();
    start_pc();
    auto h = host("linux", 30, file("host_captured.wav"));
    ASSERT_TRUE(phone->wait_for("# media started", 10s)) << phone->output();
    std::this_thread::sleep_for(1s);
    phone->write_line("rekey");
    ASSERT_TRUE(phone->wait_for("# media re-keyed", 5s)) << phone->output();
    // The PC's authentication fails, so it restarts the stream: the phone is
    // invited again with a fresh key and the audio flows once more.
    ASSERT_TRUE(phone->wait_for("# media started", 10s)) << phone->output();
    // The new stream authenticates: no further restarts follow (they would
    // come about every 1.1 s while the keys disagree).
    std::this_thread::sleep_for(3s);
    std::string log = read_file(data() + "/Quellin.log");
    size_t first = log.find("for restart pc-audio");
    EXPECT_NE(first, std::string::npos) << log;
    EXPECT_EQ(log.find("for restart pc-audio", first + 1), std::string::npos) << log;
    h->stop(SIGTERM, 5s);
}

TEST_F(Road, HostThatDetachesMidStreamCanImportAgain) {
    start_phone();
    start_pc();
    auto h = host("linux", 30, file("host_captured.wav"));
    ASSERT_TRUE(phone->wait_for("# media started", 10s)) << phone->output();
    std::this_thread::sleep_for(1s);
    h->stop(SIGKILL, 5s);
    std::this_thread::sleep_for(500ms);
    ChildProcess again(
        {BIN + "/usb-host-emu", "--port", std::to_string(usbip_port), "--enumerate"});
    EXPECT_EQ(again.wait(15s), 0) << again.output();
    EXPECT_EQ(pc->count("status: STATUS_IDLE", 200ms), 1u)
        << "the session stayed up: " << pc->output();
    auto h2 = host("windows", 2, file("host_captured2.wav"));
    EXPECT_EQ(h2->wait(15s), 0) << h2->output();
    EXPECT_EQ(tone_check(file("host_captured2.wav"), PHONE_TONE), 0);
}

}  // namespace
