#include "ui/sharedactions.h"

#include "app/base/actionregistry.h"
#include "filer/fileractions.h"
#include "ui/themeimageprovider.h"

#include <QAction>
#include <QCoreApplication>
#include <QIcon>
#include <QIconEngine>
#include <QPainter>
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

namespace {

// Draws the icon's pictures when it is first painted: a menu's icons are drawn when the menu
// opens, not while the window is being built. Everything goes to the icon of the three
// sizes, made once.
class ThemeIconEngine : public QIconEngine
{
public:
    explicit ThemeIconEngine(const QString &name) : m_name(name) {}

    void paint(QPainter *painter, const QRect &rect, QIcon::Mode mode, QIcon::State state) override
    {
        icon().paint(painter, rect, Qt::AlignCenter, mode, state);
    }
    QPixmap pixmap(const QSize &size, QIcon::Mode mode, QIcon::State state) override
    {
        return icon().pixmap(size, mode, state);
    }
    QSize actualSize(const QSize &size, QIcon::Mode mode, QIcon::State state) override
    {
        return icon().actualSize(size, mode, state);
    }
    QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) const override
    {
        return icon().availableSizes(mode, state);
    }
    QIconEngine *clone() const override { return new ThemeIconEngine(*this); }
    void virtual_hook(int id, void *data) override
    {
        if (id == QIconEngine::IsNullHook)
            *static_cast<bool *>(data) = icon().isNull();
        else
            QIconEngine::virtual_hook(id, data);
    }

private:
    const QIcon &icon() const
    {
        if (!m_made) {
            m_made = true;
            if (ThemeImageProvider *provider = ThemeImageProvider::instance()) {
                for (int side : {16, 24, 32}) {
                    const QPixmap pixmap = provider->requestPixmap(QStringLiteral("icon/") + m_name + QStringLiteral(".svg"),
                                                                   nullptr, QSize(side, side));
                    if (!pixmap.isNull())
                        m_icon.addPixmap(pixmap);
                }
            }
        }
        return m_icon;
    }

    QString m_name;
    mutable QIcon m_icon;
    mutable bool m_made = false;
};

} // namespace

QIcon themeIcon(const QString &name)
{
    if (!ThemeImageProvider::instance())
        return QIcon();
    return QIcon(new ThemeIconEngine(name));
}
