// Paced isochronous replies against the fake bus: reply timing relative to
// the slots, descriptor counts and lengths, the audio through the rings,
// the reply rules a strict host checks, unlinks of held requests, and the
// control side (alternate settings, volume bursts).
#include <map>

#include "bridge_test_util.h"

namespace {

constexpr uint32_t kEpPlayback = 1;
constexpr uint32_t kEpCapture = 2;

struct reply_at {
    int64_t ms;
    fake_reply r;
};

// A host that keeps `outstanding` requests of `packets` packets queued on one
// endpoint and re-submits each time one is answered, the way a USB audio
// driver keeps its isochronous requests in flight.
class pace_host {
  public:
    pace_host(bridge_fixture *f, fake_vbus *bus, vusb_handle *h, uint32_t ep, uint32_t packets,
              uint32_t pkt_len, int outstanding)
        : f_(f), bus_(bus), h_(h), ep_(ep), packets_(packets), pkt_len_(pkt_len) {
        for (int i = 0; i < outstanding; i++) submit();
    }

    void submit() {
        uint32_t dir = ep_ == kEpPlayback ? VBUS_DIR_OUT : VBUS_DIR_IN;
        fake_pdu p = iso_pdu(next_seq_++, ep_, dir, packets_, pkt_len_);
        if (dir == VBUS_DIR_OUT)
            for (auto &b : p.data) b = ramp_byte(out_bytes_++);
        pending_[p.hdr.seqnum] = p;
        vbus_pdu v = p.view();
        usb_dispatch_pdu(h_, &v);
    }

    // Runs ms ticks; after each, takes the new replies and refills.
    void run(int ms) {
        for (int i = 0; i < ms; i++) {
            if (ep_ == kEpPlayback)
                usb_playback_tick(h_);
            else
                usb_capture_tick(h_);
            now_ += VUSB_PACE_TICK_MS;
            auto all = bus_->replies();
            for (size_t k = seen_; k < all.size(); k++) {
                replies_.push_back({now_, all[k]});
                if (all[k].hdr.command == VBUS_RET_SUBMIT && all[k].hdr.ep == ep_) submit();
            }
            seen_ = all.size();
        }
    }

    const fake_pdu &request(uint32_t seq) { return pending_.at(seq); }

    std::vector<reply_at> replies_;
    int64_t now_ = 0;

  private:
    bridge_fixture *f_;
    fake_vbus *bus_;
    vusb_handle *h_;
    uint32_t ep_, packets_, pkt_len_;
    uint32_t next_seq_ = 1;
    uint64_t out_bytes_ = 0;
    size_t seen_ = 0;
    std::map<uint32_t, fake_pdu> pending_;
};

// The rules a strict host checks on every isochronous reply.
void expect_sound_reply(const fake_reply &r, const fake_pdu &req) {
    SCOPED_TRACE(testing::Message() << "seq " << r.hdr.seqnum);
    EXPECT_EQ(VBUS_RET_SUBMIT, r.hdr.command);
    EXPECT_EQ(req.hdr.seqnum, r.hdr.seqnum);
    ASSERT_EQ(req.hdr.packets, r.hdr.packets);
    ASSERT_EQ(req.hdr.packets, r.iso.size());
    uint32_t sum = 0;
    for (size_t k = 0; k < r.iso.size(); k++) {
        EXPECT_EQ(req.iso[k].offset, r.iso[k].offset);
        EXPECT_EQ(req.iso[k].length, r.iso[k].length);
        EXPECT_LE(r.iso[k].actual_length, r.iso[k].length);
        sum += r.iso[k].actual_length;
    }
    EXPECT_EQ(sum, r.hdr.length);
    if (req.hdr.direction == VBUS_DIR_IN)
        EXPECT_LE(r.payload.size(), req.hdr.length);
    else
        EXPECT_TRUE(r.payload.empty());
}

class PacingTest : public bridge_fixture {
  protected:
    void use_rate(int rate) {
        dev_.sample_rate = rate;
        set_interface(1, 1);
        set_interface(2, 1);
        bus_->clear_replies();
    }
};

struct shape {
    const char *name;
    int rate;
    uint32_t packets;
    uint32_t pkt_len;
    int outstanding;
};

// Windows-like 10-packet transfers and the Linux driver's shapes: playback in
// 6-packet requests, capture one packet per request with 12 in flight.
const shape kPlaybackShapes[] = {
    {"10x32 at 16k", 16000, 10, 32, 2}, {"6x32 at 16k", 16000, 6, 32, 3},
    {"1x32 at 16k", 16000, 1, 32, 12},  {"10x64 at 32k", 32000, 10, 64, 2},
    {"6x64 at 32k", 32000, 6, 64, 3},
};
const shape kCaptureShapes[] = {
    {"10x32 at 16k", 16000, 10, 32, 2}, {"1x32 at 16k", 16000, 1, 32, 12},
    {"6x32 at 16k", 16000, 6, 32, 3},   {"10x64 at 32k", 32000, 10, 64, 2},
    {"1x64 at 32k", 32000, 1, 64, 12},  {"1x100 at 16k (big packets)", 16000, 1, 100, 12},
};

TEST_F(PacingTest, PlaybackRepliesEndTheirSlotsAndAudioStaysContinuous) {
    for (const shape &s : kPlaybackShapes) {
        SCOPED_TRACE(s.name);
        use_rate(s.rate);
        sent_.clear();
        pace_host host(this, bus_, &dev_, kEpPlayback, s.packets, s.pkt_len, s.outstanding);
        const int run_ms = 600;
        host.run(run_ms);
        const int64_t start = host.replies_.empty() ? 0 : 0;
        int64_t slot_end = start;
        size_t k = 0;
        for (const reply_at &r : host.replies_) {
            slot_end += s.packets;
            // Each request is answered N ms after its slot began, back to back.
            EXPECT_EQ(slot_end, r.ms) << "reply " << k;
            expect_sound_reply(r.r, host.request(r.r.hdr.seqnum));
            for (const vbus_iso_desc &d : r.r.iso) EXPECT_EQ(s.pkt_len, d.actual_length);
            k++;
        }
        EXPECT_GE(host.replies_.size(), static_cast<size_t>(run_ms / s.packets - 1));
        // One frame per 10 ms, and the frames are exactly the host's audio.
        const size_t frame = s.rate == 16000 ? 320 : 640;
        ASSERT_EQ(static_cast<size_t>(run_ms / 10) * frame, sent_.size());
        for (size_t i = 0; i < sent_.size(); i++)
            if (sent_[i] != ramp_byte(i)) {
                ADD_FAILURE() << "audio breaks at byte " << i;
                break;
            }
    }
}

TEST_F(PacingTest, CaptureRepliesCarryContinuousAudioInTime) {
    for (const shape &s : kCaptureShapes) {
        SCOPED_TRACE(s.name);
        use_rate(s.rate);
        received_ = 0;
        pace_host host(this, bus_, &dev_, kEpCapture, s.packets, s.pkt_len, s.outstanding);
        const int run_ms = 600;
        host.run(run_ms);
        const uint32_t per_ms = s.rate == 16000 ? 32 : 64;
        std::vector<uint8_t> got;
        int64_t slot_end = 0;
        for (const reply_at &r : host.replies_) {
            slot_end += s.packets;
            EXPECT_EQ(slot_end, r.ms);
            const fake_pdu &req = host.request(r.r.hdr.seqnum);
            expect_sound_reply(r.r, req);
            for (const vbus_iso_desc &d : r.r.iso) {
                EXPECT_EQ(std::min(per_ms, s.pkt_len), d.actual_length);
                ASSERT_LE(d.offset + d.actual_length, r.r.payload.size());
                got.insert(got.end(), r.r.payload.begin() + d.offset,
                           r.r.payload.begin() + d.offset + d.actual_length);
            }
        }
        // Silence at most until the first frame is due, then the media
        // path's audio without a gap.
        size_t lead = 0;
        while (lead < got.size() && got[lead] == 0) lead++;
        EXPECT_LT(lead, static_cast<size_t>(10 * per_ms));
        ASSERT_GT(got.size(), lead + static_cast<size_t>((run_ms - 30) * per_ms));
        for (size_t i = lead; i < got.size(); i++)
            if (got[i] != ramp_byte(i - lead)) {
                ADD_FAILURE() << "audio breaks at byte " << i;
                break;
            }
    }
}

TEST_F(PacingTest, TenPacketTransfersKeepTheFixedLayoutAndCadence) {
    pace_host pb(this, bus_, &dev_, kEpPlayback, 10, 32, 1);
    pace_host cp(this, bus_, &dev_, kEpCapture, 10, 32, 1);
    for (int ms = 1; ms <= 30; ms++) {
        usb_playback_tick(&dev_);
        usb_capture_tick(&dev_);
    }
    auto replies = bus_->replies();
    std::vector<fake_reply> p, c;
    for (auto &r : replies) (r.hdr.ep == kEpPlayback ? p : c).push_back(r);
    // Only the first request of each direction was queued: answered at 10 ms,
    // the rest of the slots passed empty.
    ASSERT_EQ(1u, p.size());
    ASSERT_EQ(1u, c.size());
    EXPECT_EQ(1u, p[0].hdr.seqnum);
    EXPECT_EQ(320u, p[0].hdr.length);  // the packets' sum, also for OUT
    ASSERT_EQ(10u, p[0].iso.size());
    EXPECT_EQ(320u, c[0].hdr.length);
    ASSERT_EQ(320u, c[0].payload.size());
    ASSERT_EQ(10u, c[0].iso.size());
    for (uint32_t k = 0; k < 10; k++) {
        for (const fake_reply *r : {&p[0], &c[0]}) {
            EXPECT_EQ(32 * k, r->iso[k].offset);
            EXPECT_EQ(32u, r->iso[k].length);
            EXPECT_EQ(32u, r->iso[k].actual_length);
            EXPECT_EQ(0u, r->iso[k].status);
        }
    }
    // Three 10 ms frames to the media path: the request's data, then silence.
    ASSERT_EQ(960u, sent_.size());
    EXPECT_EQ(ramp_byte(0), sent_[0]);
    EXPECT_EQ(std::vector<uint8_t>(640, 0), std::vector<uint8_t>(sent_.begin() + 320, sent_.end()));
}

TEST_F(PacingTest, CaptureInDataNeverExceedsTheHostBuffer) {
    // Packets shorter than a millisecond of audio, and a buffer cut short of
    // its last packet, both bound what the reply carries.
    fake_pdu small = iso_pdu(7, kEpCapture, VBUS_DIR_IN, 10, 20);
    dispatch(small);
    for (int ms = 0; ms < 10; ms++) usb_capture_tick(&dev_);
    auto r = bus_->replies();
    ASSERT_EQ(1u, r.size());
    expect_sound_reply(r[0], small);
    EXPECT_EQ(200u, r[0].hdr.length);
    for (auto &d : r[0].iso) EXPECT_EQ(20u, d.actual_length);
}

TEST_F(PacingTest, UnlinkOfAHeldRequestGetsResetAndNoSubmitReply) {
    struct unlink_case {
        const char *name;
        uint32_t ep;
        int ticks_before;  // 1: the request is in hand; 0: still queued
    };
    const unlink_case cases[] = {
        {"playback held", kEpPlayback, 3},
        {"capture held", kEpCapture, 3},
        {"capture queued behind another", kEpCapture, 0},
    };
    for (const unlink_case &c : cases) {
        SCOPED_TRACE(c.name);
        set_interface(static_cast<int>(c.ep), 1);
        bus_->clear_replies();
        uint32_t dir = c.ep == kEpPlayback ? VBUS_DIR_OUT : VBUS_DIR_IN;
        dispatch(iso_pdu(50, c.ep, dir, 10, 32));
        dispatch(iso_pdu(51, c.ep, dir, 10, 32));
        auto tick = [&] {
            if (c.ep == kEpPlayback)
                usb_playback_tick(&dev_);
            else
                usb_capture_tick(&dev_);
        };
        for (int i = 0; i < c.ticks_before; i++) tick();
        uint32_t target = c.ticks_before ? 50 : 51;
        fake_pdu unlink;
        unlink.hdr.command = VBUS_CMD_UNLINK;
        unlink.hdr.seqnum = 60;
        unlink.hdr.flags_status = target;
        dispatch(unlink);
        for (int i = 0; i < 40; i++) tick();
        auto replies = bus_->replies();
        int unlinks = 0, submits_for_target = 0, submits = 0;
        for (auto &r : replies) {
            if (r.hdr.command == VBUS_RET_UNLINK) {
                unlinks++;
                EXPECT_EQ(60u, r.hdr.seqnum);
                EXPECT_EQ(VUSB_STATUS_UNLINKED, r.status());
            } else if (r.hdr.seqnum == target) {
                submits_for_target++;
            } else {
                submits++;
            }
        }
        EXPECT_EQ(1, unlinks);
        EXPECT_EQ(0, submits_for_target);
        EXPECT_EQ(1, submits);  // the other request is still answered
    }
}

TEST_F(PacingTest, IntervalWatchLogsOnlyOffCadenceReplies) {
    dispatch(iso_pdu(1, kEpPlayback, VBUS_DIR_OUT, 10, 32));
    for (int ms = 0; ms < 10; ms++) usb_playback_tick(&dev_);
    dispatch(iso_pdu(2, kEpPlayback, VBUS_DIR_OUT, 10, 32));
    for (int ms = 0; ms < 10; ms++) usb_playback_tick(&dev_);
    EXPECT_FALSE(logs_.contains("last response pb tick:"));
    // A slot passes without a request: the next reply comes 20 ms later.
    for (int ms = 0; ms < 12; ms++) usb_playback_tick(&dev_);
    dispatch(iso_pdu(3, kEpPlayback, VBUS_DIR_OUT, 10, 32));
    for (int ms = 0; ms < 10; ms++) usb_playback_tick(&dev_);
    EXPECT_EQ(LL_ERR, logs_.level_of("last response pb tick:20 cur_tick:40 interval:20\n"));
}

TEST_F(PacingTest, AlternateSettingFlapsNeverReachTheMediaPath) {
    // Enumeration: each streaming interface goes to 1 and straight back.
    set_interface(1, 1);
    set_interface(1, 0);
    set_interface(2, 1);
    for (int ms = 0; ms < 5; ms++) usb_pacing_control_tick(&dev_);
    set_interface(2, 0);
    for (int ms = 0; ms < 200; ms++) usb_pacing_control_tick(&dev_);
    EXPECT_TRUE(applied_.empty());
    // A setting that holds is applied once, after it settled.
    set_interface(2, 1);
    for (int ms = 0; ms < VUSB_ALT_SETTLE_MS - 1; ms++) usb_pacing_control_tick(&dev_);
    EXPECT_TRUE(applied_.empty());
    for (int ms = 0; ms < 100; ms++) usb_pacing_control_tick(&dev_);
    ASSERT_EQ(1u, applied_.size());
    EXPECT_EQ(std::make_pair(1, 1), applied_[0]);
    set_interface(2, 0);
    for (int ms = 0; ms < 100; ms++) usb_pacing_control_tick(&dev_);
    ASSERT_EQ(2u, applied_.size());
    EXPECT_EQ(std::make_pair(0, 1), applied_[1]);
}

TEST_F(PacingTest, VolumeProbesNeverReachThePhoneAndChangesEndOnTheLastValue) {
    read_events(recv_);
    auto set_cur = [&](int8_t v) {
        dispatch(control_pdu(seq_++, 0x21, 0x01, 0x0200, 0x0200, 2, {static_cast<uint8_t>(v), 0}));
    };
    auto posted_volumes = [&] {
        std::vector<int32_t> posted;
        for (auto &e : read_events(recv_))
            if (e.code == vusb_cmd::DUVO_CMD_C2P_CURRENT_VOLUME) posted.push_back(e.value);
        return posted;
    };
    struct {
        const char *what;
        std::vector<int8_t> burst;  // one SET_CUR per millisecond
        std::vector<int32_t> posted;
    } cases[] = {
        // A Linux host's range probe at plug-in restores the value it read.
        {"probe restored", {99, 98, 96, 92, 84, 68, 36, 100}, {}},
        {"burst ends elsewhere", {100, 0, 50, 60, 70}, {70}},
        {"same value again", {70}, {}},
    };
    for (auto &c : cases) {
        for (int8_t v : c.burst) {
            set_cur(v);
            usb_pacing_control_tick(&dev_);
        }
        for (int ms = 0; ms < 3 * VUSB_VOLUME_GAP_MS; ms++) usb_pacing_control_tick(&dev_);
        EXPECT_EQ(c.posted, posted_volumes()) << c.what;
    }
    // Changes far apart all go through, in order.
    for (int8_t v : {10, 20}) {
        set_cur(v);
        for (int ms = 0; ms < VUSB_VOLUME_GAP_MS; ms++) usb_pacing_control_tick(&dev_);
    }
    EXPECT_EQ((std::vector<int32_t>{10, 20}), posted_volumes());
}

TEST_F(PacingTest, SilenceGoesToTheMediaPathWithoutPlaybackRequests) {
    for (int ms = 0; ms < 50; ms++) usb_playback_tick(&dev_);
    EXPECT_EQ(5, send_calls_);
    EXPECT_EQ(std::vector<uint8_t>(5 * 320, 0), sent_);
}

}  // namespace

namespace {

TEST(PcmRing, KeepsTheNewestBytesAcrossWrapsAndOverflow) {
    pcm_ring r;
    pcm_ring_init(&r, 8);
    struct step {
        std::vector<uint8_t> write;
        size_t read;
        std::vector<uint8_t> expect;
        size_t dropped;
    };
    const step steps[] = {
        {{1, 2, 3, 4, 5}, 3, {1, 2, 3}, 0},                  // plain
        {{6, 7, 8, 9, 10}, 0, {}, 0},                        // wraps, 7 held
        {{11, 12, 13}, 8, {6, 7, 8, 9, 10, 11, 12, 13}, 2},  // 2 oldest dropped
        {{20, 21, 22, 23, 24, 25, 26, 27, 28, 29}, 8, {22, 23, 24, 25, 26, 27, 28, 29}, 2},
    };
    for (const step &s : steps) {
        EXPECT_EQ(s.dropped, pcm_ring_write(&r, s.write.data(), s.write.size()));
        std::vector<uint8_t> out(s.read);
        out.resize(pcm_ring_read(&r, out.data(), s.read));
        EXPECT_EQ(s.expect, out);
    }
    EXPECT_EQ(0u, pcm_ring_fill(&r));
}

}  // namespace
