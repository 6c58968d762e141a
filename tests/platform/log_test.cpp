#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdarg>
#include <regex>

#include "platform/clog.h"
#include "platform/log.h"
#include "temp_dir.h"

namespace {

void write(CLog &log, int phone, int level, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    log.write_line(phone, level, fmt, ap);
    va_end(ap);
}

void wwrite(CLog &log, int level, const wchar_t *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    log.write_wline(0, level, fmt, ap);
    va_end(ap);
}

struct LogFixture : ::testing::Test {
    TempDir dir;
    CLog log;
    std::string path = dir.file("Quellin.log");
    void SetUp() override { log.init(path, dir.path() + "/Quellin.log", 6); }
};

TEST_F(LogFixture, LineFormatAndLevelNames) {
    write(log, 0, LL_INFO, "hello %d\n", 42);
    write(log, 0, LL_NOTICE, "notice\n");
    write(log, 0, LL_ERR, "err\n");
    std::string text = read_file(path);
    std::regex line(R"(\[\d\d/\d\d/\d{4} : \d\d:\d\d:\d\d\.\d{3}\] INFO: hello 42\n)"
                    R"(\[[^\]]+\]NOTICE: notice\n)"
                    R"(\[[^\]]+\]  ERR: err\n)");
    EXPECT_TRUE(std::regex_match(text, line)) << text;
}

TEST_F(LogFixture, LevelLimitAndDebugFlag) {
    struct Case {
        int limit, debug, level;
        bool written;
    } cases[] = {
        {6, 0, 6, true},  {6, 0, 7, false}, {6, 1, 7, true}, {6, 1, 9, true},
        {3, 0, 4, false}, {3, 0, 3, true},  {0, 0, 0, true}, {0, 0, 1, false},
    };
    for (const Case &c : cases) {
        log.level_limit = c.limit;
        log.debug = c.debug;
        off_t before = std::filesystem::file_size(path);
        write(log, 0, c.level, "x\n");
        off_t after = std::filesystem::file_size(path);
        EXPECT_EQ(after > before, c.written)
            << "limit " << c.limit << " debug " << c.debug << " level " << c.level;
    }
}

TEST_F(LogFixture, PhoneLogTakesEveryLevelWithoutPrefix) {
    log.level_limit = 0;
    log.set_phone_file("02:00:5E:AA:BB:CC");
    EXPECT_EQ(log.phone_file(), dir.path() + "/Quellin.log02005EAABBCC.log");
    write(log, 1, LL_ANY, "<13>raw line %s\n", "from phone");
    EXPECT_EQ(read_file(log.phone_file()), "<13>raw line from phone\n");
    log.set_phone_file("");
    EXPECT_EQ(log.phone_file(), dir.path() + "/Quellin.logphone_syslog.log");
}

TEST_F(LogFixture, LongLinesAreCutNotOverrun) {
    std::string big(10000, 'a');
    write(log, 0, LL_INFO, "%s\n", big.c_str());
    std::string text = read_file(path);
    size_t body = text.size() - text.find("INFO: ") - 6;
    EXPECT_EQ(body, size_t(LOG_LINE_MAX));
    EXPECT_EQ(text.back(), '\n');
}

TEST_F(LogFixture, WideLinesBecomeUtf8) {
    wwrite(log, LL_INFO, L"name %ls %d\n", L"\u8bdd\u673a caf\u00e9", 7);
    std::string text = read_file(path);
    EXPECT_NE(text.find("name \xe8\xaf\x9d\xe6\x9c\xba caf\xc3\xa9 7\n"), std::string::npos)
        << text;
}

TEST(LogFile, UnopenableFileDropsTheLine) {
    CLog log;
    log.init("/nonexistent-dir/x/Quellin.log", "/nonexistent-dir/x/", 6);
    write(log, 0, LL_INFO, "dropped\n");  // must not crash or throw
    SUCCEED();
}

// A sparse file of the given size whose last bytes and some line feeds are known.
void make_sparse_log(const std::string &path, off_t size) {
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, size), 0);
    // A line feed a little way into the newer half, and a recognisable tail.
    const char mark[] = "\nfirst kept line\n";
    pwrite(fd, mark, sizeof mark - 1, size - LOG_TRIM_KEEP + 100);
    const char tail[] = "newest line\n";
    pwrite(fd, tail, sizeof tail - 1, size - (sizeof tail - 1));
    close(fd);
}

TEST(LogFile, TrimsOnlyAboveThresholdKeepingNewerHalfFromLineBoundary) {
    TempDir dir;
    const std::string path = dir.file("big.log");
    struct Case {
        off_t size;
        bool trimmed;
    } cases[] = {{LOG_TRIM_THRESHOLD, false},
                 {LOG_TRIM_THRESHOLD + 1, true},
                 {LOG_TRIM_THRESHOLD + 4000, true}};
    for (const Case &c : cases) {
        make_sparse_log(path, c.size);
        CLogFile f;
        ASSERT_EQ(f.open_or_trim(path), 0);  // first open never trims
        ASSERT_EQ(f.open_or_trim(path), 0);  // the check before a write
        f.write("appended\n", 9);
        f.close();
        std::string text = read_file(path);
        if (!c.trimmed) {
            EXPECT_EQ(off_t(text.size()), c.size + 9);
            continue;
        }
        // Starts right after the first line feed of the newer half and keeps
        // everything after it, the newest lines included.
        EXPECT_EQ(text.rfind("first kept line\n", 0), 0u) << "size " << c.size;
        EXPECT_EQ(off_t(text.size()), LOG_TRIM_KEEP - 101 + 9);
        EXPECT_EQ(text.substr(text.size() - 21), "newest line\nappended\n");
    }
}

TEST(LogEntryPoints, StandardOutputBeforeInitAndAfterClear) {
    log_clear_callbacks();
    testing::internal::CaptureStdout();
    log_print(0, LL_DEBUG, "before %s\n", "init");
    log_wprint(0, LL_DEBUG, L"wide %d\n", 5);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "before init\nwide 5\n");
}

TEST(LogEntryPoints, InitWritesBannerAndRunsCrashHook) {
    TempDir dir;
    static int hook_calls = 0;
    log_set_crash_hook([] { ++hook_calls; });
    log_init(dir.file("Quellin.log"), dir.path() + "/Quellin.log", 6);
    log_print(0, LL_INFO, "after banner\n");
    log_clear_callbacks();
    log_set_crash_hook(nullptr);
    EXPECT_EQ(hook_calls, 1);
    std::string text = read_file(dir.file("Quellin.log"));
    std::regex banner(R"(\[[^\]]+\]EMERG: ={63}\n)"
                      R"(\[[^\]]+\]EMERG: Version : \d+\.\d+\.\d+\.\d+ \n)"
                      R"(\[[^\]]+\]EMERG: SYSTEM  : .+ .*bit\n)"
                      R"(\[[^\]]+\]EMERG: BUILD   : \w{3} [ \d]\d \d{4} \d\d:\d\d:\d\d\n)"
                      R"(\[[^\]]+\]EMERG: ={63}\n)"
                      R"(\[[^\]]+\] INFO: after banner\n)");
    EXPECT_TRUE(std::regex_match(text, banner)) << text;
}

}  // namespace
