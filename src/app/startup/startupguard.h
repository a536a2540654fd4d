#pragma once

// Checks made once at start-up on the configuration directory, before the network side
// exists: one program per directory, and an identity that is never silently replaced.
//
// Lives on the GUI thread for the whole run: it holds the directory's lock and listens
// for a second start asking this one to come to the front.

#include "app/startup/processlock.h"

#include <QFutureWatcher>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class QLocalServer;
class QLocalSocket;
class SqliteDatabase;

class StartupGuard : public QObject
{
    Q_OBJECT

public:
    // The lock file in the configuration directory, and the settings key that records the
    // public half of the identity once it exists.
    static QString lockFileName() { return QStringLiteral("nusk.lock"); }
    static QString identityKey() { return QStringLiteral("identity/publicKey"); }

    // How a start that did not happen ends, the same in every program built on this guard.
    enum ExitCode {
        ExitConfigUnusable = 2,   // the folder cannot be written, or its database is unusable
        ExitAlreadyRunning = 3,   // another program holds the folder
    };

    explicit StartupGuard(const QString &configDirectory, QObject *parent = nullptr);
    ~StartupGuard() override;

    // Makes the directory (0700) and its settings file (0600) when missing, mends the modes
    // an older version left, and checks that files can be made in it. False with
    // errorString() when the directory cannot be made or written.
    bool prepareDirectory();

    // Takes the directory's lock. False when another live program holds it; errorString()
    // then names its process, and that program has been asked to come to the front. One
    // that does not answer is given a moment to let go: a program killed just now holds the
    // lock until the last of it has ended.
    // `handingOverPid`: the process this start takes over from in an update hand-over; while
    // that one holds the lock, the lock is waited for, up to `handOverWaitMs`.
    bool acquire(qint64 handingOverPid = 0, int handOverWaitMs = 30000);

    // The database opens, passes SQLite's quick check and holds the identity recorded in
    // the settings. The key is made only when none was ever recorded (a first start): then
    // on the pool, while the window is built, and recorded once stored; whoever needs the key
    // sooner makes the same one. False with errorString() otherwise; a damaged file is first
    // copied aside.
    bool checkDatabase(SqliteDatabase *database);

    // Waits for a first start's identity work; call before the database goes. False with
    // errorString() when no key could be stored (identityFailed() was emitted then).
    bool waitForIdentity();

    QString errorString() const { return m_error; }

    // Where the activation socket lives: in the user's runtime folder when it is private to
    // the user, else in the configuration folder when that one is (it is made 0700), so that
    // no other local user can take the name first. Empty when neither fits a socket's name.
    QString activationSocketPath() const;

    // Only a program of this user is answered, and only its answer believed. Tests stand in
    // for another user by naming someone else here; the user of this process outside tests.
    void setActivationUserForTesting(uint uid) { m_activationUser = uid; }

Q_SIGNALS:
    // A second start on the same directory asked this program to show its window. Handled
    // by a direct connection: the second start is told it was done once this returns.
    void activationRequested();
    // A first start could not store its identity: this computer could pair with nobody.
    void identityFailed();

private:
    QString keepAside(const QString &file);
    void listenForActivation();
    void answerActivation(QLocalSocket *socket);
    bool isActivationUser(const QLocalSocket &socket) const;
    // Asks the holder to come to the front; true when it answered that it did.
    bool askHolderToActivate();
    // Tries the lock until it is taken or cannot be, `limitMs` have passed, or waiting is not
    // `worthWaiting` any more (asked after each try that found it held).
    ProcessLock::Result lockWithin(int limitMs, const std::function<bool()> &worthWaiting);

    QString m_directory;
    QString m_error;
    std::unique_ptr<ProcessLock> m_lock;
    QLocalServer *m_server = nullptr;
    uint m_activationUser;
    QFutureWatcher<QString> m_identity;   // a first start's key: the error, empty once stored
};
