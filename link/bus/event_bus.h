// The internal event bus: the one channel through which every thread asks
// the phone session to do something. Any thread posts; only the session's
// event-reader thread reads.
//
// It is a connected AF_UNIX sequenced-packet pair: nothing listens on a port
// that another local process could reach, a post is one atomic non-blocking
// send that never interleaves with another, order is kept, and the session
// can poll the receiving end together with the phone socket.
#pragma once

#include <cstddef>
#include <cstdint>

// Event types.
constexpr uint32_t EVT_SEND_CMD = 0x10000;    // device / media path: send a phone command
constexpr uint32_t EVT_START_PAIR = 0x20000;  // shell: start a session
constexpr uint32_t EVT_UI_CMD = 0x20001;      // shell: phone command
constexpr uint32_t EVT_DEBUG_MODE = 0x20002;  // shell: code is the debug flag
constexpr uint32_t EVT_TIMER_CMD = 0x50000;   // session timers, shell: phone command
constexpr uint32_t EVT_RAW_SEND = 0x50001;    // re-send scan: body is a framed phone message

// Message layout (little-endian): type u32, code u32, value i32, body size
// u16, body, two zero bytes. A message is body size + 16 bytes long.
constexpr size_t EVT_HEADER_SIZE = 14;
constexpr size_t EVT_BODY_MAX = 1024;
constexpr size_t EVT_FRAME_MAX = EVT_BODY_MAX + 16;
// The session reads at most this much per loop iteration.
constexpr size_t EVT_READ_MAX = 20480;

struct duvo_event {
    uint32_t type;
    uint32_t code;
    int32_t value;
    uint16_t size;
    const uint8_t *body;  // size bytes, inside the buffer that was parsed
};

// Creates the connected pair. 0, or -1 (logged).
int duvo_event_bus_init(int *send_sock, int *recv_sock);
// Closes both ends (either may be -1).
void duvo_event_bus_close(int send_sock, int recv_sock);

// Posts one event. A null body or size 0 posts size 0; a body larger than
// EVT_BODY_MAX is refused. 0 posted, -2 failed ("send message fail, err:%d\n").
int duvo_event_post(const void *body, size_t size, int send_sock, uint32_t type, uint32_t code,
                    int32_t value);

// Builds the wire form of one event into out (at least EVT_FRAME_MAX bytes).
// Returns its length, or 0 when the body is too large.
size_t duvo_event_encode(uint8_t *out, const void *body, size_t size, uint32_t type, uint32_t code,
                         int32_t value);

// Walks the messages in buf in order, calling fn for each whole one. A
// message whose announced size runs past the buffer ends the walk. Returns
// the number of bytes consumed.
typedef void (*duvo_event_fn)(void *ctx, const duvo_event *ev);
size_t duvo_event_walk(const uint8_t *buf, size_t len, duvo_event_fn fn, void *ctx);

// Reads what is pending on the receiving end (at most EVT_READ_MAX bytes,
// several messages) and walks it. Returns the number of events handled, 0 when
// nothing was pending, -1 on a read error ("read duvo message err!\n").
int duvo_event_read(int recv_sock, duvo_event_fn fn, void *ctx);
