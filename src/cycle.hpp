// The measurement cycle and everything the agent says: each cycle's lines,
// the start-up's, and the service's status with the watchdog's keep-alive.
// One function decides what a cycle came to and reports it; the outages it
// tracks make a reason line appear when a reason first appears or changes,
// and a line when things work again.
#pragma once

#include "build_config.hpp"
#include "reason.hpp"

// Another agent holds this identity: the agent does not start.
void report_identity_taken(const char *client_id, const char *uri);
// The connect at start failed.
void report_connect_failure(const Reason &why);
// Connected, the sensor and the serial port set up.
void report_ready();
// The orderly stop begins.
void report_stop();

// One cycle: measures, publishes the reading, reports the outcome. Returns
// early, saying nothing of it, when SIGINT comes.
void run_cycle();

#if AGENT_STORE
// The reading store: at start, after the set-up, reads the last orderly
// stop's store back and says what came of it; at the orderly stop, writes it
// and says so; the same from the interrupt's handler (async-signal-safe).
void open_store();
void close_store();
void close_store_now();
#endif
