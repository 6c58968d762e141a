#include "media/srtp_log.h"

#include <srtp2/srtp.h>

#include <atomic>
#include <cstdio>

#include "platform/log.h"

namespace {

std::atomic<int> g_level{0};
std::atomic<srtp_log_hook> g_hook{nullptr};

// The library's messages: errors count as failures, the rest as details.
void library_message(srtp_log_level_t level, const char *msg, void *) {
    srtp_log(level == srtp_log_level_error ? SRTP_LOG_FAIL : SRTP_LOG_DETAIL, "SRTP:lib:%s\n",
             msg != nullptr ? msg : "");
}

}  // namespace

void srtp_log_setup(int debug_level, srtp_log_hook hook) {
    g_level = debug_level;
    g_hook = hook;
    srtp_install_log_handler(library_message, nullptr);
    srtp_err_status_t rc = srtp_init();
    if (rc != srtp_err_status_ok) srtp_log(SRTP_LOG_FAIL, "SRTP:srtp_init():failed,%d\n", rc);
}

void srtp_log_shutdown() {
    g_level = 0;
    g_hook = nullptr;
    srtp_install_log_handler(nullptr, nullptr);
    srtp_shutdown();
}

void srtp_log(int level, const char *fmt, ...) {
    srtp_log_hook hook = g_hook.load();
    if (hook == nullptr || level > g_level.load()) return;
    char text[SRTP_LOG_TEXT_MAX];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    hook(level, text);
}

int srtp_log_level() {
    return g_level.load();
}

srtp_log_hook srtp_log_get_hook() {
    return g_hook.load();
}

void srtp_log_to_program(int level, const char *text) {
    log_print(0, level <= SRTP_LOG_FAIL ? LL_ERR : LL_DEBUG, "%s", text);
}
