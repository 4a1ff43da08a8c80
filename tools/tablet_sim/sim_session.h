#pragma once
// One run of the simulated tablet: read the state file (when given),
// connect to the host's control port, say Hello with a fresh ephemeral key
// (unless told not to) and authenticate (auth v1: the proof in the Hello;
// auth v2: check the host's signed transcript and identity, then AuthProof),
// derive the session keys, send the script's messages one after the other
// (sealed once keys exist; each after its answer or a short wait), print
// whatever the host answers, and end when the host closes the connection,
// the script ends it or the hold time runs out.

#include "host/common/clock.h"
#include "tools/tablet_sim/sim_options.h"
#include "tools/tablet_sim/sim_output.h"

namespace orvane::sim {

// Exit codes of the program.
enum SimExitCode : int {
  kSimExitOk = 0,                // the host closed the connection, or the hold ran out
  kSimExitConnectFailed = 1,     // no connection to the host
  kSimExitUsage = 2,             // bad command line
  kSimExitConnectionFailed = 3,  // sending or receiving failed, or the host broke the framing
  kSimExitNotAuthenticated = 4,  // the run tried to authenticate and is not authenticated at its end:
                                 // pairing required, refused by the host, or the host's signature or
                                 // identity refused by the tablet
  kSimExitStateFile = 5,         // the state file cannot be read or is damaged (nothing was sent),
                                 // or it could not be written
};

// Runs to the end; returns one of SimExitCode. The clock supplies the
// envelope timestamps and the hold deadline.
int RunTabletSim(const SimOptions& options, SimOutput& out, IClock& clock);

}  // namespace orvane::sim
