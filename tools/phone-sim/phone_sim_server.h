// The simulator as a whole: the listening socket (plain or TLS), one
// connection at a time driven by a phone_sim_session, the command queue fed
// from standard input, a script or a test, and the periodic discovery
// announcement. Everything runs on one loop thread; other threads only queue
// commands.
#pragma once

#include <cstdio>
#include <string>

#include "tools/phone-sim/phone_sim_options.h"
#include "tools/phone-sim/phone_sim_print.h"
#include "tools/phone-sim/phone_sim_session.h"

struct phone_sim_server;

// Binds, listens and starts the loop thread. printer and media may be null
// (standard output; no media endpoint). 0, or -1 after printing why.
int phone_sim_server_start(phone_sim_server **out, const phone_sim_options *opts,
                           const phone_sim_printer *printer, const phone_sim_media_hooks *media);

// The port actually listened on (useful with port 0).
int phone_sim_server_port(const phone_sim_server *srv);

// Queues one command line (see phone_sim_command.h; sleep is for scripts).
void phone_sim_server_command(phone_sim_server *srv, const std::string &line);

// Waits until the simulator has quit (quit command) or timeout_ms passed
// (negative: no limit). 1 when it has quit, else 0.
int phone_sim_server_wait(phone_sim_server *srv, int timeout_ms);

// Ends the loop, closes the connection and the socket, frees everything.
void phone_sim_server_stop(phone_sim_server *srv);

// One line of a script or of standard input: "sleep MS" waits here (until
// the time passes or the simulator ends), a bad line is reported with its
// number, anything else is queued. 0 queued or skipped, 1 bad line, 2 the
// line was quit.
int phone_sim_script_line(phone_sim_server *srv, const std::string &line, int line_no);

// Feeds command lines from in until its end, a quit, or the simulator's
// end. Returns the number of bad lines.
int phone_sim_run_script(phone_sim_server *srv, FILE *in);
