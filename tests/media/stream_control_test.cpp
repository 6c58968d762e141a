// When a stream to the phone exists: invites, closes, time-outs and the
// phone's stop/start, driven as the USB requests and the session would.
#include <thread>

#include "stream_fixture.h"

namespace {

enum class Op { play, capture, advance, call_start, ctl, destroy };

struct Step {
    Op op;
    int value;
    std::vector<std::pair<uint32_t, int32_t>> posted;  // command and value, in order
    const char *log = nullptr;                         // a line this step must write
};

struct Scenario {
    const char *name;
    std::vector<Step> steps;
    int dacvite;  // at the end
    int running;
};

constexpr uint32_t ACTIVE = MEDIA_CMD_DEVICE_ACTIVE;
constexpr uint32_t UN_ACTIVE = MEDIA_CMD_DEVICE_UN_ACTIVE;
constexpr uint32_t MIC = MEDIA_CMD_DEVICE_SET_AS_MIC;

struct StreamStates : StreamFixture, ::testing::WithParamInterface<Scenario> {};

TEST_P(StreamStates, Scenario) {
    st.srtp_enable = 1;
    int n = 0;
    for (const Step &s : GetParam().steps) {
        SCOPED_TRACE("step " + std::to_string(n++));
        log.clear();
        switch (s.op) {
            case Op::play:
                audio_stream_set_active(&st, s.value, 0);
                break;
            case Op::capture:
                audio_stream_set_active(&st, s.value, 1);
                break;
            case Op::advance:
                advance(static_cast<uint64_t>(s.value));
                break;
            case Op::call_start:
                EXPECT_EQ(call_start(), s.value);
                break;
            case Op::ctl:
                audio_stream_ctl(&st, s.value);
                break;
            case Op::destroy:
                rtp_stream_destroy(&st);
                break;
        }
        std::vector<std::pair<uint32_t, int32_t>> got;
        for (const PostedCmd &c : events()) got.emplace_back(c.code, c.value);
        EXPECT_EQ(got, s.posted);
        if (s.log != nullptr) {
            EXPECT_EQ(log.count(s.log), 1) << log.text();
        }
    }
    EXPECT_EQ(st.dacvite.load(), GetParam().dacvite);
    EXPECT_EQ(st.stream_running.load(), GetParam().running);
}

INSTANTIATE_TEST_SUITE_P(
    Control, StreamStates,
    ::testing::Values(
        Scenario{"invite_once",
                 {{Op::play, 1, {{ACTIVE, 0}}, "invite phone to open rtp port, srtp enable:1\n"},
                  {Op::play, 1, {}, "device already active\n"},
                  {Op::capture, 1, {}, "device already active\n"},
                  {Op::advance, 499, {}},
                  {Op::advance, 1, {{MIC, 1}}, "set device as default mic 1.\n"}},
                 1,
                 0},
        Scenario{"mic_report_follows_last_change",
                 {{Op::capture, 1, {{ACTIVE, 0}}},
                  {Op::advance, 300, {}},
                  {Op::capture, 0, {}},
                  {Op::advance, 300, {}},
                  {Op::advance, 200, {{MIC, 0}}}},
                 1,
                 0},
        Scenario{"invite_time_out",
                 {{Op::play, 1, {{ACTIVE, 0}}},
                  {Op::advance, 4999, {}},
                  {Op::advance, 1, {{UN_ACTIVE, 0}}, "close unable open rtp\n"},
                  {Op::call_start, -1, {}, "rtp encode key miss\n"}},
                 0,
                 0},
        Scenario{"stream_then_idle_close",
                 {{Op::play, 1, {{ACTIVE, 0}}},
                  {Op::call_start, 0, {}},
                  {Op::advance, 6000, {}},
                  {Op::play, 0, {}},
                  {Op::advance, 1999, {}},
                  {Op::advance, 1, {{UN_ACTIVE, 0}}, "rtp delay close\n"}},
                 0,
                 0},
        Scenario{"activity_within_2s_keeps_the_stream",
                 {{Op::play, 1, {{ACTIVE, 0}}},
                  {Op::call_start, 0, {}},
                  {Op::play, 0, {}},
                  {Op::advance, 1900, {}},
                  {Op::capture, 1, {}, "destroy delay close rtp timer\n"},
                  {Op::advance, 5000, {{MIC, 1}}}},
                 1,
                 1},
        Scenario{"second_call_start_refused",
                 {{Op::play, 1, {{ACTIVE, 0}}},
                  {Op::call_start, 0, {}},
                  {Op::call_start, -1, {}, "rtp decode key exist\n"}},
                 1,
                 1},
        Scenario{"phone_stop_blocks_until_start",
                 {{Op::play, 1, {{ACTIVE, 0}}},
                  {Op::call_start, 0, {}},
                  {Op::ctl, 0, {}},
                  {Op::advance, 100, {{UN_ACTIVE, 0}}},
                  {Op::play, 0, {}},
                  {Op::play, 1, {}},
                  {Op::capture, 1, {}},
                  {Op::advance, 500, {{MIC, 1}}},
                  {Op::ctl, 1, {{ACTIVE, 0}}}},
                 1,
                 0},
        Scenario{"phone_start_without_activity_invites_nothing",
                 {{Op::ctl, 0, {}}, {Op::ctl, 1, {}}, {Op::play, 1, {{ACTIVE, 0}}}},
                 1,
                 0},
        Scenario{"call_end_goes_idle_at_once",
                 {{Op::play, 1, {{ACTIVE, 0}}},
                  {Op::call_start, 0, {}},
                  {Op::destroy, 0, {}, "destroy rtp socket :"},
                  {Op::advance, 10000, {}},
                  {Op::play, 1, {{ACTIVE, 0}}}},
                 1,
                 0}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(StreamFixture, InviteBodyCarriesPortAndKeyOrZeros) {
    for (int srtp : {1, 0}) {
        SCOPED_TRACE(srtp);
        st.srtp_enable = srtp;
        audio_stream_set_active(&st, 1, 0);
        auto ev = events();
        ASSERT_EQ(ev.size(), 1u);
        ASSERT_EQ(ev[0].body.size(), MEDIA_ACTIVE_BODY_SIZE);
        uint32_t port;
        memcpy(&port, ev[0].body.data(), 4);
        EXPECT_EQ(port, static_cast<uint32_t>(g_config.media_port));
        std::string key(reinterpret_cast<const char *>(ev[0].body.data() + 4),
                        MEDIA_ACTIVE_KEY_FIELD);
        if (srtp) {
            EXPECT_EQ(strlen(st.encode_key), static_cast<size_t>(SRTP_KEY_LINE_GENERATED_LEN));
            EXPECT_EQ(key, std::string(st.encode_key) + std::string(128 - 73, '\0'));
        } else {
            EXPECT_EQ(key, std::string(128, '\0'));
            // Any key text is taken and no SRTP session is made.
            EXPECT_EQ(call_start("whatever the phone sends"), 0);
            EXPECT_EQ(st.srtp_kit, nullptr);
            EXPECT_STREQ(st.decode_key, "whatever the phone sends");
        }
        rtp_stream_destroy(&st);
        audio_stream_set_active(&st, 0, 0);
        events();
    }
}

TEST_F(StreamFixture, EveryInviteGetsAFreshKey) {
    st.srtp_enable = 1;
    audio_stream_set_active(&st, 1, 0);
    std::string first = st.encode_key;
    rtp_stream_destroy(&st);
    audio_stream_set_active(&st, 1, 0);
    EXPECT_NE(first, st.encode_key);
}

struct KeyLenCase {
    size_t len;
    int rc;
};

class StreamKeyLength : public StreamFixture, public ::testing::WithParamInterface<KeyLenCase> {};

TEST_P(StreamKeyLength, LongestAcceptedKeyIs128) {
    st.srtp_enable = 1;
    audio_stream_set_active(&st, 1, 0);
    std::string key = phone_key + "|";
    key += std::string(GetParam().len - key.size(), '9');  // a long lifetime pads the line
    EXPECT_EQ(call_start(key), GetParam().rc);
    if (GetParam().rc == 0) {
        EXPECT_EQ(std::string(st.decode_key), key);
    } else {
        EXPECT_EQ(log.count("decode key len 129 > 128\n"), 1);
        // The refusal leaves the invite pending: its time-out still cleans up.
        advance(AUDIO_INVITE_TIMEOUT_MS);
        EXPECT_EQ(st.dacvite.load(), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Lengths, StreamKeyLength,
                         ::testing::Values(KeyLenCase{128, 0}, KeyLenCase{129, -1}));

TEST_F(StreamFixture, BadPhoneKeyFailsCreationAndLeavesIdle) {
    st.srtp_enable = 1;
    audio_stream_set_active(&st, 1, 0);
    EXPECT_EQ(call_start("1 AES_CM_128_HMAC_SHA1_80 inline:short"), -1);
    EXPECT_EQ(log.count("srtp kit create fail.\n"), 1);
    EXPECT_EQ(log.count("rtp stream create fail\n"), 1);
    EXPECT_EQ(st.dacvite.load(), 0);
    EXPECT_EQ(st.encode_key[0], '\0');
    EXPECT_EQ(st.decode_key[0], '\0');
    events();
    // The next activity invites again, with a new key.
    audio_stream_set_active(&st, 0, 0);
    audio_stream_set_active(&st, 1, 0);
    EXPECT_EQ(events().size(), 1u);
}

TEST_F(StreamFixture, UpdateIsPostedWhenBothDirectionsRunWithAConversation) {
    st.srtp_enable = 1;
    strcpy(st.conversation_id, "conv-1");
    strcpy(st.display_name, "Room");
    audio_stream_set_active(&st, 1, 0);
    audio_stream_set_active(&st, 1, 1);
    events();
    ASSERT_EQ(call_start(), 0);
    auto ev = events();
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].code, MEDIA_CMD_DEVICE_UPDATE);
    ASSERT_EQ(ev[0].body.size(), MEDIA_UPDATE_BODY_SIZE);
    EXPECT_STREQ(reinterpret_cast<const char *>(ev[0].body.data()), "conv-1");
    EXPECT_STREQ(reinterpret_cast<const char *>(ev[0].body.data() + 128), "Room");
    EXPECT_EQ(ev[0].body[256], 1);
}

TEST_F(StreamFixture, ActivityWhileTheOldSocketClosesInvitesWhenTheCloseEnds) {
    st.srtp_enable = 1;
    audio_stream_set_active(&st, 1, 0);
    ASSERT_EQ(call_start(), 0);
    events();
    std::thread closer;
    {
        // The close has cleared its flags but waits for the lock that a
        // send step (here: this thread) still holds.
        std::lock_guard<std::recursive_mutex> g(st.mutex);
        closer = std::thread([&] { rtp_stream_destroy(&st); });
        while (st.dacvite.load() != 0) std::this_thread::yield();
        audio_stream_set_active(&st, 1, 1);
        EXPECT_EQ(log.count("wait for close finish\n"), 1);
        EXPECT_TRUE(events().empty());
    }
    closer.join();
    auto ev = events();
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].code, MEDIA_CMD_DEVICE_ACTIVE);
    EXPECT_EQ(st.dacvite.load(), 1);
}

TEST_F(StreamFixture, FailedPostClearsKeysAndStaysIdle) {
    st.srtp_enable = 1;
    st.event_socket = -1;
    audio_stream_set_active(&st, 1, 0);
    EXPECT_EQ(log.count("invite to open send fail\n"), 1);
    EXPECT_EQ(st.dacvite.load(), 0);
    EXPECT_EQ(st.encode_key[0], '\0');
    EXPECT_EQ(os_timer_pending(timers), 0);
}

TEST_F(StreamFixture, CleanupCancelsEveryTimer) {
    st.srtp_enable = 1;
    audio_stream_set_active(&st, 1, 1);  // invite time-out and mic report pending
    ASSERT_EQ(call_start(), 0);
    audio_stream_set_active(&st, 0, 1);  // close pending
    EXPECT_GT(os_timer_pending(timers), 0);
    audio_stream_cleanup(&st);
    EXPECT_EQ(os_timer_pending(timers), 0);
    EXPECT_EQ(st.rtp_socket, -1);
    EXPECT_EQ(st.srtp_kit, nullptr);
}

}  // namespace
