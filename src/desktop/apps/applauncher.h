#pragma once

// The application launcher: the catalogue of desktop applications (tables "apps",
// "filetypes", "app_filetypes") and, as a list model, the applications related to the
// current file selection, most recently used first.
//
// The catalogue is filled from the desktop entries of this platform (the XDG application
// folders and the "applications" folders beside the executable and in the configuration
// directory), from "mimeapps.list" defaults and associations, and from a running
// portable-applications platform. Entries are matched by their command and removed only when
// their program has gone.
//
// GUI thread only; the statements run on the default database connection.

#include "db/dto.h"

#include <QIcon>
#include <QSqlDatabase>
#include <QSqlQueryModel>
#include <QString>

#include <memory>
#include <vector>

struct AppLauncherPrivate;

class AppLauncher : public QSqlQueryModel
{
    Q_OBJECT
public:
    enum Roles {
        AppIdRole = 256,
        NameRole = 257,
        AppIconRole = 258,
        PathRole = 259,
        FlagsRole = 260,
    };

    // The one launcher; made on first use with the application object as parent.
    static AppLauncher* instance();

    explicit AppLauncher(QObject* parent = nullptr);
    ~AppLauncher() override;

    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;

    // Sets the rows to the applications for the files' types and remembers the selection. An
    // empty selection clears the rows and keeps the remembered one.
    void selectRelatedApps(const QString& peerUuid, const std::vector<QString>& paths);

    // Empties the list of related applications.
    void clear() override;

    // Fills the catalogue from this desktop. The launcher does so itself on its first selection
    // or launch, or a moment after it was made, whichever comes first.
    void scanApplications();
    void scanRunningProcesses();
    void scanPortableApps(const QString& platformExe);
    // Stores one application; mimeTypes separated by ";". An application whose command is
    // already stored (in any letter case) only gains the new types.
    void addApp(const QString& name, const QString& mimeTypes, const QString& path, const QString& icon);
    // Removes the catalogue entries among the rows whose program no longer exists.
    void pruneMissingApps();

    // The applications the desktop names for the file's types (mimeapps.list) into the catalogue.
    void addRegistryHandlers(const QString& path);

    // The icon an "appicon" location stands for: a file path, else a name of the icon theme;
    // a plain application icon when neither gives one.
    static QIcon iconForLocation(const QString& location);

    // The remembered selection (for tests and the views).
    QString selectedPeer() const;
    std::vector<QString> selectedPaths() const;

public Q_SLOTS:
    void launch(int appId);
    void launch(int appId, Uuid peerUuid, std::vector<QString> paths);
    void launchDefault(QString path);
    void timerFired();

Q_SIGNALS:
    // A launch on files of another computer: they need local copies first.
    void deferAppLaunch(int appId, Uuid peerUuid, std::vector<QString> paths);
    // A launch that could not start (for the status line).
    void launchFailed(QString text);

private:
    void ensureCatalogue();
    QSqlDatabase catalogue();
    void runStatement();
    bool statementHasUsedApp();
    void startDetached(const QString& program, const QStringList& arguments);

    std::unique_ptr<AppLauncherPrivate> d;
};

Q_DECLARE_METATYPE(std::vector<QString>)
