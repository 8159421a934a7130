// The thread's last socket error and the translation of errno values and
// resolver codes into the Winsock numbering that platform/socket.h uses.
#pragma once

namespace qm::platform::posix {

int WinsockErrorFromErrno(int error);
int WinsockErrorFromResolver(int gai_error, int saved_errno);
// Stores the translation of errno as the thread's last socket error.
void SetLastErrorFromErrno();

}  // namespace qm::platform::posix
