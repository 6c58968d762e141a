// HID call control: the input-report table and its order as the host polls,
// the SET_REPORT handlers (UC messages, credentials with hostile chunk
// sequences, handset, conversation texts, presence) and the GRUU timer.
#include <cstring>
#include <string>

#include "bridge_test_util.h"
#include "link/bus/timer_container.h"
#include "media/audio_stream.h"

namespace {

constexpr uint32_t kEpHid = 3;

fake_pdu int_in(uint32_t seq) {
    fake_pdu p;
    p.hdr.command = VBUS_CMD_SUBMIT;
    p.hdr.seqnum = seq;
    p.hdr.direction = VBUS_DIR_IN;
    p.hdr.ep = kEpHid;
    p.hdr.length = 8;
    return p;
}

fake_pdu int_out(uint32_t seq, std::vector<uint8_t> report) {
    fake_pdu p = int_in(seq);
    p.hdr.direction = VBUS_DIR_OUT;
    p.hdr.length = static_cast<uint32_t>(report.size());
    p.data = std::move(report);
    return p;
}

fake_pdu set_report(uint32_t seq, uint8_t id, std::vector<uint8_t> data) {
    const uint16_t len = static_cast<uint16_t>(data.size());
    return control_pdu(seq, 0x21, 9, static_cast<uint16_t>(0x0200 | id), 3, len, std::move(data));
}

std::vector<uint8_t> utf16(const std::string &s) {
    std::vector<uint8_t> out;
    for (char c : s) {
        out.push_back(static_cast<uint8_t>(c));
        out.push_back(0);
    }
    return out;
}

std::string text_at(const std::vector<uint8_t> &body, size_t off, size_t size) {
    const char *p = reinterpret_cast<const char *>(body.data() + off);
    return std::string(p, strnlen(p, size));
}

class HidTest : public bridge_fixture {
  protected:
    void SetUp() override {
        bridge_fixture::SetUp();
        usb_hid_credentials_reset();
        audio_stream_init(&stream_);
        dev_.stream = &stream_;
        read_events(recv_);
    }
    void TearDown() override {
        dev_.stream = nullptr;
        bridge_fixture::TearDown();
    }
    void report(uint8_t id, std::vector<uint8_t> data) { dispatch(set_report(seq_++, id, data)); }
    // Polls endpoint 0x83 once and returns the report given.
    std::vector<uint8_t> poll() {
        bus_->clear_replies();
        fake_pdu p = int_in(seq_++);
        vbus_pdu v = p.view();
        hid_input_responder(&dev_, &v);
        auto r = bus_->replies();
        EXPECT_EQ(1u, r.size());
        return r.empty() ? std::vector<uint8_t>{} : r[0].payload;
    }
    std::vector<event_with_body> events_of(uint32_t code) {
        std::vector<event_with_body> out;
        for (auto &e : read_events(recv_))
            if (e.code == code) out.push_back(e);
        return out;
    }
    // Report 21 as the host sends it: 2 header bytes, then text chunks.
    void text(uint8_t switch_code, const std::string &s) { text_units(switch_code, utf16(s)); }
    void text16(uint8_t switch_code, const std::u16string &s) {
        std::vector<uint8_t> t;
        for (char16_t c : s) {
            t.push_back(static_cast<uint8_t>(c & 0xFF));
            t.push_back(static_cast<uint8_t>(c >> 8));
        }
        text_units(switch_code, t);
    }
    void text_units(uint8_t switch_code, const std::vector<uint8_t> &t) {
        report(20, {20, switch_code, 0x80});
        for (size_t at = 0; at < t.size(); at += 60) {
            size_t n = std::min<size_t>(60, t.size() - at);
            std::vector<uint8_t> d = {21, static_cast<uint8_t>(at + n == t.size() ? 0x80 : 0)};
            d.insert(d.end(), t.begin() + at, t.begin() + at + n);
            report(21, d);
        }
    }

    audio_stream_state stream_;
};

TEST_F(HidTest, InputReportsFollowTheTableOrder) {
    using bytes = std::vector<uint8_t>;
    const bytes up = {1, 1}, down = {1, 2}, end = {1, 0}, m1 = {2, 1}, m2 = {2, 3},
                hang = {1, 3, 0}, none = {};
    struct seq_case {
        const char *name;
        void (*arm)(session_hid_pending *);
        std::vector<bytes> expect;
    };
    const seq_case cases[] = {
        {"volume up by 4",
         [](session_hid_pending *p) { p->zoom_vol_up = p->zoom_vol_end = 4 / 2 + 1; },
         {up, up, up, end, end, end, none}},
        {"volume down by 1",
         [](session_hid_pending *p) { p->zoom_vol_down = p->zoom_vol_end = 1 / 2 + 1; },
         {down, end, none}},
        {"hang-up before a volume change",
         [](session_hid_pending *p) {
             p->zoom_vol_up = p->zoom_vol_end = 1;
             p->hungup = 1;
         },
         {hang, up, end, none}},
        {"mute switch asked twice is one switch",
         [](session_hid_pending *p) {
             for (int i = 0; i < 2; i++) {
                 int idle = 0;
                 p->zoom_mute_step.compare_exchange_strong(idle, 1);
             }
         },
         {m1, m2, none}},
    };
    for (const seq_case &c : cases) {
        SCOPED_TRACE(c.name);
        // The session writes its own record; the device reads the same words.
        c.arm(&dev_.hid_pending);
        for (const bytes &want : c.expect) EXPECT_EQ(want, poll());
    }
    EXPECT_TRUE(logs_.has("HID MSG: hungup\n"));
    EXPECT_TRUE(logs_.has("HID MSG: zoom mute switch setp 2.\n"));
}

TEST_F(HidTest, WorkerAnswersPollsAndPostsHostReports) {
    dev_.hid_pending.zoom_vol_up = 1;
    dev_.hid_pending.zoom_vol_end = 1;
    dev_.int_thread = std::thread(dealwith_interrupt_ep, &dev_);
    // The host's own report goes to the phone, and the OUT transfer's reply
    // takes the pending input report with it.
    dispatch(int_out(1, {3, 1}));
    dispatch(int_in(2));
    dispatch(int_in(3));
    ASSERT_TRUE(bus_->wait_replies(3));
    vusb_event_set(&dev_.shutdown_event);
    vusb_event_set(&dev_.wakeup_event);
    dev_.int_thread.join();
    auto r = bus_->replies();
    EXPECT_TRUE(r[0].payload.empty());  // OUT: nothing travels back
    EXPECT_EQ((std::vector<uint8_t>{1, 0}), r[1].payload);
    EXPECT_TRUE(r[2].payload.empty());
    auto ev = events_of(vusb_cmd::DUVO_CMD_C2P_ZOOM_ROOMS_STATE);
    ASSERT_EQ(1u, ev.size());
    int32_t body[2];
    ASSERT_EQ(sizeof body, ev[0].body.size());
    memcpy(body, ev[0].body.data(), sizeof body);
    EXPECT_EQ(3, body[0]);
    EXPECT_EQ(1, body[1]);
    EXPECT_TRUE(logs_.has("dealwith interrupt ep go to exit\n"));
}

TEST_F(HidTest, UnlinkTakesBackTheWorkersRequest) {
    dev_.hid_held->reply_delay_ms = 300;
    dev_.hid_pending.hungup = 1;
    dev_.int_thread = std::thread(dealwith_interrupt_ep, &dev_);
    dispatch(int_in(5));
    // Wait until the worker has it in hand, then unlink it.
    for (int i = 0; i < 200 && dev_.int_queue.size() > 0; i++) os_sleep_ms(5);
    os_sleep_ms(20);
    fake_pdu unlink;
    unlink.hdr.command = VBUS_CMD_UNLINK;
    unlink.hdr.seqnum = 6;
    unlink.hdr.flags_status = 5;
    dispatch(unlink);
    os_sleep_ms(400);
    vusb_event_set(&dev_.shutdown_event);
    vusb_event_set(&dev_.wakeup_event);
    dev_.int_thread.join();
    auto r = bus_->replies();
    ASSERT_EQ(1u, r.size());
    EXPECT_EQ(VBUS_RET_UNLINK, r[0].hdr.command);
    EXPECT_EQ(VUSB_STATUS_UNLINKED, r[0].status());
    EXPECT_EQ(1, dev_.hid_pending.hungup.load());  // not consumed
}

TEST_F(HidTest, UcMessagesAndOtherReports) {
    report(3, {3, 0x01});
    EXPECT_EQ(1, dev_.uc_keepalive.load());
    report(3, {3, 0x04});
    EXPECT_EQ(1u, events_of(vusb_cmd::DUVO_CMD_C2P_CFG_CANCEL).size());
    report(3, {3, 0x07});
    EXPECT_TRUE(logs_.has("SignOutDeskphoneUser\n"));
    report(3, {3, 0x00});  // the mute LED off
    EXPECT_EQ(LL_ERR, logs_.level_of("HIDDEV: Unknown Lync set report request!\n"));
    report(19, {19, 1, 2});
    report(0x30, {0x30});
    EXPECT_EQ(LL_ERR, logs_.level_of("Unknown this class (report id: 0x30)\n"));
    EXPECT_TRUE(read_events(recv_).empty());
}

// Credential chunk k of message 5: order in the top two bits.
std::vector<uint8_t> cred(int order, std::vector<uint8_t> rest) {
    std::vector<uint8_t> d = {3, static_cast<uint8_t>(order << 6 | 5)};
    d.insert(d.end(), rest.begin(), rest.end());
    return d;
}

std::vector<uint8_t> single(const std::string &s, size_t announced = SIZE_MAX) {
    size_t n = announced == SIZE_MAX ? s.size() : announced;
    std::vector<uint8_t> d = {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8)};
    d.insert(d.end(), s.begin(), s.end());
    return cred(3, d);
}

TEST_F(HidTest, CredentialsAssembleAndHostileChunksStayInTheirSlots) {
    const std::string long_text(70, 'x');
    struct cred_case {
        const char *name;
        std::vector<std::vector<uint8_t>> chunks;  // for the first slot
        std::string first_text;
    };
    std::vector<uint8_t> first = {70, 0};
    first.insert(first.end(), long_text.begin(), long_text.begin() + 29);
    std::vector<uint8_t> middle(long_text.begin(), long_text.begin() + 31);
    std::vector<uint8_t> last(long_text.begin(), long_text.begin() + 10);
    std::vector<uint8_t> short_first = {5, 0};
    short_first.insert(short_first.end(), 29, 'a');
    std::vector<uint8_t> big_first = {0xFF, 0x03};  // announces 1023 bytes
    big_first.insert(big_first.end(), 29, 'b');
    std::vector<uint8_t> big_middle(31, 'c');
    std::vector<uint8_t> big_last(1100, 'd');
    const cred_case cases[] = {
        {"one chunk", {single("sip:alice@example.org")}, "sip:alice@example.org"},
        {"first, middle, last", {cred(1, first), cred(0, middle), cred(2, last)}, long_text},
        {"last below what is held",
         {cred(1, short_first), cred(2, {'z', 'z'})},
         std::string(29, 'a')},
        {"single of 1024 bytes and more",
         {single(std::string(1100, 's'), 1100)},
         std::string(256, 's')},
        {"middles past the slot, then a long last",
         [&] {
             std::vector<std::vector<uint8_t>> v = {cred(1, big_first)};
             for (int i = 0; i < 40; i++) v.push_back(cred(0, big_middle));
             v.push_back(cred(2, big_last));
             return v;
         }(),
         std::string(29, 'b') + std::string(227, 'c')},
    };
    for (const cred_case &c : cases) {
        SCOPED_TRACE(c.name);
        for (const auto &chunk : c.chunks) report(3, chunk);
        report(3, single("auth"));
        report(3, single("secret"));
        auto ev = events_of(vusb_cmd::DUVO_CMD_C2P_CFG_USER_INFO);
        ASSERT_EQ(1u, ev.size());
        ASSERT_EQ(3 * VUSB_CRED_TEXT_SIZE, ev[0].body.size());
        EXPECT_EQ(c.first_text, text_at(ev[0].body, 0, VUSB_CRED_TEXT_SIZE));
        EXPECT_EQ("auth", text_at(ev[0].body, VUSB_CRED_TEXT_SIZE, VUSB_CRED_TEXT_SIZE));
        EXPECT_EQ("secret", text_at(ev[0].body, 2 * VUSB_CRED_TEXT_SIZE, VUSB_CRED_TEXT_SIZE));
        // A third may be used to its last byte; nothing spills into the next one.
    }
}

TEST_F(HidTest, LongNamesAreCutBetweenCharacters) {
    stream_.dacvite = 1;
    text16(6, std::u16string(50, u'\u4E2D'));  // 150 bytes of UTF-8 for a 127-byte field
    text(12, "conv-43");
    auto ev = events_of(vusb_cmd::DUVO_CMD_C2P_DEVICE_UPDATE);
    ASSERT_EQ(1u, ev.size());
    std::string name = text_at(ev[0].body, 128, 128);
    EXPECT_EQ(126u, name.size()) << "42 whole characters, no broken one";
    for (size_t i = 0; i < name.size(); i += 3) EXPECT_EQ(0xE4, static_cast<uint8_t>(name[i]));
}

TEST_F(HidTest, ConversationTextsBecomeADeviceUpdate) {
    stream_.dacvite = 1;
    text(6, "Alice Example");
    text(12, "conv-42");
    auto ev = events_of(vusb_cmd::DUVO_CMD_C2P_DEVICE_UPDATE);
    ASSERT_EQ(1u, ev.size());
    ASSERT_EQ(257u, ev[0].body.size());
    EXPECT_EQ("conv-42", text_at(ev[0].body, 0, 128));
    EXPECT_EQ("Alice Example", text_at(ev[0].body, 128, 128));
    EXPECT_EQ(1, ev[0].body[256]);
    EXPECT_STREQ("conv-42", stream_.conversation_id);
    EXPECT_STREQ("Alice Example", stream_.display_name);
    EXPECT_EQ(1, stream_.inc_call_type);
    ASSERT_EQ(1u, dev_.dlg_list.size());
    EXPECT_STREQ("conv-42", dev_.dlg_list.front().dlg_info);
    // The conversation ends: only the name comes back in ctdlginfo.
    text(6, "Alice Example");
    report(20, {20, 12, 0x80});
    report(21, {21, 0x80});
    ev = events_of(vusb_cmd::DUVO_CMD_C2P_DEVICE_UPDATE);
    ASSERT_EQ(1u, ev.size());
    EXPECT_EQ("PC Audio", text_at(ev[0].body, 128, 128));
    EXPECT_EQ(0, ev[0].body[256]);
    EXPECT_TRUE(dev_.dlg_list.empty());
    EXPECT_EQ(0, stream_.inc_call_type);
    EXPECT_STREQ("", stream_.conversation_id);
}

TEST_F(HidTest, TextsWithoutAStreamOrTooLongStayBounded) {
    text(6, "Bob");
    text(12, "conv-1");  // no stream invited: terminated, nothing sent
    EXPECT_TRUE(events_of(vusb_cmd::DUVO_CMD_C2P_DEVICE_UPDATE).empty());
    stream_.dacvite = 1;
    // 100 chunks of 62 text bytes before the last: far past the 1024 bytes.
    report(20, {20, 6, 0x80});
    std::vector<uint8_t> chunk = {21, 0};
    std::vector<uint8_t> t = utf16(std::string(31, 'n'));
    chunk.insert(chunk.end(), t.begin(), t.end());
    for (int i = 0; i < 100; i++) report(21, chunk);
    report(21, {21, 0x80, 'E', 0});
    text(12, "conv-2");
    auto ev = events_of(vusb_cmd::DUVO_CMD_C2P_DEVICE_UPDATE);
    ASSERT_EQ(1u, ev.size());
    std::string name = text_at(ev[0].body, 128, 128);
    EXPECT_EQ(std::string(127, 'n'), name);
    EXPECT_TRUE(logs_.contains("HIDDEV: text chunk of 62 bytes cut to"));
}

TEST_F(HidTest, PresenceAndHandset) {
    report(22, {22, 0x05, 0x10});  // signed in, PC audio muted
    report(22, {22, 0x05, 0x10});  // same status: nothing new
    report(22, {22, 0x00, 0x00});
    auto all = read_events(recv_);
    std::vector<uint32_t> codes;
    for (auto &e : all) codes.push_back(e.code);
    EXPECT_EQ((std::vector<uint32_t>{vusb_cmd::DUVO_CMD_C2P_CLT_SING_IN,
                                     vusb_cmd::DUVO_CMD_C2P_CALL_MUTE_USER,
                                     vusb_cmd::DUVO_CMD_C2P_CLT_SING_OUT}),
              codes);
    EXPECT_EQ((std::vector<uint8_t>{0x05, 0x10}), all[0].body);
    EXPECT_EQ((std::vector<uint8_t>{1}), all[1].body);

    report(6, {6, 1});
    EXPECT_EQ(1, dev_.is_pared_and_unsign_call);
    stream_.dacvite = 1;
    stream_.inc_call_type = 1;
    strcpy(stream_.display_name, "Carol");
    report(6, {6, 0});
    EXPECT_EQ(0, dev_.is_pared_and_unsign_call);
    auto ev = events_of(vusb_cmd::DUVO_CMD_C2P_DEVICE_UPDATE);
    ASSERT_EQ(1u, ev.size());
    EXPECT_EQ("PC Audio", text_at(ev[0].body, 128, 128));
    EXPECT_EQ(0, stream_.inc_call_type);
    EXPECT_STREQ("", stream_.display_name);
}

uint64_t g_now = 0;
uint64_t test_clock(void *) {
    return g_now;
}

TEST_F(HidTest, GruuTimerLivesInTheSessionContainer) {
    timer_container tc;
    timer_container_init(&tc);
    timer_container_set_clock(&tc, test_clock, nullptr);
    dev_.timers = &tc;
    EXPECT_EQ(-1, usb_device_set_gruu(&dev_, ""));
    EXPECT_EQ(-1, usb_device_set_gruu(nullptr, "sip:x"));
    EXPECT_EQ(0, usb_device_set_gruu(&dev_, "sip:gruu-1"));
    EXPECT_EQ(1, dev_.gruu_due.exchange(0));
    int first = dev_.gruu_timer;
    EXPECT_GT(first, 0);
    EXPECT_EQ(0, usb_device_set_gruu(&dev_, "sip:gruu-1"));  // pending: unchanged
    EXPECT_EQ(first, dev_.gruu_timer);
    EXPECT_EQ(1, logs_.count("set gruu sip:gruu-1\n"));
    g_now += VUSB_GRUU_RESEND_MS;
    timer_tick(&tc);
    EXPECT_EQ(1, dev_.gruu_due.load());
    EXPECT_EQ(0, dev_.gruu_timer);
    EXPECT_EQ(0, usb_device_set_gruu(&dev_, "sip:gruu-2"));
    EXPECT_GT(dev_.gruu_timer, 0);
    usb_device_cancel_gruu(&dev_);
    EXPECT_EQ(0, dev_.gruu_timer);
    EXPECT_TRUE(tc.list.empty());
    dev_.timers = nullptr;
    timer_container_destroy(&tc);
}

}  // namespace
