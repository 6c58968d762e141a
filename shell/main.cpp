// Ostrelle: pairs this PC with a Mirelta phone and serves it as a USB speakerphone.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "platform/config.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "platform/version.h"
#include "shell/app_core.h"
#include "shell/headless/headless_shell.h"
#include "shell/res/string_table.h"
#include "usb/usb_session_ops.h"

namespace {

constexpr const char *INSTANCE_LOCK_NAME = "Ostrelle.lock";
constexpr const char *OLD_LOG_FOLDER_NAME = "Mirelta Phone log";

void usage() {
    printf(
        "usage: ostrelle [--headless] [--no-srtp] [--version]\n"
        "  --headless  run without the tray UI; status on standard output,\n"
        "              the pairing code read from standard input\n"
        "  --no-srtp   start with SRTP off (the tray's \"Enable Srtp\" item)\n");
}

// Held for the life of the process; the kernel drops it when the process ends.
bool take_instance_lock() {
    int fd = open(data_file(INSTANCE_LOCK_NAME).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return true;  // no lock file: do not refuse to run over it
    return flock(fd, LOCK_EX | LOCK_NB) == 0;
}

// An old log folder of earlier versions; removed at start with what it holds.
void remove_old_log_folder() {
    std::error_code ec;
    std::filesystem::remove_all(data_file(OLD_LOG_FOLDER_NAME), ec);
}

}  // namespace

int main(int argc, char **argv) {
    bool headless = false;
    bool startup = false;
    bool no_srtp = false;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--version") == 0) {
            printf("Ostrelle %s\n", OSTRELLE_VERSION);
            return 0;
        }
        if (strcmp(argv[i], "--headless") == 0) {
            headless = true;
        } else if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            usage();
            return 0;
        } else if (strcmp(argv[i], "--no-srtp") == 0) {
            no_srtp = true;
        } else if (strstr(argv[i], "-startup") != nullptr) {
            startup = true;
        } else {
            fprintf(stderr, "unknown option %s\n", argv[i]);
            usage();
            return 2;
        }
    }
    if (!headless) {
        // The tray UI is not part of this build; the headless program does the work.
        fprintf(stderr, "ostrelle: no tray UI in this build, running headless\n");
    }

    // A phone that vanishes mid-write must not end the program.
    signal(SIGPIPE, SIG_IGN);
    headless_block_signals();
    config_load();
    // Started with the desktop session although the user turned that off.
    if (startup && g_config.auto_run == 0) return 0;
    // One program per user: a second would share the log, the configuration,
    // the syslog port and the USB/IP port with the first.
    if (!take_instance_lock()) {
        printf("%s\n", LoadLangString(IDS_ALREADY_RUNNING).c_str());
        return 0;
    }
    remove_old_log_folder();
    const std::string log_path = data_file(LOG_FILE_NAME);
    log_init(log_path, log_path, -1);
    log_print(0, LL_INFO, "start_up %d, wired %d, language_id:%x\n", startup ? 1 : 0,
              g_config.auto_ip, system_lang_is_chinese() ? 0x804 : 0x409);

    // The session creates the virtual speakerphone through these operations.
    usb_session_ops_register();

    int rc;
    {
        CHeadlessShell shell;
        CDuvoCore core(shell);
        if (core.Init(&CHeadlessShell::observer, &shell) != 0) {
            rc = 1;
        } else {
            if (no_srtp) core.ToggleEnableSrtp();
            rc = shell.run(core);
        }
    }
    log_clear_callbacks();
    return rc;
}
