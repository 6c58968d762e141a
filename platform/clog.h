// The program log and the phone-syslog receiver behind log_print.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

// Size above which the program log is cut to its newer half (50 MiB).
constexpr int64_t LOG_TRIM_THRESHOLD = 52428800;
constexpr int64_t LOG_TRIM_KEEP = 26214400;
// Longest line, in characters, before the prefix is added; longer lines are cut.
constexpr int LOG_LINE_MAX = 4095;
// Largest syslog datagram copied to the phone log.
constexpr int SYSLOG_DATAGRAM_MAX = 2047;

// An append-only text file that trims itself when it grows past the threshold.
class CLogFile {
  public:
    ~CLogFile() { close(); }
    // Opens (create, no truncate) and seeks to the end, or trims an oversized
    // file. Returns 0, or -1 when the file cannot be opened.
    int open_or_trim(const std::string &path);
    int write(const char *data, size_t len);
    void close();
    bool is_open() const { return fd_ >= 0; }

  private:
    int trim();
    int fd_ = -1;
    std::string path_;
};

class CLog {
  public:
    CLog() = default;
    ~CLog();
    CLog(const CLog &) = delete;
    CLog &operator=(const CLog &) = delete;

    int init(const std::string &log_path, const std::string &phone_log_base, int level);
    void write_line(int phone_log, int level, const char *fmt, va_list ap);
    void write_wline(int phone_log, int level, const wchar_t *fmt, va_list ap);

    void set_phone_file(const char *mac);
    std::string phone_file() const;
    void set_phone_addr(uint32_t addr) { phone_addr_ = addr; }
    void set_syslog_port(int port) { syslog_port_ = port; }
    int syslog_port() const { return syslog_port_; }
    int receiver_start();
    int receiver_stop();

    std::atomic<int> level_limit{LL_INFO_DEFAULT};
    std::atomic<int> debug{0};

    static constexpr int LL_INFO_DEFAULT = 6;

  private:
    void write_text(int phone_log, int level, const char *body, size_t len);
    void receiver_main();

    std::mutex lock_;  // program log
    std::string log_path_;
    CLogFile program_log_;

    mutable std::mutex phone_lock_;  // phone log file and its path
    std::string phone_path_;
    std::string phone_base_;
    CLogFile phone_log_;

    std::mutex receiver_lock_;
    int receiver_socket_ = -1;
    std::thread receiver_thread_;
    std::atomic<bool> receiver_stop_{false};
    std::atomic<uint32_t> phone_addr_{0};
    std::atomic<int> syslog_port_{514};
    bool foreign_sender_logged_ = false;
};

// The one instance of the process.
CLog &the_log();
