#pragma once

// Tells when this computer's network may have come back: an interface is up and running that
// was not, or has an address it did not have (a cable plugged in, a wireless network joined,
// a new lease). The kernel's routing socket (netlink) says when to look, so nothing is polled;
// a burst of notices (link and addresses) is looked at once it has settled.
//
// Lives on the thread that made it (the connection manager's, "ioThread"); its signal is sent
// there. The interfaces are those of the network namespace that thread was in at the time.

#include <QObject>
#include <QSet>
#include <QString>

class QSocketNotifier;
class QTimer;

namespace com {

class NetworkWatch : public QObject
{
    Q_OBJECT

public:
    explicit NetworkWatch(QObject *parent = nullptr);
    ~NetworkWatch() override;

    // False where the kernel's notices cannot be had (no routing socket); nothing is told then.
    bool isWatching() const { return m_fd >= 0; }

Q_SIGNALS:
    void networkReturned();

private:
    void onNotices();
    void lookAgain();
    // "interface|address" for every address of the interfaces that are up and running.
    static QSet<QString> presentAddresses();

    int m_fd = -1;
    QSocketNotifier *m_notifier = nullptr;
    QTimer *m_settle = nullptr;
    QSet<QString> m_present;
};

} // namespace com
