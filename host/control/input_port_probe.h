#pragma once
// Claims a slot's input UDP port. The socket stays bound from the moment the
// pool chooses the port until the slot's input receiver takes it over, so no
// other program can take the port while the tablet is still authenticating.

#include <cstdint>

#include "host/common/net.h"

namespace orvane {

// Binds a UDP IPv4 socket to any local address and `port` (0: the system
// chooses) and keeps it. Returns 0 with *bound (the port read back) and
// *socket (owned by the caller from then on), or the Winsock error with
// nothing left open. For port 0 a port that cannot be read back is a failure:
// the socket is bound to some port nobody could name.
int ProbeInputPort(uint16_t port, uint16_t* bound, net::Socket* socket);

// The port a probe reports once bind succeeded, from what getsockname gave
// (read_back, read_error): the read-back port; for a fixed port whose
// read-back failed, the port itself; for port 0 whose read-back failed, 0
// and *error set (never 0 there: the socket is bound somewhere nobody can
// name, so the probe fails).
uint16_t ProbedPort(uint16_t requested, uint16_t read_back, int read_error, int* error);

}  // namespace orvane
