// The receive parser: acknowledgements, duplicates, format version, sign of
// life, end of session, messages split across reads and oversize headers.
#include <gtest/gtest.h>

#include <memory>

#include "link/duvo_cmd.h"
#include "link/duvo_parse.h"
#include "link/duvo_wire.h"
#include "wire_fixture.h"

namespace {

struct handled {
    uint8_t id;
    bytes body;
    int msg_version;  // at the time of handling
    bool operator==(const handled &o) const {
        return id == o.id && body == o.body && msg_version == o.msg_version;
    }
};

// A link whose handler records each message; ends the session on end_id and
// switches to the new framing on the announcement, as the session does.
struct ParseLink : WireLink {
    std::vector<handled> got;
    int end_id = -1;

    static int handle(void *ctx, duvo_link *link, uint8_t id, const uint8_t *body, size_t len) {
        ParseLink *p = static_cast<ParseLink *>(static_cast<WireLink *>(ctx));
        p->got.push_back({id, body ? bytes(body, body + len) : bytes{}, link->msg_version});
        if (id == DUVO_CMD_P2C_NOTIFY_SUPPORT_XML) link->msg_version = 1;
        return id == p->end_id;
    }
    explicit ParseLink(int ver) : WireLink(ver) { link.hooks.handle_cmd = handle; }

    // Feeds buf to the parser as reads cut at the given offsets.
    void feed(const bytes &buf, std::vector<size_t> cuts) {
        cuts.push_back(buf.size());
        size_t from = 0;
        for (size_t to : cuts) {
            // Each read in its own exactly-sized allocation, so that a read
            // past its end is caught by the address sanitizer.
            std::unique_ptr<uint8_t[]> piece(new uint8_t[to - from + 1]);
            std::copy(buf.begin() + from, buf.begin() + to, piece.get());
            duvo_parse(&link, piece.get(), to - from);
            from = to;
        }
    }
};

}  // namespace

TEST(DuvoParse, DuplicateHandledOnceAckedTwice) {
    ParseLink p(1);
    bytes msg = new_msg(DUVO_CMD_P2C_PAIRED_INFO, 5, text_z("{}"));
    p.feed(msg, {});
    p.now += 9000;
    p.feed(msg, {});
    EXPECT_EQ(p.got.size(), 1u);
    bytes ack = hdr(DUVO_CMD_P2C_PAIRED_INFO, 1, 2, 5, 0);
    EXPECT_EQ(p.sent, (std::vector<bytes>{ack, ack}));

    // Ten seconds after the first copy it is no longer recognised.
    p.now += 1000;
    p.link.recv_list.Purge();
    p.feed(msg, {});
    EXPECT_EQ(p.got.size(), 2u);
}

TEST(DuvoParse, AcknowledgementsAndKinds) {
    ParseLink p(1);
    duvo_send_cmd(&p.link, 0, nullptr, DUVO_CMD_C2P_PAIR_DETECT);  // seq 1
    p.sent.clear();
    p.link.phone_alive = 0;
    // An acknowledgement for something else, then for ours: neither is
    // handled, answered or recorded, but both are signs of life.
    p.feed(
        cat(hdr(DUVO_CMD_C2P_PAIR_DETECT, 1, 2, 9, 0), hdr(DUVO_CMD_C2P_PAIR_DETECT, 1, 2, 1, 0)),
        {});
    EXPECT_EQ(p.link.sent_list.Count(), 0u);
    EXPECT_TRUE(p.got.empty());
    EXPECT_TRUE(p.sent.empty());
    EXPECT_EQ(p.link.recv_list.Count(), 0u);
    EXPECT_EQ(p.link.phone_alive, 1);

    // Unknown kind: handled without its body and without acknowledgement.
    p.feed(cat(hdr(DUVO_CMD_P2C_ACTIVE_OK, 7, 2, 3, 2), B({'h', 'i'})), {});
    ASSERT_EQ(p.got.size(), 1u);
    EXPECT_EQ(p.got[0].id, DUVO_CMD_P2C_ACTIVE_OK);
    EXPECT_TRUE(p.got[0].body.empty());
    EXPECT_TRUE(p.sent.empty());
}

TEST(DuvoParse, VersionFollowsDataMessagesAndLogLine) {
    LogCapture logs;
    ParseLink p(0);
    // Old framing: the announcement switches the framing for the rest of the
    // same read; then the version byte of each new data message rules.
    bytes buf = cat(old_msg(DUVO_CMD_P2C_NOTIFY_SUPPORT_XML, {}),
                    new_msg(DUVO_CMD_P2C_PAIRED_INFO, 1, text_z("{}"), 2));
    buf = cat(buf, new_msg(DUVO_CMD_P2C_DEV_INFO, 2, text_z("{}"), 1));
    p.feed(buf, {});
    ASSERT_EQ(p.got.size(), 3u);
    EXPECT_EQ(p.got[1].msg_version, 2);
    EXPECT_EQ(p.got[2].msg_version, 1);
    EXPECT_EQ(p.link.msg_version, 1);
    EXPECT_TRUE(logs.has("recv cmd(0x2c: DUVO_CMD_P2C_PAIRED_INFO) from phone, recv_len:" +
                         std::to_string(buf.size()) + "\n"));

    // A data message claiming version 0 does not flip the reader back.
    p.feed(new_msg(DUVO_CMD_P2C_SIP_VERSION, 3, text_z("5"), 0), {});
    EXPECT_EQ(p.link.msg_version, 1);
    EXPECT_EQ(p.got.size(), 4u);

    // Keepalive responses and DTMF are not logged.
    logs.lines().clear();
    p.feed(new_msg(DUVO_CMD_P2C_KEEP_ALIVE_RESPONSE, 4, {}), {});
    EXPECT_FALSE(logs.has("recv cmd"));
}

TEST(DuvoParse, EndingCommandStopsTheRead) {
    ParseLink p(1);
    p.end_id = DUVO_CMD_COM_UN_PAIR;
    bytes buf = cat(new_msg(DUVO_CMD_P2C_ACTIVE_OK, 1, {}), new_msg(DUVO_CMD_COM_UN_PAIR, 2, {}));
    buf = cat(buf, new_msg(DUVO_CMD_P2C_CALL_START, 3, text_z("{}")));
    EXPECT_EQ(duvo_parse(&p.link, buf.data(), buf.size()), 1);
    ASSERT_EQ(p.got.size(), 2u);
    EXPECT_EQ(p.got[1].id, DUVO_CMD_COM_UN_PAIR);
    EXPECT_EQ(p.link.end_session, 1);
    EXPECT_EQ(p.sent.size(), 2u) << "the unread message is not acknowledged";
}

TEST(DuvoParse, WithoutHandlerMessagesAreCounted) {
    WireLink w(0);
    bytes buf = cat(old_msg(DUVO_CMD_P2C_DEV_NAME, text_z("desk")), old_msg(0x7F, {}));
    duvo_parse(&w.link, buf.data(), buf.size());
    EXPECT_EQ(w.link.rx_count, 2u);
    EXPECT_EQ(w.link.phone_alive, 1);
}

// Any split of a stream into reads gives what one read gives.
TEST(DuvoParse, SplitReadsMatchOneRead) {
    struct stream {
        const char *what;
        int ver;
        bytes buf;
    };
    bytes big(700, 'z');
    const stream streams[] = {
        {"new framing", 1,
         cat(cat(new_msg(DUVO_CMD_P2C_PAIRED_INFO, 1, text_z("{\"phone_ip\":\"1\"}")),
                 hdr(DUVO_CMD_C2P_PAIR_DETECT, 1, 2, 1, 0)),
             cat(new_msg(DUVO_CMD_P2C_DEV_NAME, 2, big), new_msg(DUVO_CMD_P2C_ACTIVE_OK, 3, {})))},
        {"old framing", 0,
         cat(cat(old_msg(DUVO_CMD_P2C_DEV_NAME, text_z("desk")),
                 old_msg(DUVO_CMD_P2C_DEV_VID, B({1, 2}))),
             cat(old_msg(DUVO_CMD_P2C_KEEP_ALIVE_RESPONSE, {}), old_msg(0x26, bytes(255, 'q'))))},
        {"old then new", 0,
         cat(cat(old_msg(DUVO_CMD_P2C_DEV_NAME, text_z("d")),
                 old_msg(DUVO_CMD_P2C_NOTIFY_SUPPORT_XML, {})),
             cat(new_msg(DUVO_CMD_P2C_PAIRED_INFO, 1, text_z("{}")), new_msg(0x61, 2, {})))},
    };
    for (const stream &s : streams) {
        SCOPED_TRACE(s.what);
        ParseLink whole(s.ver);
        whole.feed(s.buf, {});
        ASSERT_GE(whole.got.size(), 3u);
        for (size_t cut = 1; cut < s.buf.size(); ++cut) {
            ParseLink p(s.ver);
            p.feed(s.buf, {cut});
            ASSERT_EQ(p.got, whole.got) << "cut at " << cut;
            ASSERT_EQ(p.sent, whole.sent) << "cut at " << cut;
            ASSERT_EQ(p.link.rx_tail_len, 0u);
        }
        // Three-way splits around every header, and one byte at a time.
        for (size_t a = 1; a < s.buf.size(); a += 7) {
            for (size_t b = a + 1; b < s.buf.size(); b += 13) {
                ParseLink p(s.ver);
                p.feed(s.buf, {a, b});
                ASSERT_EQ(p.got, whole.got) << a << "," << b;
            }
        }
        std::vector<size_t> each;
        for (size_t i = 1; i < s.buf.size(); ++i) each.push_back(i);
        ParseLink p(s.ver);
        p.feed(s.buf, each);
        EXPECT_EQ(p.got, whole.got);
    }
}

TEST(DuvoParse, OversizeHeaderIsDroppedWithoutReadingPast) {
    LogCapture logs;
    ParseLink p(1);
    // The header claims a 4 GB body; the read holds the header and 10 bytes.
    bytes bad = cat(hdr(DUVO_CMD_P2C_DEV_INFO, 0, 2, 1, 0xFFFFFFF0u), bytes(10, 'x'));
    p.feed(bad, {});
    EXPECT_TRUE(p.got.empty());
    EXPECT_TRUE(p.sent.empty());
    EXPECT_EQ(p.link.rx_tail_len, 0u);
    EXPECT_TRUE(logs.has("read dropped"));

    // One byte over the largest legal body, behind a good message in the
    // same read: the good one is handled, the rest dropped.
    bytes over = cat(new_msg(DUVO_CMD_P2C_ACTIVE_OK, 2, {}),
                     hdr(DUVO_CMD_P2C_DEV_INFO, 0, 2, 3, uint32_t(DUVO_NEW_BODY_MAX + 1)));
    p.feed(over, {});
    EXPECT_EQ(p.got.size(), 1u);

    // Same when the oversize header arrives split; the next read parses afresh.
    p.feed(bad, {5});
    EXPECT_EQ(p.got.size(), 1u);
    EXPECT_EQ(p.link.rx_tail_len, 0u);
    p.feed(new_msg(DUVO_CMD_P2C_ACTIVE_FAILED, 4, {}), {});
    ASSERT_EQ(p.got.size(), 2u);
    EXPECT_EQ(p.got[1].id, DUVO_CMD_P2C_ACTIVE_FAILED);

    // The largest legal message is taken whole, across reads too.
    bytes largest = new_msg(DUVO_CMD_P2C_DEV_NAME, 5, bytes(DUVO_NEW_BODY_MAX, 'L'));
    p.feed(largest, {11, 2047});
    ASSERT_EQ(p.got.size(), 3u);
    EXPECT_EQ(p.got[2].body.size(), DUVO_NEW_BODY_MAX);
}

TEST(DuvoParse, ConnectionResetForgetsPartialMessage) {
    ParseLink p(1);
    bytes msg = new_msg(DUVO_CMD_P2C_ACTIVE_OK, 1, {});
    p.feed(bytes(msg.begin(), msg.begin() + 5), {});
    EXPECT_EQ(p.link.rx_tail_len, 5u);
    duvo_link_connection_reset(&p.link);
    EXPECT_EQ(p.link.rx_tail_len, 0u);
    EXPECT_EQ(p.link.msg_version, 0);
}
