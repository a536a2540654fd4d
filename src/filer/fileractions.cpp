#include "filer/fileractions.h"

#include "app/base/actionregistry.h"

#include <QAction>
#include <QApplication>
#include <QHash>
#include <QPointer>

namespace {

// Parented to the application object, so the actions go when it goes and a later
// application (tests make several) starts with a fresh set.
QHash<QString, QPointer<QAction>> &table()
{
    static QHash<QString, QPointer<QAction>> actions;
    return actions;
}

} // namespace

QAction *FilerActions::action(const QString &id)
{
    // The main window's actions when it made them; otherwise our own, published the same way.
    if (auto *published = qobject_cast<QAction *>(ActionRegistry::actionObject(id)))
        return published;
    QPointer<QAction> &slot = table()[id];
    if (slot)
        return slot;
    ActionRegistry::registerDefaults();
    auto *action = new QAction(QCoreApplication::instance());
    action->setObjectName(id);
    const ActionEntry entry = ActionRegistry::action(id);
    if (!entry.isNull()) {
        action->setText(entry.text());
        action->setShortcuts(entry.shortcuts);
    }
    if (id == QLatin1String("filer.show-hidden") || id == QLatin1String("filer.view-icons")
        || id == QLatin1String("filer.view-list") || id == QLatin1String("filer.view-column"))
        action->setCheckable(true);
    // Paste waits for something on the clipboard.
    if (id == QLatin1String("filer.paste"))
        action->setEnabled(false);
    slot = action;
    ActionRegistry::setActionObject(id, action);
    return action;
}
