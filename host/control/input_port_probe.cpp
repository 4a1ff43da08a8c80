#include "host/control/input_port_probe.h"

#include "host/common/logger.h"

namespace orvane {

namespace {
// An error number for a failure the system did not name.
int OrUnnamed(int error) { return error != 0 ? error : net::kWsaEInval; }
}  // namespace

uint16_t ProbedPort(uint16_t requested, uint16_t read_back, int read_error, int* error) {
  *error = 0;
  if (read_error == 0 && read_back != 0) return read_back;
  if (requested != 0) return requested;
  *error = OrUnnamed(read_error);
  return 0;
}

int ProbeInputPort(uint16_t port, uint16_t* bound, net::Socket* socket) {
  *socket = net::kInvalidSocket;
  int error = 0;
  const net::Socket s = net::Create(net::Kind::kUdp, &error);
  if (s == net::kInvalidSocket) return OrUnnamed(error);
#ifdef _WIN32
  // Without exclusive use Windows lets a later socket with SO_REUSEADDR share
  // the port and take the tablet's datagrams. Not fatal: the port is still
  // ours against ordinary binds.
  if (const int option_error = net::SetListenerAddressOptions(s); option_error != 0) {
    LogWarn("[Pool] Input port %u: exclusive address use not available: %d", static_cast<unsigned>(port),
            option_error);
  }
#endif
  error = net::Bind(s, std::string(), port);
  if (error != 0) {
    net::Close(s);
    return OrUnnamed(error);
  }
  int read_error = 0;
  const uint16_t read_back = net::LocalPort(s, &read_error);
  const uint16_t local = ProbedPort(port, read_back, read_error, &error);
  if (local == 0) {
    net::Close(s);
    return error;
  }
  *bound = local;
  *socket = s;
  return 0;
}

}  // namespace orvane
