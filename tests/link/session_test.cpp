// The phone session against a scripted phone on loopback, with a device
// double behind the session's device operations and a hand-driven clock for
// the session's timers.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "../platform/temp_dir.h"
#include "device_double.h"
#include "fake_phone.h"
#include "link/duvo_cmd.h"
#include "link/pair_manager_impl.h"
#include "platform/config.h"

namespace {

using namespace std::chrono_literals;

const char *const PAIRED_INFO =
    R"({"phone_ip":"127.0.0.1","phone_mac":"02:00:5E:AA:BB:CC","phone_name":"Desk","pair_conv_id":"phone-conv"})";
const char *const DEV_INFO =
    R"J({"sw_version":"1.2.3","update_url":"http://u/(9.9.9.9)","device_gruu":"sip:x","device_name":"Desk Phone","sip_version":"2.0","codec_name":"L16PCM","device_vid":4660,"device_pid":22136,"device_rev":256,"codec_samplerate":16000})J";

struct Recorder {
    std::mutex lock;
    std::condition_variable cv;
    std::vector<int> statuses;
    std::vector<int> notes;  // kinds other than status

    static void observer(void *ctx, int kind, int value) {
        Recorder *r = static_cast<Recorder *>(ctx);
        std::lock_guard<std::mutex> g(r->lock);
        if (kind == NOTIFY_PAIR_STATUS)
            r->statuses.push_back(value);
        else
            r->notes.push_back(kind);
        r->cv.notify_all();
    }
    bool wait_status(int s, std::chrono::milliseconds t = 10s) {
        std::unique_lock<std::mutex> g(lock);
        return cv.wait_for(g, t, [&] { return !statuses.empty() && statuses.back() == s; });
    }
    bool wait_note(int kind, std::chrono::milliseconds t = 10s) {
        std::unique_lock<std::mutex> g(lock);
        return cv.wait_for(g, t, [&] {
            for (int n : notes)
                if (n == kind) return true;
            return false;
        });
    }
    std::vector<int> since(size_t from) {
        std::lock_guard<std::mutex> g(lock);
        return std::vector<int>(statuses.begin() + long(std::min(from, statuses.size())),
                                statuses.end());
    }
};

struct Session : ::testing::Test {
    TempDir dir;
    FakePhone phone;
    DeviceDouble device;
    Recorder rec;
    pair_manager *pm = nullptr;
    static std::atomic<uint64_t> fake_now;

    void write_ini(const std::string &extra) {
        std::string folder = dir.path() + "/Mirelta/Ostrelle";
        std::filesystem::create_directories(folder);
        write_file(folder + "/Quellin.ini", "[common]\nAutoIP=0\nTransType=0\nPhonePort=" +
                                                std::to_string(phone.port()) + "\n" + extra);
    }
    void SetUp() override {
        setenv("APPDATA", dir.path().c_str(), 1);
        g_config.ini_path.clear();
        g_config.trans_type = 1;
        write_ini("PhoneIP=127.0.0.1\n");
        config_load();
        device.install();
        ASSERT_EQ(pair_manager_init(&pm), 0);
        pair_manager_set_observer(pm, 1, Recorder::observer, &rec);
        pair_manager_set_timer_clock(
            pm, [](void *) { return fake_now.load(); }, nullptr);
    }
    void TearDown() override {
        pair_manager_quit(pm);
        for (int i = 0; i < 200 && ReleasePairManager(pm) != 1; ++i)
            std::this_thread::sleep_for(50ms);
        DeviceDouble::uninstall();
    }
    // Moves the session's timer clock on and gives the tick thread time to run.
    void advance(uint64_t ms) {
        fake_now += ms;
        std::this_thread::sleep_for(200ms);
    }

    // From the start to the phone's identity, in the new format.
    void pair_to_paired_info() {
        ASSERT_EQ(StartPair(pm), 0);
        ASSERT_TRUE(phone.accept_pc());
        pc_msg m;
        ASSERT_TRUE(phone.read(&m));
        EXPECT_EQ(m.id, DUVO_CMD_C2P_DETECT_NEW_FORMATE);
        EXPECT_FALSE(m.new_framing);
        phone.send(DUVO_CMD_P2C_NOTIFY_SUPPORT_XML);
        phone.set_new_framing(true);
        ASSERT_TRUE(phone.read_until(DUVO_CMD_C2P_PAIR_DETECT, &m));
        EXPECT_TRUE(m.new_framing);
        EXPECT_EQ(m.seq, 1u);
        phone.send_json(DUVO_CMD_P2C_PAIRED_INFO, PAIRED_INFO);
        ASSERT_TRUE(phone.read_until(DUVO_CMD_C2P_GET_PAIRING_MODE));
    }

    void pair_to_signed_in() {
        pair_to_paired_info();
        phone.send_json(DUVO_CMD_P2C_PAIRING_MODE_RESULT, R"({"pair_mode":0})");
        ASSERT_TRUE(phone.read_until(DUVO_CMD_C2P_GET_DEV_INFO));
        phone.send_json(DUVO_CMD_P2C_DEV_INFO, DEV_INFO);
        pc_msg cfg;
        ASSERT_TRUE(phone.read_until(DUVO_CMD_C2P_DUVO_CFG, &cfg));
        EXPECT_NE(cfg.body.find(g_config.conv_id), std::string::npos) << cfg.body;
        ASSERT_TRUE(rec.wait_status(STATUS_PAIRED));
        phone.send(DUVO_CMD_P2C_ACTIVE_OK);
        ASSERT_TRUE(rec.wait_status(STATUS_PAIREDSIGNIN));
    }

    // The ids the PC sends until it closes the connection, keepalives left out.
    std::vector<int> ids_until_close() {
        std::vector<int> ids;
        pc_msg m;
        while (phone.read(&m, 3000))
            if (m.id != DUVO_CMD_C2P_KEEP_ALIVE) ids.push_back(m.id);
        return ids;
    }
};
std::atomic<uint64_t> Session::fake_now{1000000};

TEST_F(Session, HandshakeCallControlAndPhoneUnpair) {
    pair_to_signed_in();
    EXPECT_EQ(device.name, "Desk Phone");
    EXPECT_EQ(device.vid, 4660);
    EXPECT_EQ(device.pid, 22136);
    EXPECT_EQ(device.rev, 256);
    EXPECT_EQ(device.rate, 16000);
    EXPECT_EQ(device.srtp, 1);
    EXPECT_EQ(g_config.update_url, "http://u/(9.9.9.9)");

    // The phone's call commands reach the device.
    struct {
        const char *json;
        int up, down, end;
    } zoom[] = {{R"({"command":0,"value":7})", 4, 0, 4}, {R"({"command":1,"value":-3})", 4, 0, 0}};
    for (auto &z : zoom) {
        phone.send_json(DUVO_CMD_P2C_ZOOM_COMMAND, z.json);
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(device.hid.zoom_vol_up, z.up) << z.json;
        EXPECT_EQ(device.hid.zoom_vol_down, z.down) << z.json;
        EXPECT_EQ(device.hid.zoom_vol_end, z.end) << z.json;
    }
    phone.send_json(DUVO_CMD_P2C_CALL_START,
                    R"({"rtp_port":41000,"strp_key":"1 AES_CM_128_HMAC_SHA1_80 inline:abc"})");
    phone.send_json(DUVO_CMD_P2C_CALL_END, R"({"hung_up":1,"need_clean":1})");
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(device.called("rtp_create:41000:1 AES_CM_128_HMAC_SHA1_80 inline:abc"));
    EXPECT_EQ(device.hid.hungup, 1);

    // The syslog request names this PC's address on the phone connection.
    ASSERT_EQ(SetPhoneSyslog(pm, 1), 0);
    pc_msg sys;
    ASSERT_TRUE(phone.read_until(DUVO_CMD_C2P_SYSLOG_UPDATE, &sys));
    EXPECT_NE(sys.body.find("16777343"), std::string::npos)
        << "127.0.0.1 as the wire reads it: " << sys.body;

    size_t before = rec.since(0).size();
    phone.send(DUVO_CMD_COM_UN_PAIR);
    // The PC closes first, then tells the phone it is leaving, in this order.
    EXPECT_EQ(ids_until_close(),
              (std::vector<int>{DUVO_CMD_COM_CLOSE_FD, DUVO_CMD_C2P_DEVICE_UN_ACTIVE,
                                DUVO_CMD_COM_UN_PAIR, DUVO_CMD_COM_CLOSE_FD}));
    ASSERT_TRUE(rec.wait_status(STATUS_IDLE));
    EXPECT_EQ(rec.since(before), (std::vector<int>{STATUS_UNPAIRING, STATUS_IDLE}));
    EXPECT_EQ(pair_manager_unpair_reason(pm), UNPAIR_PHONE_UNPAIRED);
    EXPECT_TRUE(device.called("stop"));
    EXPECT_TRUE(device.called("deinit"));
    EXPECT_EQ(pm->link.sent_list.Count(), 0u);
    EXPECT_EQ(pm->conn.sock, PHONE_CONN_NO_SOCKET);
}

TEST_F(Session, OldFormatPhoneGetsPairDetectAfterFallback) {
    ASSERT_EQ(StartPair(pm), 0);
    ASSERT_TRUE(phone.accept_pc());
    pc_msg m;
    ASSERT_TRUE(phone.read(&m));
    ASSERT_TRUE(rec.wait_status(STATUS_PAIRING));
    advance(1400);
    EXPECT_FALSE(phone.read(&m, 300)) << "nothing before 1.5 s";
    advance(100);
    ASSERT_TRUE(phone.read(&m, 2000));
    EXPECT_EQ(m.id, DUVO_CMD_C2P_PAIR_DETECT);
    EXPECT_FALSE(m.new_framing);
    EXPECT_TRUE(m.body.empty());
}

TEST_F(Session, SilentPhoneEndsTheSessionAfterThreeMissedTicks) {
    pair_to_paired_info();
    phone.set_silent(true);
    pc_msg m;
    for (int tick = 0; tick < 3; ++tick) {
        advance(3000);
        ASSERT_TRUE(phone.read_until(DUVO_CMD_C2P_KEEP_ALIVE, &m, 3000)) << "tick " << tick;
        EXPECT_EQ(pair_manager_status(pm), STATUS_PAIRING);
    }
    advance(3000);
    ASSERT_TRUE(rec.wait_status(STATUS_IDLE));
    EXPECT_EQ(pair_manager_unpair_reason(pm), UNPAIR_PHONE_SILENT);
    EXPECT_EQ(pm->need_inpurt_pair_code, 0);
}

TEST_F(Session, CancelledPairingCodeEndsTheSessionInOrder) {
    pair_to_paired_info();
    phone.send_json(DUVO_CMD_P2C_PAIRING_MODE_RESULT, R"({"pair_mode":1})");
    ASSERT_TRUE(rec.wait_note(NOTIFY_NEED_PAIR_CODE));
    ASSERT_EQ(SendPairCode(pm, -1, nullptr, 0), 0);
    EXPECT_EQ(ids_until_close(),
              (std::vector<int>{DUVO_CMD_C2P_CANCEL_PAIRING_CODE, DUVO_CMD_C2P_PAIR_CANCELLED,
                                DUVO_CMD_C2P_DEVICE_UN_ACTIVE, DUVO_CMD_COM_UN_PAIR,
                                DUVO_CMD_COM_CLOSE_FD}));
    ASSERT_TRUE(rec.wait_status(STATUS_IDLE));
    EXPECT_EQ(pair_manager_unpair_reason(pm), UNPAIR_USER);
}

TEST_F(Session, PairingCodeIsSentAndAWrongOneReported) {
    pair_to_paired_info();
    phone.send_json(DUVO_CMD_P2C_PAIRING_MODE_RESULT, R"({"pair_mode":1})");
    ASSERT_TRUE(rec.wait_note(NOTIFY_NEED_PAIR_CODE));
    ASSERT_EQ(SendPairCode(pm, 1, "123456", 6), 0);
    pc_msg m;
    ASSERT_TRUE(phone.read_until(DUVO_CMD_C2P_PIN_VERIFICATION, &m));
    EXPECT_NE(m.body.find("123456"), std::string::npos);
    phone.send_json(DUVO_CMD_P2C_VERIFICATION_RESULT, R"({"pair_code_ver_result":1})");
    EXPECT_TRUE(rec.wait_status(STATUS_PIN_FAILED));
    phone.send_json(DUVO_CMD_P2C_VERIFICATION_RESULT, R"({"pair_code_ver_result":0})");
    EXPECT_TRUE(phone.read_until(DUVO_CMD_C2P_GET_DEV_INFO));
}

TEST_F(Session, DeviceThatCannotBeCreatedEndsTheSession) {
    device.fail_plugin = true;
    pair_to_paired_info();
    phone.send_json(DUVO_CMD_P2C_PAIRING_MODE_RESULT, R"({"pair_mode":0})");
    ASSERT_TRUE(phone.read_until(DUVO_CMD_C2P_GET_DEV_INFO));
    phone.send_json(DUVO_CMD_P2C_DEV_INFO, DEV_INFO);
    ASSERT_TRUE(rec.wait_note(NOTIFY_USB_INIT_FAIL));
    ASSERT_TRUE(rec.wait_status(STATUS_IDLE));
    EXPECT_EQ(pair_manager_unpair_reason(pm), UNPAIR_USB_FAILED);
    EXPECT_TRUE(device.called("deinit")) << "a half-made device is still released";
}

TEST_F(Session, NoPhoneAddressStaysIdle) {
    write_ini("");
    g_config.phone_ip = 0;
    ASSERT_EQ(StartPair(pm), 0);
    EXPECT_FALSE(phone.accept_pc(500));
    EXPECT_TRUE(rec.since(0).empty());
    EXPECT_EQ(pair_manager_unpair_reason(pm), UNPAIR_USER);
}

TEST(ConvId, VersionFiveLayout) {
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        char id[37];
        conv_id_generate(id);
        std::string s(id);
        ASSERT_EQ(s.size(), 36u);
        EXPECT_EQ(s[14], '5');
        EXPECT_NE(std::string("89ab").find(s[19]), std::string::npos) << s;
        for (int dash : {8, 13, 18, 23}) EXPECT_EQ(s[size_t(dash)], '-');
        seen.insert(s);
    }
    EXPECT_EQ(seen.size(), 200u);
}

}  // namespace
