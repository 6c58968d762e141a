// What the session puts on the wire for each bus event, including events read
// from a real bus.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "link/bus/event_bus.h"
#include "link/duvo_body.h"
#include "link/duvo_cmd.h"
#include "link/duvo_event_dispatch.h"
#include "link/duvo_resend.h"
#include "link/duvo_wire.h"
#include "wire_fixture.h"

namespace {

struct DispatchLink : WireLink {
    std::vector<int> srtp_dump;
    std::vector<std::string> order;  // hooks and sends, in call order
    int have_addr = 1;

    static int addr_hook(void *ctx, uint32_t *addr) {
        DispatchLink *d = static_cast<DispatchLink *>(static_cast<WireLink *>(ctx));
        if (!d->have_addr) return -1;
        *addr = 0x7F000001;
        return 0;
    }
    static void dump_hook(void *ctx, int on) {
        static_cast<DispatchLink *>(static_cast<WireLink *>(ctx))->srtp_dump.push_back(on);
    }
    DispatchLink(int ver, int status) : WireLink(ver) {
        link.hooks.local_addr = addr_hook;
        link.hooks.set_srtp_dump = dump_hook;
        link.status = status;
    }
    void post(uint32_t type, uint32_t code, int32_t value, const bytes &body = {}) {
        duvo_event ev{type, code, value, uint16_t(body.size()),
                      body.empty() ? nullptr : body.data()};
        duvo_event_dispatch(&link, &ev);
    }
};

}  // namespace

TEST(DuvoDispatch, BareCommandsAndPairDetect) {
    const struct {
        uint32_t type, code;
    } cases[] = {
        {EVT_TIMER_CMD, DUVO_CMD_C2P_PAIR_DETECT}, {EVT_UI_CMD, DUVO_CMD_C2P_GET_DEV_INFO},
        {EVT_TIMER_CMD, DUVO_CMD_C2P_KEEP_ALIVE},  {EVT_TIMER_CMD, DUVO_CMD_C2P_CLIENT_NO_RESPONSE},
        {EVT_SEND_CMD, DUVO_CMD_C2P_CFG_CANCEL},   {EVT_SEND_CMD, DUVO_CMD_C2P_DEVICE_UN_ACTIVE},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.code);
        DispatchLink old_fmt(0, STATUS_PAIRING);
        old_fmt.post(c.type, c.code, 77, B({1, 2, 3}));  // value and body are ignored
        EXPECT_EQ(old_fmt.sent, std::vector<bytes>{B({int(c.code), 0})});
        DispatchLink new_fmt(1, STATUS_PAIRING);
        new_fmt.post(c.type, c.code, 0);
        EXPECT_EQ(new_fmt.sent, std::vector<bytes>{hdr(int(c.code), 0, 2, 1, 0)});
    }
}

TEST(DuvoDispatch, SignInDroppedWhileSignedIn) {
    DispatchLink in(1, STATUS_PAIREDSIGNIN);
    in.post(EVT_SEND_CMD, DUVO_CMD_C2P_CLT_SING_IN, 0, B({1, 0}));
    EXPECT_TRUE(in.sent.empty());

    DispatchLink paired(0, STATUS_PAIRED);
    paired.post(EVT_SEND_CMD, DUVO_CMD_C2P_CLT_SING_IN, 0, B({1, 0}));
    EXPECT_EQ(paired.sent, std::vector<bytes>{B({0x17, 2, 1, 0})});
}

TEST(DuvoDispatch, SignOutLocksPhoneThenDropsStatus) {
    const struct {
        int ver, status;
        std::vector<bytes> frames;
    } cases[] = {
        {0, STATUS_PAIREDSIGNIN, {B({0x1D, 4, 1, 0, 0, 0}), B({0x18, 0})}},
        {1,
         STATUS_PAIREDSIGNIN,
         {new_msg(0x1D, 1, text_z("{\n\t\"phone_lock\":\t1\n}")), hdr(0x18, 0, 2, 2, 0)}},
        {2, STATUS_PAIREDSIGNIN, {hdr(0x18, 0, 2, 1, 0)}},  // version 2 reports PC state itself
        {0, STATUS_PAIRED, {B({0x18, 0})}},
    };
    for (const auto &c : cases) {
        DispatchLink d(c.ver, c.status);
        d.link.signed_in = 1;
        d.post(EVT_SEND_CMD, DUVO_CMD_C2P_CLT_SING_OUT, 0);
        EXPECT_EQ(d.sent, c.frames);
        EXPECT_EQ(d.link.status, STATUS_PAIRED);
        EXPECT_EQ(d.statuses, std::vector<int>{STATUS_PAIRED});
        EXPECT_EQ(d.link.signed_in, 0);
    }
}

TEST(DuvoDispatch, CancelPairingCodeEndsSession) {
    DispatchLink d(1, STATUS_PIN_CHECK);
    d.post(EVT_UI_CMD, DUVO_CMD_C2P_CANCEL_PAIRING_CODE, 0);
    EXPECT_EQ(d.link.unpair_reason, -2);
    EXPECT_EQ(d.link.end_session, 1);
    EXPECT_EQ(d.sent, std::vector<bytes>{hdr(0x1F, 0, 2, 1, 0)});
}

TEST(DuvoDispatch, PcStateReport) {
    const struct {
        int ver, status, flags;
        std::vector<bytes> frames;
    } cases[] = {
        {0, STATUS_PAIREDSIGNIN, 4, {B({0x1D, 4, 1, 0, 0, 0})}},
        {0, STATUS_PAIREDSIGNIN, 0, {B({0x1D, 4, 0, 0, 0, 0})}},
        {0, STATUS_PAIRED, 4, {}},
        {1, STATUS_PAIREDSIGNIN, 8, {new_msg(0x1D, 1, text_z("{\n\t\"phone_lock\":\t1\n}"))}},
        {2, STATUS_PAIRING, 6, {new_msg(0x68, 1, text_z("{\n\t\"pc_status\":\t6\n}"))}},
        {2, STATUS_IDLE, 6, {}},
    };
    for (const auto &c : cases) {
        DispatchLink d(c.ver, c.status);
        d.post(EVT_TIMER_CMD, DUVO_CMD_C2P_UPDATE_PC_STATUS, c.flags);
        EXPECT_EQ(d.link.pc_status, c.flags);
        EXPECT_EQ(d.sent, c.frames);
    }
}

TEST(DuvoDispatch, SyslogPinDebugAndRaw) {
    DispatchLink d(0, STATUS_PAIRED);
    d.post(EVT_UI_CMD, DUVO_CMD_C2P_SYSLOG_UPDATE, 1);
    d.have_addr = 0;
    d.post(EVT_UI_CMD, DUVO_CMD_C2P_SYSLOG_UPDATE, 1);  // no address: nothing sent
    d.post(EVT_TIMER_CMD, DUVO_CMD_C2P_PIN_VERIFICATION, 0, B({'4', '2'}));
    d.post(EVT_DEBUG_MODE, 1, 0);
    bytes raw = new_msg(0x16, 9, {});
    d.post(EVT_RAW_SEND, 0, 0, raw);  // old framing in use: a new-framed re-send is dropped
    d.post(EVT_START_PAIR, 0, 0);
    EXPECT_EQ(d.sent,
              (std::vector<bytes>{B({0x1B, 8, 1, 1, 6, 0, 127, 0, 0, 1}), B({0x1C, 2, '4', '2'})}));
    EXPECT_EQ(d.srtp_dump, std::vector<int>{1});

    DispatchLink n(1, STATUS_PAIRED);
    n.post(EVT_RAW_SEND, 0, 0, raw);
    n.post(EVT_RAW_SEND, 0, 0);
    EXPECT_EQ(n.sent, std::vector<bytes>{raw});
    EXPECT_EQ(n.link.sent_list.Count(), 0u) << "a raw re-send is not tracked again";
}

// The tick thread's scan posts due messages; the session puts them on the
// wire unchanged.
TEST(DuvoDispatch, ResendThroughTheBus) {
    int tx = -1, rx = -1;
    ASSERT_EQ(duvo_event_bus_init(&tx, &rx), 0);
    DispatchLink d(1, STATUS_PAIRED);
    auto dispatch = [](void *ctx, const duvo_event *ev) {
        duvo_event_dispatch(static_cast<duvo_link *>(ctx), ev);
    };
    duvo_send_current_volume(&d.link, 3);
    EXPECT_EQ(duvo_resend_due(&d.link, tx), 0);  // not yet due
    d.now += 301;
    EXPECT_EQ(duvo_resend_due(&d.link, tx), 1);
    EXPECT_EQ(duvo_event_read(rx, dispatch, &d.link), 1);
    ASSERT_EQ(d.sent.size(), 2u);
    EXPECT_EQ(d.sent[1], d.sent[0]);

    // A frame longer than one event can carry is not posted.
    LogCapture logs;
    d.link.sent_list.Clear();
    bytes body(1020, 'b');
    duvo_send_cmd(&d.link, body.size(), body.data(), DUVO_CMD_C2P_DEVICE_UPDATE);
    d.now += 301;
    EXPECT_EQ(duvo_resend_due(&d.link, tx), 0);
    EXPECT_TRUE(logs.has("exceeds an event"));
    EXPECT_EQ(duvo_event_read(rx, dispatch, &d.link), 0);
    duvo_event_bus_close(tx, rx);
}

TEST(DuvoDispatch, DeviceRequestsWithBodies) {
    bytes active(EVT_DEVICE_ACTIVE_SIZE, 0);
    uint32_t port = 5004;
    std::memcpy(active.data(), &port, 4);
    std::memcpy(active.data() + 4, "KEY", 3);
    bytes update(EVT_DEVICE_UPDATE_SIZE, 0);
    std::memcpy(update.data(), "conv", 4);
    std::memcpy(update.data() + 128, "Bob", 3);
    update[256] = 1;
    bytes state(8);
    int32_t type = 3, st = 1;
    std::memcpy(state.data(), &type, 4);
    std::memcpy(state.data() + 4, &st, 4);
    bytes user(EVT_USER_INFO_SIZE, 0);
    std::memcpy(user.data(), "sip", 3);
    std::memcpy(user.data() + 256, "au", 2);
    std::memcpy(user.data() + 512, std::string(256, 'p').data(), 256);  // no NUL in the field

    DispatchLink d(0, STATUS_PAIRED);
    d.post(EVT_SEND_CMD, DUVO_CMD_C2P_DEVICE_ACTIVE, 0, active);
    d.post(EVT_SEND_CMD, DUVO_CMD_C2P_DEVICE_UPDATE, 0, update);
    d.post(EVT_SEND_CMD, DUVO_CMD_C2P_CALL_MUTE_USER, 0, B({1}));
    d.post(EVT_SEND_CMD, DUVO_CMD_C2P_ZOOM_ROOMS_STATE, 0, state);
    d.post(EVT_SEND_CMD, DUVO_CMD_C2P_CURRENT_VOLUME, 9);
    d.post(EVT_SEND_CMD, DUVO_CMD_C2P_CFG_USER_INFO, 0, user);
    ASSERT_EQ(d.sent.size(), 8u);
    bytes key_field(128, 0);
    std::memcpy(key_field.data(), "KEY", 3);
    EXPECT_EQ(d.sent[0], cat(B({0x40, 132, 0, 0, 0x13, 0x8C}), key_field));
    EXPECT_EQ(d.sent[1], old_msg(0x42, text_z("Bob")));
    EXPECT_EQ(d.sent[2], B({0x44, 1, 1}));
    EXPECT_EQ(d.sent[3], old_msg(0x6A, text_z("{\n\t\"type\":\t3,\n\t\"state\":\t1\n}")));
    EXPECT_EQ(d.sent[4], old_msg(0x69, text_z("{\n\t\"cur_volume\":\t9\n}")));
    EXPECT_EQ(d.sent[5], old_msg(0x14, text_z("sip")));
    EXPECT_EQ(d.sent[6], old_msg(0x11, text_z("au")));
    EXPECT_EQ(d.sent[7], old_msg(0x12, text_z(std::string(254, 'p'))));  // cut to fit with NUL

    DispatchLink n(2, STATUS_PAIRED);
    n.post(EVT_SEND_CMD, DUVO_CMD_C2P_DEVICE_UPDATE, 0, update);
    ASSERT_EQ(n.sent.size(), 1u);
    EXPECT_EQ(n.sent[0], new_msg(0x42, 1,
                                 text_z("{\n\t\"display_name\":\t\"Bob\",\n\t\"conversation_id\":\t"
                                        "\"conv\",\n\t\"inc_call_type\":\t1\n}")));
}

TEST(DuvoDispatch, ShortEventBodiesAreDropped) {
    LogCapture logs;
    const struct {
        uint32_t code;
        size_t size;
    } cases[] = {
        {DUVO_CMD_C2P_CFG_USER_INFO, 767}, {DUVO_CMD_C2P_CLT_SING_IN, 1},
        {DUVO_CMD_C2P_DEVICE_ACTIVE, 4},   {DUVO_CMD_C2P_DEVICE_UPDATE, 256},
        {DUVO_CMD_C2P_CALL_MUTE_USER, 0},  {DUVO_CMD_C2P_ZOOM_ROOMS_STATE, 7},
    };
    for (const auto &c : cases) {
        DispatchLink d(1, STATUS_PAIRED);
        d.post(EVT_SEND_CMD, c.code, 0, bytes(c.size, 'a'));
        EXPECT_TRUE(d.sent.empty()) << c.code;
    }
    EXPECT_TRUE(logs.has("needed, dropped"));

    // A code that cannot be a command id is not cut to one.
    DispatchLink d(1, STATUS_PAIRED);
    d.post(EVT_TIMER_CMD, 0x119, 0);
    EXPECT_TRUE(d.sent.empty());
}

// Events through the real bus: sizes on the socket, and several events read
// in one go handled in order.
TEST(DuvoDispatch, EventsFromTheBus) {
    int tx = -1, rx = -1;
    ASSERT_EQ(duvo_event_bus_init(&tx, &rx), 0);

    uint8_t probe[EVT_FRAME_MAX];
    ASSERT_EQ(duvo_event_post(nullptr, 0, tx, EVT_TIMER_CMD, DUVO_CMD_C2P_PAIR_DETECT, 0), 0);
    EXPECT_EQ(recv(rx, probe, sizeof probe, 0), 16);
    uint8_t two[2] = {1, 0};
    ASSERT_EQ(duvo_event_post(two, 2, tx, EVT_SEND_CMD, DUVO_CMD_C2P_CLT_SING_IN, 0), 0);
    EXPECT_EQ(recv(rx, probe, sizeof probe, 0), 18);

    DispatchLink d(0, STATUS_PAIRED);
    ASSERT_EQ(duvo_event_post(nullptr, 0, tx, EVT_TIMER_CMD, DUVO_CMD_C2P_PAIR_DETECT, 0), 0);
    ASSERT_EQ(duvo_event_post(two, 2, tx, EVT_SEND_CMD, DUVO_CMD_C2P_CLT_SING_IN, 0), 0);
    ASSERT_EQ(duvo_event_post(nullptr, 0, tx, EVT_UI_CMD, DUVO_CMD_C2P_CANCEL_PAIRING_CODE, 0), 0);
    int n = duvo_event_read(
        rx,
        [](void *ctx, const duvo_event *ev) {
            duvo_event_dispatch(static_cast<duvo_link *>(ctx), ev);
        },
        &d.link);
    EXPECT_EQ(n, 3);
    EXPECT_EQ(d.sent, (std::vector<bytes>{B({0x19, 0}), B({0x17, 2, 1, 0}), B({0x1F, 0})}));
    EXPECT_EQ(d.link.end_session, 1);
    EXPECT_EQ(d.link.unpair_reason, -2);
    duvo_event_bus_close(tx, rx);
}
