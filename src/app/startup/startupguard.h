#pragma once

// Checks made once at start-up on the configuration directory, before the network side
// exists: one program per directory, and an identity that is never silently replaced.
//
// Lives on the GUI thread for the whole run: it holds the directory's lock and listens
// for a second start asking this one to come to the front.

#include <QObject>
#include <QString>

#include <memory>

class QLocalServer;
class QLockFile;
class SqliteDatabase;

class StartupGuard : public QObject
{
    Q_OBJECT

public:
    // The lock file in the configuration directory, and the settings key that records the
    // public half of the identity once it exists.
    static QString lockFileName() { return QStringLiteral("nusk.lock"); }
    static QString identityKey() { return QStringLiteral("identity/publicKey"); }

    explicit StartupGuard(const QString &configDirectory, QObject *parent = nullptr);
    ~StartupGuard() override;

    // Takes the directory's lock. False when another live program holds it; errorString()
    // then names its process, and that program has been asked to come to the front.
    bool acquire();

    // The database opens, passes SQLite's quick check and holds the identity recorded in
    // the settings. The key is made only when none was ever recorded (a first start).
    // False with errorString() otherwise; a damaged file is first copied aside.
    bool checkDatabase(SqliteDatabase *database);

    QString errorString() const { return m_error; }

Q_SIGNALS:
    // A second start on the same directory asked this program to show its window.
    void activationRequested();

private:
    QString keepAside(const QString &file);
    QString serverName() const;
    void listenForActivation();

    QString m_directory;
    QString m_error;
    std::unique_ptr<QLockFile> m_lock;
    QLocalServer *m_server = nullptr;
};
