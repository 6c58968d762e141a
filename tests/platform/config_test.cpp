#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "platform/config.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "temp_dir.h"

namespace {

struct ConfigFixture : ::testing::Test {
    TempDir dir;
    void SetUp() override {
        setenv("APPDATA", dir.path().c_str(), 1);
        setenv("LANG", "en_US.UTF-8", 1);
        unsetenv("LC_ALL");
        unsetenv("LC_MESSAGES");
    }
    std::string ini() const { return dir.path() + "/Mirelta/Ostrelle/Quellin.ini"; }
    std::unique_ptr<CConfig> load_from(const std::string &text) {
        data_folder();
        write_file(ini(), text);
        auto c = std::make_unique<CConfig>();
        c->load();
        return c;
    }
};

TEST_F(ConfigFixture, DataFolderFromAppdataCreatedWithBothLevels) {
    EXPECT_EQ(data_folder(), dir.path() + "/Mirelta/Ostrelle/");
    EXPECT_TRUE(std::filesystem::is_directory(dir.path() + "/Mirelta/Ostrelle"));
    EXPECT_EQ(data_file("Quellin.log"), dir.path() + "/Mirelta/Ostrelle/Quellin.log");
    EXPECT_EQ(data_subfolder("Feedback Info"), dir.path() + "/Mirelta/Ostrelle/Feedback Info/");
    EXPECT_TRUE(std::filesystem::is_directory(dir.path() + "/Mirelta/Ostrelle/Feedback Info"));
}

TEST_F(ConfigFixture, DataFolderFallsBackToXdg) {
    unsetenv("APPDATA");
    setenv("XDG_DATA_HOME", (dir.path() + "/xdg").c_str(), 1);
    EXPECT_EQ(data_folder(), dir.path() + "/xdg/Mirelta/Ostrelle/");
    unsetenv("XDG_DATA_HOME");
}

TEST_F(ConfigFixture, LoadEdgeCases) {
    struct Case {
        const char *file;
        int auto_ip, auto_run, log_level, limit, trans, signal, media, multi;
    } cases[] = {
        {"", 1, 1, 6, 6, 1, 10026, 10028, 0},
        {"[common]\nSignalPort=8080\nMediaPort=8090\n", 1, 1, 6, 6, 1, 10026, 10028, 0},
        {"[common]\nSignalPort=8080\nMediaPort=8090\nDefautPort=1\n", 1, 1, 6, 6, 1, 8080, 8090, 0},
        {"[common]\nLogLevel=42\n", 1, 1, 42, 9, 1, 10026, 10028, 0},
        {"[common]\nLogLevel=-5\n", 1, 1, -5, 0, 1, 10026, 10028, 0},
        {"[common]\nAutoIP=7\nAutoRun=0\n", 1, 0, 6, 6, 1, 10026, 10028, 0},
        {"[common]\nAutoIP=-1\nAutoRun=-1\nTransType=-1\n", 1, 1, 6, 6, 1, 10026, 10028, 0},
        {"[common]\nAutoIP=0\nTransType=0\nMultiSession=3\n", 0, 1, 6, 6, 0, 10026, 10028, 0},
        {"[COMMON]\nlogLEVEL=7abc\n", 1, 1, 7, 7, 1, 10026, 10028, 0},
        {"[other]\nLogLevel=2\n", 1, 1, 6, 6, 1, 10026, 10028, 0},
    };
    for (const Case &c : cases) {
        auto cfg_ = load_from(c.file);
        const CConfig &cfg = *cfg_;
        SCOPED_TRACE(c.file);
        EXPECT_EQ(cfg.auto_ip, c.auto_ip);
        EXPECT_EQ(cfg.auto_run, c.auto_run);
        EXPECT_EQ(cfg.log_level, c.log_level);
        EXPECT_EQ(log_get_level_limit(), c.limit);
        EXPECT_EQ(cfg.trans_type, c.trans);
        EXPECT_EQ(cfg.signal_port, c.signal);
        EXPECT_EQ(cfg.media_port, c.media);
        EXPECT_EQ(cfg.multi_session, c.multi);
        EXPECT_EQ(cfg.lang, 0);
    }
}

TEST_F(ConfigFixture, AbsentTransTypeKeepsTheValueInMemory) {
    data_folder();
    write_file(ini(), "[common]\n");
    CConfig c;
    c.trans_type = 0;
    c.load();
    EXPECT_EQ(c.trans_type, 0);
}

TEST_F(ConfigFixture, LanguageFromLocaleAndKey) {
    setenv("LANG", "zh_CN.UTF-8", 1);
    EXPECT_EQ(load_from("")->lang, 1);
    EXPECT_EQ(load_from("[common]\nLang=0\n")->lang, 0);
    EXPECT_EQ(load_from("[common]\nLang=5\n")->lang, 0);
    setenv("LANG", "de_DE.UTF-8", 1);
    EXPECT_EQ(load_from("[common]\nLang=1\n")->lang, 1);
}

TEST_F(ConfigFixture, TextFieldsAndOwnKeys) {
    std::string conv(60, 'c');
    auto c_ = load_from("[common]\nPhoneIP=192.168.1.20\nConvId=" + conv +
                        "\nUpdateURL=http://u\nPhonePort=7100\nSyslogPort=5514\n"
                        "VbusBackend=vhci\nUsbipPort=3300\nUsbipBind=0.0.0.0\n");
    CConfig &c = *c_;
    EXPECT_EQ(c.phone_ip, 0xC0A80114u);
    EXPECT_EQ(std::string(c.conv_id), conv.substr(0, 47));
    EXPECT_EQ(c.update_url, "http://u");
    EXPECT_EQ(c.feedback_url, DEFAULT_FEEDBACK_URL);
    EXPECT_EQ(c.phone_port, 7100);
    EXPECT_EQ(c.syslog_port, 5514);
    EXPECT_EQ(c.vbus_backend, "vhci");
    EXPECT_EQ(c.usbip_port, 3300);
    EXPECT_EQ(c.usbip_bind, "0.0.0.0");

    auto bad_ = load_from("[common]\nPhoneIP=not-an-ip\nPhonePort=99999\nVbusBackend=foo\n");
    CConfig &bad = *bad_;
    EXPECT_EQ(bad.phone_ip, 0u);
    EXPECT_EQ(bad.phone_port, DEFAULT_PHONE_PORT);
    EXPECT_EQ(bad.vbus_backend, "usbip");
}

TEST_F(ConfigFixture, SaveWritesItsKeysInOrderAndKeepsEverythingElse) {
    auto c_ = load_from(
        "; a comment\n[other]\nkeep=me\n[common]\nAutoIP=7\nMultiSession=3\n"
        "AutoTestInterval=30\nFeedbackURL=https://x/upload\nPhonePort=7100\nnot a key line\n"
        "Unknown=1\n");
    CConfig &c = *c_;
    c.set_conv_id("abc");
    c.phone_ip = 0x0A000001;
    c.save();
    std::string text = read_file(ini());
    EXPECT_EQ(text,
              "; a comment\n[other]\nkeep=me\n[common]\nAutoIP=1\nMultiSession=0\n"
              "AutoTestInterval=30\nFeedbackURL=https://x/upload\nPhonePort=7100\nnot a key line\n"
              "Unknown=1\nPhoneIP=10.0.0.1\nLang=0\nSignalPort=10026\nMediaPort=10028\n"
              "AutoRun=1\nLogLevel=6\nTransType=1\nUpdateURL=\nConvId=abc\n");
    EXPECT_FALSE(std::filesystem::exists(ini() + ".tmp"));

    CConfig again;
    again.load();
    EXPECT_STREQ(again.conv_id, "abc");
    EXPECT_EQ(again.phone_ip, 0x0A000001u);
}

TEST_F(ConfigFixture, SaveIntoMissingFileCreatesSection) {
    data_folder();
    CConfig c;
    c.default_port = 1;
    c.signal_port = 8080;
    c.save();
    std::string text = read_file(ini());
    EXPECT_EQ(text.rfind("[common]\nPhoneIP=0.0.0.0\nLang=0\nSignalPort=8080\n", 0), 0u) << text;
    EXPECT_NE(text.find("DefautPort=1\n"), std::string::npos);
    EXPECT_EQ(config_write_int("AutoRun", 0, ini()), 1);
    EXPECT_NE(read_file(ini()).find("AutoRun=0\n"), std::string::npos);
}

}  // namespace
