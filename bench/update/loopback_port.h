// Whether a server of the benchmark listens on a loopback port.
#pragma once

namespace qm::bench {

// True when a TCP connection to 127.0.0.1:port is accepted.
bool PortAnswers(int port);

}  // namespace qm::bench
