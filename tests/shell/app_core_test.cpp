// The main window's logic with a recording UI in place of a toolkit.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "../platform/temp_dir.h"
#include "link/pair_manager.h"
#include "platform/config.h"
#include "shell/app_core.h"
#include "shell/res/string_table.h"

namespace {

struct tray_write {
    tray_icon icon;
    std::string tip, balloon;
};

struct RecordingUi : CShellUi {
    std::vector<int> applied;
    std::vector<tray_write> tray;
    std::vector<int> boxes;
    std::map<int, int> timers;
    int endpoint_selections = 0;
    bool ended = false;
    int dialog_result = -1;
    std::string dialog_code;

    void status_applied(int status, int) override { applied.push_back(status); }
    bool update_tray(tray_icon icon, const std::string &tip, const std::string &balloon) override {
        tray.push_back({icon, tip, balloon});
        return true;
    }
    void message_box(int text_id, int, box_icon) override { boxes.push_back(text_id); }
    void select_default_endpoint() override { ++endpoint_selections; }
    std::atomic<int> dialogs{0};
    int run_pair_code_dialog(std::string *code) override {
        ++dialogs;
        *code = dialog_code;
        return dialog_result;
    }
    void cancel_pair_code_dialog() override {}
    void arm_pair_code_dialog() override {}
    void set_timer(int id, int ms) override { timers[id] = ms; }
    void kill_timer(int id) override { timers.erase(id); }
    void pump_pending() override {}
    void end_main_window() override { ended = true; }
};

uint64_t fake_now = 1000;

struct Core : ::testing::Test {
    TempDir dir;
    RecordingUi ui;
    std::unique_ptr<CDuvoCore> core;

    void start(const std::string &ini) {
        setenv("APPDATA", dir.path().c_str(), 1);
        std::filesystem::create_directories(dir.path() + "/Mirelta/Ostrelle");
        write_file(dir.path() + "/Mirelta/Ostrelle/Quellin.ini", "[common]\nLang=0\n" + ini);
        g_config.ini_path.clear();
        config_load();
        core = std::make_unique<CDuvoCore>(ui, [] { return fake_now; });
        ASSERT_EQ(core->Init([](void *, int, int) {}, nullptr), 0);
    }
    void TearDown() override {
        if (!core) return;
        core->DealWithExit();
        for (int i = 0; i < 100 && !ui.ended; ++i) {
            core->OnTimer(TIMER_EXIT_WAIT);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        EXPECT_TRUE(ui.ended);
    }
    void drop_to_idle(int reason) {
        StopPair(core->session(), reason);
        core->OnPairNotify(NOTIFY_PAIR_STATUS, STATUS_IDLE);
    }
};

TEST_F(Core, StartsIdleWithReconnectArmedAndHousekeepingRunning) {
    start("AutoIP=0\n");
    EXPECT_EQ(ui.applied, (std::vector<int>{STATUS_IDLE}));
    ASSERT_EQ(ui.tray.size(), 1u);
    EXPECT_EQ(ui.tray[0].tip, "Ostrelle\r\nStatus: Disconnected");
    EXPECT_EQ(ui.tray[0].icon, TRAY_DISCONNECTED);
    EXPECT_EQ(ui.timers[TIMER_HOUSEKEEPING], 1000);
    EXPECT_TRUE(core->reconnect_timer().armed());
    fake_now += 1;
    core->OnTimer(TIMER_HOUSEKEEPING);  // idle and expired: asks for a new start
    EXPECT_FALSE(core->reconnect_timer().armed());
    EXPECT_STREQ(g_config.conv_id, "") << "the conversation id is cleared at idle";
}

TEST_F(Core, StatusTableAndEqualTipsLeaveTheTrayAlone) {
    start("AutoIP=0\n");
    struct {
        int status;
        size_t tray_writes;  // after this status
        tray_icon icon;
    } steps[] = {
        {STATUS_GETIP, 1, TRAY_DISCONNECTED},  // "Disconnected" again: nothing written
        {STATUS_PAIRED, 2, TRAY_PAIRED},
        {STATUS_PAIREDSIGNIN, 2, TRAY_PAIRED},  // "Connected" again: no icon, no balloon
    };
    for (auto &s : steps) {
        core->OnPairNotify(NOTIFY_PAIR_STATUS, s.status);
        EXPECT_EQ(ui.tray.size(), s.tray_writes) << pair_status_name(s.status);
        EXPECT_EQ(ui.tray.back().icon, s.icon) << pair_status_name(s.status);
    }
    EXPECT_EQ(ui.endpoint_selections, 1);
}

TEST_F(Core, ConnectFailureBalloonOnlyForTheFirstOfARun) {
    start("AutoIP=0\n");
    drop_to_idle(UNPAIR_TIMEOUT);
    ASSERT_EQ(ui.tray.back().icon, TRAY_FAILED);
    EXPECT_EQ(ui.tray.back().balloon, LoadLangString(156));
    EXPECT_EQ(ui.tray.back().tip, "Ostrelle\r\n" + LoadLangString(156));
    EXPECT_EQ(core->idle_failure_count(), 1);

    core->OnPairNotify(NOTIFY_PAIR_STATUS, STATUS_CONNECTING);
    drop_to_idle(UNPAIR_TIMEOUT);
    EXPECT_EQ(ui.tray.back().balloon, "") << "second failure in a row: no balloon";
    EXPECT_EQ(core->idle_failure_count(), 2);

    drop_to_idle(UNPAIR_CONNECT_FAILED);
    EXPECT_EQ(core->idle_failure_count(), 0);
    core->OnPairNotify(NOTIFY_PAIR_STATUS, STATUS_CONNECTING);
    drop_to_idle(UNPAIR_TIMEOUT);
    EXPECT_EQ(ui.tray.back().balloon, LoadLangString(156)) << "re-enabled by another reason";
}

TEST_F(Core, DisabledPhoneAndUsbFailureShowBoxes) {
    start("AutoIP=0\n");
    drop_to_idle(UNPAIR_DUVO_DISABLED);
    core->OnPairNotify(NOTIFY_USB_INIT_FAIL, 0);
    EXPECT_EQ(ui.boxes, (std::vector<int>{125, 137}));
}

TEST_F(Core, AutomaticTestTimersCycle) {
    start("AutoIP=0\nAutoTestInterval=5\n");
    int count = g_config.auto_test_count;
    core->OnPairNotify(NOTIFY_PAIR_STATUS, STATUS_IDLE);
    EXPECT_EQ(ui.timers[TIMER_AUTOTEST_PAIR], 5000);
    EXPECT_EQ(ui.timers.count(TIMER_AUTOTEST_STOP), 0u);
    EXPECT_EQ(g_config.auto_test_count, count + 1);
    core->OnPairNotify(NOTIFY_PAIR_STATUS, STATUS_PAIRED);
    EXPECT_EQ(ui.timers[TIMER_AUTOTEST_STOP], 5000);
    EXPECT_EQ(ui.timers.count(TIMER_AUTOTEST_PAIR), 0u);
    core->OnTimer(TIMER_AUTOTEST_STOP);
    EXPECT_EQ(pair_manager_unpair_reason(core->session()), UNPAIR_USER);
    EXPECT_EQ(ui.timers.count(TIMER_AUTOTEST_STOP), 0u);
}

TEST_F(Core, CodeRequestAfterTheSessionEndedLeavesItIdle) {
    start("AutoIP=0\n");
    // The request arrives when no session runs any more (it ended meanwhile).
    core->OnPairNotify(NOTIFY_NEED_PAIR_CODE, 0);
    for (int i = 0; i < 50 && core->m_bMessageBox == 0 && ui.dialogs == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    core->DealWithExit();  // joins nothing yet; the thread ends by itself
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(ui.dialogs, 0);
    EXPECT_EQ(pair_manager_status(core->session()), STATUS_IDLE)
        << "an idle session must stay idle, or no later start would be taken";
}

TEST_F(Core, ExitRunsOnceAndWaitsForTheSession) {
    start("AutoIP=0\n");
    core->DealWithExit();
    EXPECT_TRUE(core->exiting());
    EXPECT_EQ(ui.timers.count(TIMER_HOUSEKEEPING), 0u);
    EXPECT_EQ(ui.timers[TIMER_EXIT_WAIT], 50);
    core->DealWithExit();  // a second request changes nothing
    EXPECT_EQ(ui.timers[TIMER_EXIT_WAIT], 50);
}

}  // namespace
