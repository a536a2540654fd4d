#pragma once

// SIGINT and SIGTERM end the event loop cleanly. The handler only writes the signal number
// to a socket pair (the one thing that is safe there); the event loop reads it and quits.

#include <QObject>

class QSocketNotifier;

class UnixSignalWatcher : public QObject
{
    Q_OBJECT
public:
    // Installs the handlers; may run before the application object exists. Signals that
    // arrive before a watcher is made wait in the socket pair.
    static bool installHandlers();

    // Needs the application object; quits its event loop with code 0 on SIGINT or SIGTERM.
    explicit UnixSignalWatcher(QObject* parent = nullptr);
    ~UnixSignalWatcher() override;

Q_SIGNALS:
    void signalReceived(int signalNumber);

private:
    void onReadable();
    QSocketNotifier* m_notifier = nullptr;
};
