#pragma once

// Network namespaces a test makes for itself (addresses from 198.18.0.0/15) and removes
// again, and a scope in which the sockets this thread makes belong to one of them.

#include <QString>
#include <QStringList>

namespace testutil {

class Netns
{
public:
    // Why namespaces cannot be made here (not root, no `ip netns`, no `nft`), or empty.
    static QString unavailableReason();

    Netns();
    ~Netns();

    // The full name of a namespace of this run.
    QString name(const QString &shortName) const { return m_prefix + shortName; }
    bool add(const QString &shortName);
    // `ip <args>` in the host's namespace, or `ip -n <ns> <args>`.
    bool ip(const QStringList &args, const QString &shortName = QString());
    // A program run to its end inside a namespace, fed `input` on standard input.
    bool exec(const QString &shortName, const QString &program, const QStringList &args,
              const QByteArray &input = QByteArray());

private:
    QString m_prefix;
    QStringList m_made;
};

// The network of the NAT tests: two computers "hostA" and "hostB", each behind a router of
// its own ("natA", "natB") or, without one, right on the "public" network ("pub", a bridge
// with 198.18.0.1 and .2 for the relay server, .3 and .4 for a second one):
//
//   hostA 198.18.1.2 -- 198.18.1.1 natA 198.18.0.10 --+
//                                                      +-- pub 198.18.0.1 .2 .3 .4
//   hostB 198.18.2.2 -- 198.18.2.1 natB 198.18.0.20 --+
//
// A public computer has the router's outside address itself (198.18.0.10 or .20).
enum class Router { FullCone, Symmetric, None };
bool buildNatNetwork(Netns &net, Router a, Router b);
// What makes side's router a full cone for `port`: whoever sends to it reaches the host.
bool forwardToHost(Netns &net, const QString &side, quint16 port);

// While alive, sockets this thread makes belong to the namespace.
class NetnsScope
{
public:
    explicit NetnsScope(const QString &fullName);
    ~NetnsScope();
    bool isValid() const { return m_entered; }

private:
    int m_original = -1;
    bool m_entered = false;
};

} // namespace testutil
