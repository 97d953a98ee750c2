// The bound on inbound data the agent never asked for. It subscribes to
// nothing, but Paho keeps what a broker sends all the same: a QoS 2 PUBLISH
// until its PUBREL (which a hostile broker never sends), and in its read
// buffer the largest packet read so far, which it never shrinks. Paho's API
// bounds neither, so the session watches the heap, which glibc counts without
// a system call: grown past the bound, the session is dropped and the client
// made anew (which frees Paho's read buffer), and the memory goes back to the
// system. The service's memory limit is the backstop for what this cannot
// catch in time (a single packet of tens of MB).
#pragma once

#include <cstddef>

#include "reason.hpp"

// A session has just come up: its heap is the least a session needs (a
// broker that floods one connect does not raise the bound of the next).
void inbound_session_up();

// A publication begins to wait: what the session holds past the bound then
// (a large packet in the read buffer) may stay until its outcome, so that a
// stream of large packets does not stop telemetry.
void inbound_wait_begins();
// During the wait, after the session read what the broker sent: true when it
// piled up more than that since (the session must go); *held: what it holds.
bool inbound_piling_up(size_t *held);

// Once a cycle, when the session's outcome is known: true when it holds more
// than the bound (the session must go); *held: what it holds.
bool inbound_past_bound(size_t *held);

// Gives what a dropped session held back to the system.
void inbound_release();

// Why the session with peer was dropped, holding held bytes.
void explain_inbound_drop(const char *peer, size_t held, Reason *why);
