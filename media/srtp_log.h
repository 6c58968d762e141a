// Diagnostics of the SRTP layer and the library's start and stop.
#pragma once

#include <cstdarg>

// Receives one formatted line (at most SRTP_LOG_TEXT_MAX - 1 characters).
typedef void (*srtp_log_hook)(int level, const char *text);

constexpr int SRTP_LOG_TEXT_MAX = 256;  // bytes, terminator included
// Levels of this layer: failures and parse details.
constexpr int SRTP_LOG_FAIL = 0;
constexpr int SRTP_LOG_DETAIL = 1;

// Sets the level and the hook, routes the library's own messages through
// srtp_log and initialises the library (its result is only logged).
void srtp_log_setup(int debug_level, srtp_log_hook hook);
// Level 0, no hook, then the library's crypto kernel is shut down.
void srtp_log_shutdown();

void srtp_log(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

int srtp_log_level();
srtp_log_hook srtp_log_get_hook();

// A hook that writes to the program log: failures as errors, details as debug.
void srtp_log_to_program(int level, const char *text);
