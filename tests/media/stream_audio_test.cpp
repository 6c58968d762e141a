// Audio both ways between the stream's send and receive steps and the phone's
// media endpoint, over loopback.
#include <cmath>

#include "../platform/temp_dir.h"
#include "media/dsp/dsp_setup.h"
#include "stream_fixture.h"
#include "tools/phone-sim-media/phone_media.h"

namespace {

constexpr int kFrames = 100;
constexpr int kSrtpTag = 10;
constexpr int kRtpHeader = 12;

struct AudioCase {
    const char *name;
    int rate;  // what the phone announced
    int srtp;
    int engine;  // the rate the audio runs at: other rates than 16000 frame as 32000
};

class StreamAudio : public StreamFixture, public ::testing::WithParamInterface<AudioCase> {
  protected:
    phone_media *phone = nullptr;
    TempDir dir;
    capture_files captures;

    void SetUp() override {
        StreamFixture::SetUp();
        ASSERT_EQ(dsp_setup(), 0);
        const AudioCase &c = GetParam();
        st.sample_rate = c.rate;
        st.srtp_enable = c.srtp;
        std::string why;
        phone = phone_media_create("127.0.0.1", 0, c.engine, &why);
        ASSERT_NE(phone, nullptr) << why;
        ASSERT_EQ(phone_media_set_remote(phone, "127.0.0.1", g_config.media_port), 0);

        audio_stream_set_active(&st, 1, 0);
        audio_stream_set_active(&st, 1, 1);
        char key[SRTP_KEY_LINE_MAX + 1] = "";
        if (c.srtp) {
            ASSERT_EQ(phone_media_make_key_line(key, sizeof key), 0);
        }
        ASSERT_EQ(rtp_stream_create(&st, key, INADDR_LOOPBACK, phone_media_local_port(phone),
                                    static_cast<int>(strlen(key))),
                  0);
        if (c.srtp) {
            ASSERT_EQ(phone_media_set_keys(phone, key, st.encode_key), 0);
        }
        std::string s2vpm = dir.file("s2vpm"), vpm2s = dir.file("vpm2s"), other = dir.file("other");
        capture_files_open(&captures, &st, other.c_str(), s2vpm.c_str(), vpm2s.c_str(),
                           other.c_str(), dir.file("key").c_str());
    }
    void TearDown() override {
        capture_files_close(&captures);
        phone_media_destroy(phone);
        StreamFixture::TearDown();
    }
    int frame_samples() const { return GetParam().engine / 100; }
    size_t packet_bytes() const {
        return static_cast<size_t>(kRtpHeader + 2 * frame_samples() +
                                   (GetParam().srtp ? kSrtpTag : 0));
    }
};

// Index of needle inside hay, or -1.
long find_run(const std::vector<int16_t> &hay, const std::vector<int16_t> &needle) {
    auto it = std::search(hay.begin(), hay.end(), needle.begin(), needle.end());
    return it == hay.end() ? -1 : static_cast<long>(it - hay.begin());
}

TEST_P(StreamAudio, PcToPhoneArrivesSampleExact) {
    st.srtp_dump_once = 1;
    std::vector<int16_t> sent;
    for (int f = 0; f < kFrames; ++f) {
        std::vector<int16_t> frame(static_cast<size_t>(frame_samples()));
        for (int i = 0; i < frame_samples(); ++i) {
            double t = static_cast<double>(f * frame_samples() + i) / GetParam().engine;
            frame[static_cast<size_t>(i)] =
                static_cast<int16_t>(std::lround(9000 * std::sin(6.2831853 * 440 * t)));
        }
        sent.insert(sent.end(), frame.begin(), frame.end());
        ASSERT_EQ(audio_stream_send(&st, frame.data(), 2 * frame_samples(), &captures.s2vpm), 0);
        phone_media_receive(phone, 1000);
    }
    while (phone_media_get_stats(phone).packets_received < kFrames &&
           phone_media_receive(phone, 2000) > 0) {
    }
    phone_media_stats stats = phone_media_get_stats(phone);
    EXPECT_EQ(stats.auth_failures, 0u);
    EXPECT_EQ(stats.seq_gaps, 0u);
    EXPECT_EQ(stats.packets_received, static_cast<uint64_t>(kFrames));
    EXPECT_EQ(phone_media_received(phone), sent);
    capture_files_close(&captures);
    EXPECT_EQ(read_file(dir.file("s2vpm")).size(), kFrames * packet_bytes());
    // The debug dump comes once, with the first protected packet.
    EXPECT_EQ(log.count("SRTP:\ndbg level"), GetParam().srtp);
    EXPECT_EQ(st.srtp_dump_once.load(), GetParam().srtp ? 0 : 1);
}

TEST_P(StreamAudio, PhoneToPcArrivesIntactThroughTheJitterBuffer) {
    phone_media_source_tone(phone, 700, 12000);
    std::vector<int16_t> out;
    std::vector<int16_t> frame(static_cast<size_t>(frame_samples()));
    for (int f = 0; f < kFrames; ++f) {
        ASSERT_GT(phone_media_send_frame(phone), 0);
        ASSERT_EQ(audio_stream_receive(&st, &captures.vpm2s, frame.data(), 2 * frame_samples()), 0);
        out.insert(out.end(), frame.begin(), frame.end());
    }
    // After the jitter buffer's start-up, the phone's audio comes out
    // unchanged: 70 frames in one piece.
    const std::vector<int16_t> &sent = phone_media_sent(phone);
    std::vector<int16_t> run(sent.begin() + 10 * frame_samples(),
                             sent.begin() + 80 * frame_samples());
    EXPECT_GE(find_run(out, run), 0);
    // Our audio went to the phone's address all along.
    EXPECT_EQ(ntohs(st.remote_addr.sin_port), phone_media_local_port(phone));
    capture_files_close(&captures);
    EXPECT_EQ(read_file(dir.file("vpm2s")).size(), kFrames * packet_bytes());
}

TEST_P(StreamAudio, OtherFrameSizeDrainsTheSocketWithoutAFrame) {
    phone_media_send_frame(phone);
    std::vector<int16_t> frame(static_cast<size_t>(frame_samples()), 0x1234);
    EXPECT_EQ(audio_stream_receive(&st, nullptr, frame.data(), 2 * frame_samples() - 2), 0);
    EXPECT_EQ(frame, std::vector<int16_t>(static_cast<size_t>(frame_samples()), 0x1234));
    char probe[4];
    EXPECT_LT(recv(st.rtp_socket, probe, sizeof probe, MSG_DONTWAIT), 0);  // nothing left
}

INSTANTIATE_TEST_SUITE_P(Streams, StreamAudio,
                         ::testing::Values(AudioCase{"srtp_16k", 16000, 1, 16000},
                                           AudioCase{"srtp_32k", 32000, 1, 32000},
                                           AudioCase{"plain_16k", 16000, 0, 16000},
                                           AudioCase{"unannounced_rate", 0, 1, 32000},
                                           AudioCase{"rate_48k", 48000, 1, 32000}),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
