// The main window's logic without a UI toolkit: applying pair statuses,
// returning to idle and reconnecting, the housekeeping tick, the automatic
// test timers, the session's notifications and the orderly exit. Everything
// here runs on the main thread; the UI delivers timers and notifications.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "link/pair_manager.h"
#include "shell/reconnect_timer.h"
#include "shell/shell_ui.h"

class CDuvoCore {
  public:
    typedef uint64_t (*clock_fn)();

    CDuvoCore(CShellUi &ui, clock_fn clock = nullptr);
    ~CDuvoCore();

    // Dialog initialisation: fields, status idle, housekeeping, the session.
    // observer/ctx forward the session's notifications synchronously to the
    // main thread, where they arrive at OnPairNotify. 0, or -1 when the
    // session could not be created (the main window has then been ended).
    int Init(pair_observer observer, void *observer_ctx);

    void OnPairNotify(int code, int value);
    void OnTimer(int id);
    void DealWithExit();

    // Menu toggles.
    void ToggleLogService();
    void ToggleDebugMode();
    void ToggleEnableSrtp();
    void ToggleCaptureAudio();

    // The pairing-code thread's body (public for the UIs that run it).
    void PairCodeThreadMain(pair_manager *pm);

    int pair_status() const { return pair_status_; }
    bool exiting() const { return exiting_; }
    pair_manager *session() const { return session_; }
    int idle_failure_count() const { return idle_failure_count_; }
    const CReconnectTimer &reconnect_timer() const { return reconnect_; }
    std::atomic<int> m_bMessageBox{0};

  private:
    void OnPairStatus(int status, int last);
    void SwitchToIdle(int reason);
    void UpdateTray(int tip_id, tray_icon icon, int balloon_id, bool show_balloon);
    void Housekeeping();
    void StartPairCodeThread();
    void JoinPairCodeThread();
    uint64_t now() const;

    CShellUi &ui_;
    clock_fn clock_;
    pair_manager *session_ = nullptr;
    int pair_status_ = STATUS_IDLE;
    bool exiting_ = false;
    bool debug_mode_ = false;
    bool capture_audio_ = false;
    bool enable_srtp_ = true;
    bool log_service_ = false;
    bool tray_present_ = true;
    bool srtp_ready_ = false;
    int idle_failure_count_ = 0;
    std::string last_tip_;
    CReconnectTimer reconnect_;

    std::thread pair_code_thread_;
    std::atomic<bool> pair_code_done_{true};
    std::atomic<bool> pair_code_open_{false};
};
