// What the application logic needs from a user interface. The Qt tray UI and
// the headless console both implement it; the logic itself draws nothing.
#pragma once

#include <string>

enum tray_icon { TRAY_DISCONNECTED, TRAY_WORKING, TRAY_PAIRED, TRAY_SIGNED_IN, TRAY_FAILED };
enum box_icon { BOX_INFORMATION, BOX_EXCLAMATION, BOX_ERROR };

// Window-timer ids of the main window.
constexpr int TIMER_AUTOTEST_PAIR = 1126;
constexpr int TIMER_AUTOTEST_STOP = 1127;
constexpr int TIMER_EXIT_WAIT = 1128;
constexpr int TIMER_INPUT_WATCH = 1131;
constexpr int TIMER_HOUSEKEEPING = 1132;

class CShellUi {
  public:
    virtual ~CShellUi() = default;
    // Every status the logic applies, before any tray change.
    virtual void status_applied(int status, int unpair_reason) = 0;
    // Writes the tray entry; returns whether the tray accepted it.
    virtual bool update_tray(tray_icon icon, const std::string &tip,
                             const std::string &balloon) = 0;
    // A modal message box with the string-table texts.
    virtual void message_box(int text_id, int caption_id, box_icon icon) = 0;
    // Makes the paired speakerphone the default communications endpoint.
    virtual void select_default_endpoint() = 0;
    // Runs on the pairing-code thread: asks for the code; 1 accepted (code
    // filled), -1 cancelled or closed.
    virtual int run_pair_code_dialog(std::string *code) = 0;
    // Closes the pairing-code dialog from the main thread. The cancel holds
    // until the next request is armed, so a dialog that had not yet opened
    // closes at once when it does.
    virtual void cancel_pair_code_dialog() = 0;
    // Clears a held cancel before a new request starts (main thread).
    virtual void arm_pair_code_dialog() = 0;
    // Window timers, delivered back through CDuvoCore::OnTimer.
    virtual void set_timer(int id, int ms) = 0;
    virtual void kill_timer(int id) = 0;
    // Handles synchronous notifications that other threads are waiting on
    // (used while the main thread waits for the pairing-code thread).
    virtual void pump_pending() = 0;
    // Ends the main window (the program then exits).
    virtual void end_main_window() = 0;
};
