// Diagnostic lines for the whole program.
//
// Every subsystem writes through log_print / log_wprint. Before log_init (and
// after log_clear_callbacks) the lines go to standard output; afterwards they go
// to the program log file through CLog, filtered by level. The phone-log flag
// routes a line to the phone-syslog file instead (no prefix, every level).
#pragma once

#include <cstdarg>
#include <string>

// Levels: lower is more severe.
enum log_level {
    LL_EMERG = 0,
    LL_ALERT = 1,
    LL_CRIT = 2,
    LL_ERR = 3,
    LL_WARN = 4,
    LL_NOTICE = 5,
    LL_INFO = 6,
    LL_DEBUG = 7,
    LL_SPY = 8,
    LL_ANY = 9,
};

typedef void (*log_callback)(int phone_log, int level, const char *fmt, va_list ap);
typedef void (*log_wcallback)(int phone_log, int level, const wchar_t *fmt, va_list ap);

int log_print(int phone_log, int level, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
int log_wprint(int phone_log, int level, const wchar_t *fmt, ...);

void log_set_callbacks(log_callback narrow, log_wcallback wide);
void log_clear_callbacks();

// Starts the program log: stores the paths, sets the limit when level >= 0,
// opens (or trims) the file, installs the writers and writes the banner.
int log_init(const std::string &log_path, const std::string &phone_log_base, int level);

// Phone-log path = base + MAC without ':' + ".log"; an empty MAC gives "phone_syslog".
void log_set_phone_file(const char *mac);

// Only datagrams from this IPv4 address (host order) reach the phone log once
// it is set; 0 accepts any sender.
void log_set_phone_addr(unsigned int addr);

int syslog_receiver_start();  // 1 running, 0 failed
int syslog_receiver_stop();   // always 1

// Level limit and debug flag of the program log.
void log_set_level_limit(int level);
int log_get_level_limit();
void log_set_debug(int on);
int log_get_debug();

// Hook run by log_init before anything else: the crash handler installs itself here.
typedef void (*log_crash_hook)(void);
void log_set_crash_hook(log_crash_hook hook);
