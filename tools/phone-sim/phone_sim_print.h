// The simulator's output: one line per event, handed to a sink (standard
// output, flushed, unless a test supplies its own).
//
// Message lines:
//   "<- NAME seq=N BODY"      new-framing data message from the PC
//   "<- NAME old BODY"        old-framing message from the PC
//   "<- NAME seq=N dup"       a repeat within the duplicate window: acked, not handled
//   "<- ack NAME seq=N"       the PC acknowledged one of ours
//   "-> NAME seq=N BODY", "-> NAME old BODY", "-> ack NAME seq=N",
//   "-> NAME seq=N resend"    same for what the phone sends
// BODY is compact JSON, a quoted text, "hex:..." for other bytes, or nothing
// for an empty body. Other lines start with "# " (events) or "! " (errors),
// except the pairing code, shown as a phone shows it: "pairing code: NNNNNN".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct phone_sim_printer {
    void (*line)(void *ctx, const char *text);  // text without line end
    void *ctx;
};

// The default sink: standard output, one flushed line per call, serialised.
phone_sim_printer phone_sim_stdout_printer();

void phone_sim_print(const phone_sim_printer *p, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));

// A printable name for any command id ("CMD_0xNN" for ids without one).
std::string phone_sim_cmd_name(int id);

// The BODY part of a message line.
std::string phone_sim_body_text(const uint8_t *body, size_t len);
