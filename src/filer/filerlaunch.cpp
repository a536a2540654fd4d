#include "filer/filerlaunch.h"

#include "app/base/log.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QFileInfo>
#include <QMimeDatabase>
#include <QPointer>
#include <QProcess>
#include <QStandardPaths>
#include <QUrl>

namespace filerlaunch {

namespace {

DetachedStarter &starterSlot()
{
    static DetachedStarter starter;
    return starter;
}

OpenerQuery &openerQuerySlot()
{
    static OpenerQuery query;
    return query;
}

QString &serviceSlot()
{
    static QString service = QStringLiteral("org.freedesktop.FileManager1");
    return service;
}

void openParentFolder(const QString &localPath)
{
    const QString folder = QFileInfo(localPath).absolutePath();
    if (!startDetached(QStringLiteral("xdg-open"), {QUrl::fromLocalFile(folder).toString()}))
        logPrintf(LogErr1, "cannot open %s", qUtf8Printable(folder));
}

// Asks the file manager; `unanswered` runs when it is not there or refuses.
void askFileManager(const QString &method, const QString &localPath, const std::function<void()> &unanswered)
{
    if (localPath.isEmpty())
        return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        unanswered();
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(serviceSlot(), QStringLiteral("/org/freedesktop/FileManager1"),
                                                       QStringLiteral("org.freedesktop.FileManager1"), method);
    call << QStringList{QUrl::fromLocalFile(localPath).toString()} << QString();
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, 5000));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher, [unanswered](QDBusPendingCallWatcher *w) {
        if (w->isError()) {
            logPrintf(LogNfo1, "file manager did not answer: %s", qUtf8Printable(w->error().message()));
            unanswered();
        }
        w->deleteLater();
    });
}

} // namespace

void setDetachedStarter(DetachedStarter starter)
{
    starterSlot() = std::move(starter);
}

void setDefaultOpenerQuery(OpenerQuery query)
{
    openerQuerySlot() = std::move(query);
}

void askDefaultOpener(const QString &localPath, QObject *context, std::function<void(bool found)> done)
{
    if (openerQuerySlot()) {
        const bool found = openerQuerySlot()(localPath);
        QMetaObject::invokeMethod(context, [done, found] { done(found); }, Qt::QueuedConnection);
        return;
    }
    const QString type = QMimeDatabase().mimeTypeForFile(localPath).name();
    auto *query = new QProcess(context);
    QObject::connect(query, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), context,
                     [query, done](int code, QProcess::ExitStatus status) {
                         query->deleteLater();
                         done(status == QProcess::NormalExit && code == 0
                              && !query->readAllStandardOutput().trimmed().isEmpty());
                     });
    QObject::connect(query, &QProcess::errorOccurred, context, [query, done](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        query->deleteLater();
        done(false);
    });
    query->start(QStringLiteral("xdg-mime"), {QStringLiteral("query"), QStringLiteral("default"), type});
}

bool startDetached(const QString &program, const QStringList &arguments)
{
    if (starterSlot())
        return starterSlot()(program, arguments);
    return QProcess::startDetached(program, arguments);
}

void setFileManagerService(const QString &service)
{
    serviceSlot() = service;
}

void showProperties(const QString &localPath, QObject *context, const std::function<void()> &unanswered)
{
    // Nothing stands in for the properties: the parent folder is not what was asked for.
    QPointer<QObject> guard(context);
    askFileManager(QStringLiteral("ShowItemProperties"), localPath, [guard, unanswered] {
        if (guard)
            QMetaObject::invokeMethod(guard, unanswered, Qt::QueuedConnection);
    });
}

void revealItem(const QString &localPath)
{
    askFileManager(QStringLiteral("ShowItems"), localPath, [localPath] { openParentFolder(localPath); });
}

bool runCommand(const QString &command, const QStringList &files)
{
    logPrintf(LogNfo1, "exec %s", qUtf8Printable(command));
    QString program;
    if (QFileInfo(command).isAbsolute())
        program = QFileInfo(command).isExecutable() && QFileInfo(command).isFile() ? command : QString();
    else if (!command.contains(QLatin1Char('/')))
        program = QStandardPaths::findExecutable(command);
    if (program.isEmpty()) {
        logPrintf(LogNfo1, "unsupported exec command: %s", qUtf8Printable(command));
        return false;
    }
    return startDetached(program, files);
}

} // namespace filerlaunch
