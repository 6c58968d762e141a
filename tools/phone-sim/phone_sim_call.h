// The phone's media in a call: when the PC asks for media it opens an RTP
// socket, answers with its port and a fresh key line, sends 10 ms L16 packets
// from a tone or a WAV file, and records what arrives; when the PC closes the
// stream (or the connection ends) it stops and saves the recording.
#pragma once

#include "tools/phone-sim/phone_sim_options.h"
#include "tools/phone-sim/phone_sim_print.h"
#include "tools/phone-sim/phone_sim_session.h"

struct phone_sim_call;

phone_sim_call *phone_sim_call_create(const phone_sim_options *opts,
                                      const phone_sim_printer *printer);
// Stops a running stream first.
void phone_sim_call_destroy(phone_sim_call *call);
// The hooks that hand the phone session's media requests to the call.
phone_sim_media_hooks phone_sim_call_hooks(phone_sim_call *call);
