#include "shell/app_core.h"

#include <cstring>

#include "media/srtp_log.h"
#include "platform/config.h"
#include "platform/log.h"
#include "platform/os/os_time.h"
#include "shell/res/string_table.h"

namespace {

// Tip, icon and balloon of each status (the idle failure case is special).
struct status_view {
    int tip_id;
    tray_icon icon;
    int balloon_id;  // 0: none
};

status_view view_of(int status, int unpair_reason) {
    switch (status) {
        case STATUS_IDLE:
            if (unpair_reason == UNPAIR_TIMEOUT)
                return {IDS_CONNECT_FAILED, TRAY_FAILED, IDS_CONNECT_FAILED};
            return {IDS_DISCONNECTED_IDLE, TRAY_DISCONNECTED, 0};
        case STATUS_GETIP:
            return {IDS_DISCONNECTED_GETIP, TRAY_WORKING, 0};
        case STATUS_CONNECTING:
            return {IDS_DISCONNECTED_CONNECTING, TRAY_WORKING, 0};
        case STATUS_UNPAIRING:
            return {IDS_DISCONNECTED_UNPAIRING, TRAY_WORKING, 0};
        case STATUS_PAIRED:
            return {IDS_CONNECTED_PAIRED, TRAY_PAIRED, 0};
        case STATUS_PAIREDSIGNIN:
            return {IDS_CONNECTED_SIGNIN, TRAY_SIGNED_IN, IDS_CONNECTED_SIGNIN};
        default:  // PIN check, PIN succeeded, pairing
            return {IDS_DISCONNECTED_PAIRING, TRAY_WORKING, 0};
    }
}

}  // namespace

CDuvoCore::CDuvoCore(CShellUi &ui, clock_fn clock) : ui_(ui), clock_(clock) {}

CDuvoCore::~CDuvoCore() {
    ui_.cancel_pair_code_dialog();
    if (pair_code_thread_.joinable()) pair_code_thread_.join();
    if (srtp_ready_) srtp_log_shutdown();
}

uint64_t CDuvoCore::now() const {
    return clock_ ? clock_() : os_mono_ms();
}

int CDuvoCore::Init(pair_observer observer, void *observer_ctx) {
    pair_status_ = STATUS_IDLE;
    m_bMessageBox = 0;
    enable_srtp_ = true;
    log_service_ = debug_mode_ = capture_audio_ = false;
    session_ = nullptr;

    OnPairStatus(STATUS_IDLE, STATUS_IDLE);
    ui_.set_timer(TIMER_HOUSEKEEPING, 1000);
    srtp_log_setup(g_config.log_level, srtp_log_to_program);
    srtp_ready_ = true;

    if (pair_manager_init(&session_) < 0) {
        log_print(0, LL_ERR, "pair_manager_init fail\n");
        if (session_) {
            log_print(0, LL_INFO, "StopPair\n");
            pair_manager_quit(session_);
        }
        ui_.message_box(IDS_INIT_FAILED, IDS_CAPTION, BOX_EXCLAMATION);
        ui_.end_main_window();
        return -1;
    }
    pair_manager_set_observer(session_, 1, observer, observer_ctx);
    pair_manager_set_srtp_enable(session_, enable_srtp_);
    if (g_config.auto_ip == 1 || g_config.phone_ip != 0) StartPair(session_);
    return 0;
}

void CDuvoCore::OnPairStatus(int status, int last) {
    log_print(0, LL_INFO, "last pair status: %s, current pair status: %s\n", pair_status_name(last),
              pair_status_name(status));
    pair_status_ = status;
    const int reason = session_ ? pair_manager_unpair_reason(session_) : 0;
    ui_.status_applied(status, reason);
    status_view v = view_of(status, reason);

    switch (status) {
        case STATUS_IDLE: {
            bool show_balloon = (idle_failure_count_ == 0);
            SwitchToIdle(reason);
            // A code request that raced the session's end may have been taken
            // while waiting for its thread; the session is idle all the same.
            pair_status_ = STATUS_IDLE;
            UpdateTray(v.tip_id, v.icon, v.balloon_id, show_balloon && v.balloon_id != 0);
            if (reason == UNPAIR_DUVO_DISABLED)
                ui_.message_box(IDS_CONNECT_FAILED_DISABLED, IDS_CAPTION, BOX_ERROR);
            break;
        }
        case STATUS_PIN_FAILED:
            // The tray keeps what it showed: this status has no text of its own.
            m_bMessageBox = 1;
            ui_.message_box(IDS_WRONG_CODE, IDS_APP_TITLE, BOX_ERROR);
            m_bMessageBox = 0;
            StartPairCodeThread();
            break;
        case STATUS_PAIREDSIGNIN:
            ui_.select_default_endpoint();
            UpdateTray(v.tip_id, v.icon, v.balloon_id, true);
            break;
        default:
            UpdateTray(v.tip_id, v.icon, v.balloon_id, false);
            break;
    }
}

void CDuvoCore::UpdateTray(int tip_id, tray_icon icon, int balloon_id, bool show_balloon) {
    std::string tip = (tip_id == IDS_CONNECT_FAILED)
                          ? LoadLangString(IDS_TIP_PREFIX_FAILED) + LoadLangString(tip_id)
                          : LoadLangString(IDS_TIP_PREFIX) + LoadLangString(tip_id);
    if (tip == last_tip_) return;
    last_tip_ = tip;
    std::string balloon = (show_balloon && balloon_id) ? LoadLangString(balloon_id) : "";
    tray_present_ = ui_.update_tray(icon, tip, balloon);
}

void CDuvoCore::SwitchToIdle(int reason) {
    if (log_service_) syslog_receiver_stop();
    if (pair_code_open_) log_print(0, LL_DEBUG, "user SetExit pair code\n");
    JoinPairCodeThread();
    reconnect_.restart(now());
    idle_failure_count_ = (reason == UNPAIR_TIMEOUT) ? idle_failure_count_ + 1 : 0;
    g_config.set_conv_id("");
    config_save();
    reconnect_.set_delay(1);
    log_print(0, LL_INFO, "Switch to idle, unpair reason:%d\n", reason);
}

void CDuvoCore::OnPairNotify(int code, int value) {
    switch (code) {
        case NOTIFY_START_PAIR:
            StartPair(session_);
            break;
        case NOTIFY_BUTTON_SWITCH:
            log_print(0, LL_INFO, "button switch\n");
            if (pair_status_ != STATUS_UNPAIRING) StopPair(session_, UNPAIR_SETTINGS_CHANGED);
            if (pair_status_ == STATUS_IDLE) OnPairStatus(STATUS_IDLE, STATUS_IDLE);
            break;
        case NOTIFY_PAIR_STATUS:
            OnPairStatus(value, pair_status_);
            if (g_config.auto_test_interval > 0) {
                const int ms = g_config.auto_test_interval * 1000;
                if (value == STATUS_IDLE) {
                    ui_.set_timer(TIMER_AUTOTEST_PAIR, ms);
                    ui_.kill_timer(TIMER_AUTOTEST_STOP);
                    g_config.auto_test_count += 1;
                    config_save();
                } else if (value == STATUS_PAIRED || value == STATUS_PAIREDSIGNIN) {
                    ui_.set_timer(TIMER_AUTOTEST_STOP, ms);
                    ui_.kill_timer(TIMER_AUTOTEST_PAIR);
                }
            }
            break;
        case NOTIFY_USB_INIT_FAIL:
            ui_.message_box(IDS_USB_INIT_FAIL, IDS_CAPTION, BOX_EXCLAMATION);
            break;
        case NOTIFY_CLIENT_INACTIVE:
            // The PC-input watch that answers this comes with the PC state tracking.
            log_print(0, LL_INFO, "client inactive reported by the phone\n");
            break;
        case NOTIFY_NEED_PAIR_CODE:
            StartPairCodeThread();
            break;
        case NOTIFY_SYSLOG_ON:
            log_service_ = true;
            syslog_receiver_start();
            SetPhoneSyslog(session_, 1);
            break;
        default:
            break;
    }
}

void CDuvoCore::Housekeeping() {
    if (!tray_present_) tray_present_ = ui_.update_tray(TRAY_DISCONNECTED, last_tip_, "");
    if (pair_status_ == STATUS_IDLE && reconnect_.expired(now())) {
        reconnect_.disarm();
        OnPairNotify(NOTIFY_START_PAIR, 0);
    }
}

void CDuvoCore::OnTimer(int id) {
    switch (id) {
        case TIMER_HOUSEKEEPING:
            Housekeeping();
            break;
        case TIMER_AUTOTEST_PAIR:
            StartPair(session_);
            ui_.kill_timer(TIMER_AUTOTEST_PAIR);
            break;
        case TIMER_AUTOTEST_STOP:
            StopPair(session_, UNPAIR_USER);  // logs "StopPair"
            ui_.kill_timer(TIMER_AUTOTEST_STOP);
            break;
        case TIMER_EXIT_WAIT:
            if (!pair_code_done_) {  // the code thread still holds the session
                ui_.cancel_pair_code_dialog();
                ui_.pump_pending();
                break;
            }
            if (ReleasePairManager(session_) != 1) break;
            session_ = nullptr;
            ui_.kill_timer(TIMER_EXIT_WAIT);
            ui_.end_main_window();
            break;
        default:
            break;
    }
}

void CDuvoCore::DealWithExit() {
    if (exiting_) return;
    exiting_ = true;
    ui_.kill_timer(TIMER_HOUSEKEEPING);
    syslog_receiver_stop();
    ui_.cancel_pair_code_dialog();
    if (session_) {
        log_print(0, LL_INFO, "DealWithExit StopPair\n");
        log_print(0, LL_INFO, "StopPair\n");
        pair_manager_quit(session_);
        ui_.set_timer(TIMER_EXIT_WAIT, 50);
    } else {
        log_print(0, LL_INFO, "duvo exit!\n");
        ui_.end_main_window();
    }
}

void CDuvoCore::ToggleLogService() {
    log_service_ = !log_service_;
    if (log_service_)
        syslog_receiver_start();
    else
        syslog_receiver_stop();
    SetPhoneSyslog(session_, log_service_ ? 1 : 0);
}

void CDuvoCore::ToggleDebugMode() {
    debug_mode_ = !debug_mode_;
    log_set_debug(debug_mode_);
    if (session_) pair_manager_set_debug_mode(session_, debug_mode_);
}

void CDuvoCore::ToggleEnableSrtp() {
    enable_srtp_ = !enable_srtp_;
    if (session_) pair_manager_set_srtp_enable(session_, enable_srtp_);
}

void CDuvoCore::ToggleCaptureAudio() {
    capture_audio_ = !capture_audio_;
    SetAudioCapture(session_, capture_audio_ ? 1 : 0);
}

void CDuvoCore::StartPairCodeThread() {
    // One request at a time. A previous thread whose dialog has closed is
    // finishing (posting its code): wait for it rather than drop this request.
    if (!pair_code_done_ && pair_code_open_) return;
    JoinPairCodeThread();
    ui_.arm_pair_code_dialog();
    pair_code_done_ = false;
    pair_code_thread_ = std::thread(&CDuvoCore::PairCodeThreadMain, this, session_);
}

void CDuvoCore::JoinPairCodeThread() {
    // The thread may be waiting for the main thread to take its notification,
    // or about to open its dialog: keep both moving until it ends.
    while (!pair_code_done_) {
        ui_.cancel_pair_code_dialog();
        ui_.pump_pending();
        os_sleep_ms(5);
    }
    if (pair_code_thread_.joinable()) pair_code_thread_.join();
}

void CDuvoCore::PairCodeThreadMain(pair_manager *pm) {
    if (pm == nullptr || pair_manager_stopping(pm) || !pair_manager_enter_pin_check(pm) ||
        pair_manager_status(pm) != STATUS_PIN_CHECK || pair_code_open_.exchange(true)) {
        pair_code_done_ = true;
        return;
    }
    log_print(0, LL_INFO, "Dodal\n");
    m_bMessageBox = 1;
    std::string code;
    int result = ui_.run_pair_code_dialog(&code);
    m_bMessageBox = 0;
    pair_code_open_ = false;
    // The session outlives this thread: the exit waits for it before releasing.
    SendPairCode(pm, result, code.c_str(), int(code.size()));
    pair_code_done_ = true;
}
