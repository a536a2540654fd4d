#include "ui/sharedactions.h"

#include "app/base/actionregistry.h"
#include "filer/fileractions.h"
#include "ui/themeimageprovider.h"

#include <QAction>
#include <QCoreApplication>
#include <QIcon>
#include <QWidget>

namespace {

enum Kind { Disabled, Enabled, Checkable };

// The one action of a command (the file layer keeps them), with the table's text and keys.
QAction *fromTable(QWidget *, const char *id, Kind kind)
{
    const ActionEntry entry = ActionRegistry::action(QString::fromLatin1(id));
    QAction *action = FilerActions::action(QString::fromLatin1(id));
    action->setText(entry.text());
    action->setShortcuts(entry.shortcuts);
    action->setEnabled(kind != Disabled);
    action->setCheckable(kind == Checkable);
    return action;
}

// A command without a table entry; `text` is already translated.
QAction *plain(QWidget *, const QString &id, const QString &text, Kind kind)
{
    QAction *action = FilerActions::action(id);
    action->setText(text);
    action->setEnabled(kind != Disabled);
    action->setCheckable(kind == Checkable);
    return action;
}

} // namespace

SharedActions makeSharedActions(QWidget *window)
{
    SharedActions a;
    a.cut = fromTable(window, "filer.cut", Disabled);
    a.copy = fromTable(window, "filer.copy", Disabled);
    a.copyTo = fromTable(window, "filer.copy-to", Enabled);
    window->addAction(a.copyTo);
    a.moveTo = fromTable(window, "filer.move-to", Enabled);
    window->addAction(a.moveTo);
    a.paste = fromTable(window, "filer.paste", Disabled);
    a.trash = fromTable(window, "filer.trash", Disabled);
    a.remove = fromTable(window, "filer.delete", Disabled);
    a.newFolder = fromTable(window, "filer.new-folder", Enabled);
    a.rename = fromTable(window, "filer.rename", Disabled);
    a.clearMarked = plain(window, FilerActions::clearMarkedId(), QCoreApplication::translate("MainWindow", "Clear marked"), Enabled);
    a.preview = fromTable(window, "filer.preview", Enabled);
    a.viewList = fromTable(window, "filer.view-list", Checkable);
    a.viewColumn = fromTable(window, "filer.view-column", Checkable);
    a.viewIcons = fromTable(window, "filer.view-icons", Checkable);
    a.newWindow = fromTable(window, "filer.new-window", Enabled);
    a.showNodeView = plain(window, FilerActions::showNodeViewId(), qtTrId("action-show-nodeview"), Enabled);
    a.showAltFiler = plain(window, QStringLiteral("view.show-alt-filer"), qtTrId("action-show-alt-filer"), Enabled);
    a.showHidden = fromTable(window, "filer.show-hidden", Checkable);
    a.showProps = fromTable(window, "filer.show-props", Enabled);
    a.showInExplorer = fromTable(window, "filer.show-inexplorer", Enabled);
    a.shareDrive = plain(window, QStringLiteral("filer.share-drive"), qtTrId("action-share-drive"), Checkable);
    a.toggleRight = fromTable(window, "nodeview.toggle-right", Enabled);
    window->addAction(a.toggleRight);
    return a;
}

QIcon themeIcon(const QString &name)
{
    ThemeImageProvider *provider = ThemeImageProvider::instance();
    if (!provider)
        return QIcon();
    QIcon icon;
    for (int side : {16, 24, 32}) {
        const QPixmap pixmap = provider->requestPixmap(QStringLiteral("icon/") + name + QStringLiteral(".svg"), nullptr,
                                                       QSize(side, side));
        if (!pixmap.isNull())
            icon.addPixmap(pixmap);
    }
    return icon;
}
