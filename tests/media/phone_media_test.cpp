// The phone-side endpoint's own pieces: WAV files and key lines.
#include <gtest/gtest.h>

#include "../platform/temp_dir.h"
#include "srtp_log_capture.h"
#include "tools/phone-sim-media/phone_media.h"
#include "tools/wav/wav.h"

namespace {

TEST(PhoneMediaWav, RoundTripAndSourceOfPackets) {
    TempDir dir;
    wav_data out;
    out.rate = 16000;
    out.channels = 1;
    out.samples = {0, 1, -1, 32767, -32768, 1234};
    std::string why;
    ASSERT_EQ(wav_write(dir.file("a.wav"), out, &why), 0) << why;
    wav_data back;
    ASSERT_EQ(wav_read(dir.file("a.wav"), &back, &why), 0) << why;
    EXPECT_EQ(back.samples, out.samples);
    EXPECT_EQ(back.rate, 16000);
    EXPECT_EQ(back.channels, 1);

    phone_media *m = phone_media_create("127.0.0.1", 0, 16000);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(phone_media_source_wav(m, dir.file("a.wav").c_str()), 0);
    phone_media *m32 = phone_media_create("127.0.0.1", 0, 32000);
    EXPECT_EQ(phone_media_source_wav(m32, dir.file("a.wav").c_str(), &why), -1);  // other rate
    phone_media_destroy(m32);
    phone_media_destroy(m);
}

TEST(PhoneMediaWav, MalformedFilesAreRefused) {
    TempDir dir;
    struct Case {
        const char *name;
        std::string bytes;
    } cases[] = {
        {"empty", ""},
        {"not_riff", std::string("RIFX") + std::string(40, '\0')},
        {"no_data", std::string("RIFF\x04\0\0\0WAVE", 12)},
        {"huge_fmt", std::string("RIFF\x04\0\0\0WAVEfmt \xff\xff\xff\x7f", 20)},
        {"data_before_fmt", std::string("RIFF\x04\0\0\0WAVEdata\x02\0\0\0\x01\x02", 22)},
    };
    for (const Case &c : cases) {
        write_file(dir.file(c.name), c.bytes);
        wav_data w;
        std::string why;
        EXPECT_EQ(wav_read(dir.file(c.name), &w, &why), -1) << c.name;
        EXPECT_FALSE(why.empty()) << c.name;
    }
}

TEST(PhoneMediaKeys, OwnLineWorksAndForeignFormsAreRefused) {
    SrtpLogCapture srtp;
    phone_media *m = phone_media_create("127.0.0.1", 0, 16000);
    ASSERT_NE(m, nullptr);
    char a[129], b[129];
    ASSERT_EQ(phone_media_make_key_line(a, sizeof a), 0);
    ASSERT_EQ(phone_media_make_key_line(b, sizeof b), 0);
    EXPECT_EQ(strlen(a), 73u);
    EXPECT_STRNE(a, b);
    EXPECT_EQ(phone_media_set_keys(m, a, b), 0);
    EXPECT_EQ(phone_media_set_keys(m, a, (std::string(b) + "|2^20|1:4").c_str()), -1);
    EXPECT_EQ(phone_media_set_keys(m, a, "1 F8_128_HMAC_SHA1_80 inline:AAAA"), -1);
    EXPECT_EQ(phone_media_set_keys(m, "", ""), 0);
    phone_media_destroy(m);
}

}  // namespace
