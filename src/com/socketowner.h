#pragma once

// Which account holds the other end of a TCP connection between two addresses of this
// machine, from the kernel's socket tables (/proc/net/tcp and /proc/net/tcp6 on Linux): they
// list every socket with the uid of the account that made it, and a connection a listener
// takes (or is about to take) carries the listener's uid. Asking about the far end of one's
// own connection, not about whoever listens on the port now, names the listener that took
// this connection even when it has closed since and another account listens there. Any
// thread.

#include <sys/types.h>

class QAbstractSocket;

namespace com::socketowner {

// The account of the socket at the far end of `socket`'s connection; false when the tables
// list no such socket, or sockets of more than one account.
bool peerOwner(const QAbstractSocket &socket, uid_t *uid);

} // namespace com::socketowner
