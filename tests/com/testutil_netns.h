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
