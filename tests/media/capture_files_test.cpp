// Debug capture files: names, key file, open/close/write and their safety.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>

#include "../platform/temp_dir.h"
#include "media/audio_stream.h"
#include "media/capture_files.h"
#include "media_log_capture.h"

namespace {

struct CaptureFixture : ::testing::Test {
    TempDir dir;
    MediaLogCapture log;
    audio_stream_state stream;
    capture_files files;
    capture_names names;

    void SetUp() override {
        audio_stream_init(&stream);
        std::tm t{};
        t.tm_mon = 2;  // March
        t.tm_mday = 4;
        t.tm_hour = 5;
        t.tm_min = 6;
        t.tm_sec = 7;
        capture_files_build_names(dir.path() + "/", t, &names);
    }
    void TearDown() override {
        capture_files_close(&files);
        audio_stream_cleanup(&stream);
    }
    void open() {
        capture_files_open(&files, &stream, names.usb2s.c_str(), names.s2vpm.c_str(),
                           names.vpm2s.c_str(), names.s2usb.c_str(), names.key.c_str());
    }
};

TEST_F(CaptureFixture, NamesFollowTheLocalTimePattern) {
    EXPECT_EQ(names.usb2s, dir.path() + "///03_04_05-06-07_usb2s.L16PCM");
    EXPECT_EQ(names.s2vpm, dir.path() + "///03_04_05-06-07_s2vpm.L16PCM");
    EXPECT_EQ(names.vpm2s, dir.path() + "///03_04_05-06-07_vpm2s.L16PCM");
    EXPECT_EQ(names.s2usb, dir.path() + "///03_04_05-06-07_s2usb.L16PCM");
    EXPECT_EQ(names.key, dir.path() + "///03_04_05-06-07_key.L16PCM");
}

TEST_F(CaptureFixture, KeyFileHoldsBothLinesOrOnlyTheHeaders) {
    open();
    EXPECT_EQ(read_file(names.key), "\n****encode key****\n\n****decode key****\n");
    EXPECT_NE(
        log.text().find("usb cap file init suceed!,path_vpm2s[" + names.vpm2s + "],path_s2vpm[" +
                        names.s2vpm + "],path_usb2s[" + names.usb2s + "]\n"),
        std::string::npos);

    strcpy(stream.encode_key, "1 AES_CM_128_HMAC_SHA1_80 inline:ENC");
    strcpy(stream.decode_key, "1 AES_CM_128_HMAC_SHA1_80 inline:DEC");
    open();
    EXPECT_EQ(read_file(names.key),
              "\n****encode key****\n1 AES_CM_128_HMAC_SHA1_80 inline:ENC\n****decode key****\n"
              "1 AES_CM_128_HMAC_SHA1_80 inline:DEC");
}

TEST_F(CaptureFixture, WritesLandOnlyWhileOpenAndASecondStartTruncates) {
    EXPECT_EQ(capture_file_write(&files.s2vpm, "early", 5), 0);
    open();
    EXPECT_EQ(capture_file_write(&files.s2vpm, "abc", 3), 3);
    EXPECT_EQ(capture_file_write(&files.s2vpm, "def", 3), 3);
    EXPECT_EQ(read_file(names.s2vpm), "abcdef");  // flushed at once
    open();                                       // same second: same names
    EXPECT_EQ(read_file(names.s2vpm), "");
    EXPECT_EQ(capture_file_write(&files.vpm2s, "x", 1), 1);
    capture_files_close(&files);
    EXPECT_EQ(capture_file_write(&files.vpm2s, "late", 4), 0);
    EXPECT_EQ(read_file(names.vpm2s), "x");
}

TEST_F(CaptureFixture, CloseLogsEachOpenFileOnceInOrder) {
    open();
    log.clear();
    capture_files_set(&files, &stream, 0);
    capture_files_set(&files, &stream, 0);
    EXPECT_EQ(
        log.text(),
        "clos cap file \ns2vpm cap file close!\nusb2s cap file close!\nvpm2s cap file close!\n"
        "s2usb cap file close!\nclos cap file \n");
}

TEST_F(CaptureFixture, MissingDeviceOrNameCreatesNothing) {
    capture_files_open(&files, nullptr, names.usb2s.c_str(), names.s2vpm.c_str(),
                       names.vpm2s.c_str(), names.s2usb.c_str(), names.key.c_str());
    capture_files_open(&files, &stream, names.usb2s.c_str(), nullptr, names.vpm2s.c_str(),
                       names.s2usb.c_str(), names.key.c_str());
    EXPECT_EQ(log.count("usb cap file init fail!\n"), 2);
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST_F(CaptureFixture, OneFileThatCannotOpenLeavesTheOthersWorking) {
    std::string bad = dir.path() + "/missing/s2vpm.L16PCM";
    capture_files_open(&files, &stream, names.usb2s.c_str(), bad.c_str(), names.vpm2s.c_str(),
                       names.s2usb.c_str(), names.key.c_str());
    EXPECT_NE(log.text().find("usb cap file init file[" + bad + "] to save s2vpm data fail!\n"),
              std::string::npos);
    EXPECT_FALSE(capture_file_is_open(&files.s2vpm));
    EXPECT_EQ(capture_file_write(&files.s2vpm, "a", 1), 0);
    EXPECT_EQ(capture_file_write(&files.usb2s, "a", 1), 1);
    EXPECT_EQ(capture_file_write(&files.s2usb, "a", 1), 1);
}

// Writers on the audio threads race the user's start and stop; every write
// must land whole in some file or nowhere, and nothing may crash.
TEST_F(CaptureFixture, WritersRacingOpenAndCloseStaySafe) {
    std::atomic<bool> stop{false};
    const std::string record(320, 'r');
    std::thread writer([&] {
        while (!stop) capture_file_write(&files.s2usb, record.data(), record.size());
    });
    for (int i = 0; i < 50; ++i) {
        open();
        capture_files_close(&files);
    }
    stop = true;
    writer.join();
    EXPECT_EQ(read_file(names.s2usb).size() % record.size(), 0u);
}

}  // namespace
