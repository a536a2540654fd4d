#pragma once

// Which account holds a TCP port of this machine that one of our connections reached, from
// the kernel's socket tables (/proc/net/tcp and /proc/net/tcp6 on Linux): they list every
// socket with the uid of the account that made it. Two rows speak: the far end of our own
// connection, which names the listener that took it even when that one has closed since and
// another account listens there now, and the port's listening socket. Any thread.

#include <QByteArray>

#include <sys/types.h>

class QAbstractSocket;
class QHostAddress;

namespace com::socketowner {

// The account that holds the port at the far end of `socket`'s connection; false when the
// tables cannot tell.
bool portHolder(const QAbstractSocket &socket, uid_t *uid);

// The same from `tables` (rows as the kernel prints them) for our connection from
// `ourAddress`:`ourPort` to `address`:`port`. The listener that takes connections to
// `address` must be listed, of one account (listeners the kernel passes over for it, such as
// an IPv6-only one beside one on IPv4, do not count), and the far end of the connection must
// not name another one, root aside: some kernels (6.1) list a connection the listener has not
// yet taken as root's, and a listener root opened (tor's, before it becomes its own account)
// hands connections to the account it runs as. False when the rows are missing or name two
// accounts other than root.
bool portHolderIn(const QByteArray &tables, const QHostAddress &address, quint16 port,
                  const QHostAddress &ourAddress, quint16 ourPort, uid_t *uid);

} // namespace com::socketowner
