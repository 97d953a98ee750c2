// The agent's process: standard descriptors that are never closed, no core
// dumps, one agent per identity, and the interrupt (SIGINT) that ends it in
// order.
#pragma once

#include <cstddef>
#include <cstdint>

#include "build_config.hpp"

// Exit status of an orderly stop.
constexpr int EXIT_STOPPED = 0;

// A core of the agent would hold its access token: none is written.
void forbid_core_dumps();

// The name that claims an identity, "@telemetry-agent:" CLIENT_ID ":" and a
// hash of the broker's URI and the client id (16 hexadecimal digits), into
// name (size bytes); returns its length as snprintf does.
int identity_name(const char *uri, const char *client_id, char *name, size_t size);
// The identity's hash (FNV-1a of the URI, a line end and the client id):
// the claim's name and the reading store's owner.
uint64_t identity_hash(const char *uri, const char *client_id);
// One agent per identity (broker URI and client id) on a machine, held for
// the whole run; false when another process holds it. Any other failure does
// not keep the agent from running.
bool claim_identity(const char *uri, const char *client_id);

// Installs the SIGINT handler.
void interrupt_install();
// True once SIGINT has come.
bool interrupt_requested();
// While a call runs that a signal does not cut short (the broker's connect,
// up to its 30 s timeout), the handler itself ends the process after the
// shutdown notice: nothing stays buffered for the console then.
void interrupt_ends_process(bool during_call);
#if AGENT_STORE
// What the handler does after the notice when it ends the process itself
// (async-signal-safe): the store's save.
void interrupt_before_exit(void (*words)());
#endif
// The pause between cycles: true when SIGINT came before it or ended it.
bool pause_interrupted(unsigned seconds);
