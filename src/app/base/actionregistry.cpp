#include "app/base/actionregistry.h"

#include <QGuiApplication>
#include <QMutex>
#include <QMutexLocker>

#include <algorithm>
#include <iterator>

namespace {

struct Table
{
    QMutex mutex;
    bool filled = false;
    std::vector<ActionEntry> entries;
};

Table& table()
{
    static Table t;
    return t;
}

QList<QKeySequence> keys(std::initializer_list<const char*> texts)
{
    QList<QKeySequence> list;
    for (const char* t : texts)
        list.append(QKeySequence::fromString(QString::fromLatin1(t), QKeySequence::PortableText));
    return list;
}

// The platform's bindings need a GUI application; without one (tools, some tests) the
// usual desktop keys stand in.
QList<QKeySequence> standardKeys(QKeySequence::StandardKey key, const char* fallback)
{
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        const QList<QKeySequence> list = QKeySequence::keyBindings(key);
        if (!list.isEmpty())
            return list;
    }
    return keys({fallback});
}

ActionEntry entry(const char* id, const char* messageId, QList<QKeySequence> shortcuts,
                  const char* suffix = "")
{
    ActionEntry e;
    e.id = QString::fromLatin1(id);
    e.messageId = QString::fromLatin1(messageId);
    e.textSuffix = QString::fromLatin1(suffix);
    e.shortcuts = std::move(shortcuts);
    return e;
}

} // namespace

QString ActionEntry::text() const
{
    if (messageId.isEmpty())
        return QString();
    return qtTrId(messageId.toLatin1().constData()) + textSuffix;
}

void ActionRegistry::registerDefaults(QSettings*)
{
    Table& t = table();
    QMutexLocker lock(&t.mutex);
    if (t.filled)
        return;
    t.filled = true;

    t.entries = {
        entry("filer.new-folder", "action-new-folder", keys({"Ctrl+Shift+N"}), "..."),
        entry("filer.cut", "action-cut", standardKeys(QKeySequence::Cut, "Ctrl+X")),
        entry("filer.copy", "action-copy", standardKeys(QKeySequence::Copy, "Ctrl+C")),
        entry("filer.paste", "action-paste", standardKeys(QKeySequence::Paste, "Ctrl+V")),
        entry("filer.copy-to", "action-copy-to", keys({"F5"}), "..."),
        entry("filer.move-to", "action-move-to", keys({"F6"}), "..."),
        entry("filer.rename", "action-rename", keys({"F2"})),
        entry("filer.trash", "action-trash", keys({"Del", "F8"})),
        entry("filer.delete", "action-delete", keys({"Shift+Del"}), "..."),
        entry("filer.show-props", "action-show-props", keys({"Alt+Enter", "Alt+Return"})),
        entry("filer.show-inexplorer", "action-show-inexplorer", keys({"Alt+Ctrl+O"})),
        entry("filer.preview", "action-preview", keys({"Space"})),
        entry("filer.view-list", "action-list-view", keys({"Ctrl+1"})),
        entry("filer.view-column", "action-column-view", keys({"Ctrl+2"})),
        entry("filer.view-icons", "action-icon-view", keys({"Ctrl+3"})),
        entry("filer.show-hidden", "action-show-hidden-items", keys({"Ctrl+H"})),
        entry("nodeview.toggle-right", "action-toggle-rightpane", keys({"Ctrl+Down"})),
        entry("filer.open-right", "action-in-rightpane", keys({"Ctrl+Right"})),
        entry("filer.open-left", "action-in-leftpane", keys({"Ctrl+Left"})),
        entry("filer.open-left-tab", "action-in-leftpanetab", keys({"Shift+Left"})),
        entry("filer.open-right-tab", "action-in-rightpanetab", keys({"Shift+Right"})),
        entry("filer.open-in-tab", "action-open-in-tab", {}),
        entry("filer.new-window", "action-new-window", keys({"Ctrl+N"})),
    };

    // The platform's cut binding includes Shift+Del, which the table gives to "filer.delete";
    // a key shared by two actions fires neither, so the table's own keys win.
    const char* const standard[] = {"filer.cut", "filer.copy", "filer.paste"};
    QList<QKeySequence> claimed;
    for (const ActionEntry& e : t.entries) {
        if (std::find(std::begin(standard), std::end(standard), e.id) == std::end(standard))
            claimed += e.shortcuts;
    }
    for (ActionEntry& e : t.entries) {
        if (std::find(std::begin(standard), std::end(standard), e.id) == std::end(standard))
            continue;
        QList<QKeySequence> kept;
        for (const QKeySequence& k : e.shortcuts) {
            if (!claimed.contains(k) && !kept.contains(k))
                kept.append(k);
        }
        claimed += kept;
        e.shortcuts = kept;
    }
}

ActionEntry ActionRegistry::action(const QString& id)
{
    Table& t = table();
    QMutexLocker lock(&t.mutex);
    for (const ActionEntry& e : t.entries) {
        if (e.id == id)
            return e;
    }
    return ActionEntry();
}

std::vector<ActionEntry> ActionRegistry::entries()
{
    Table& t = table();
    QMutexLocker lock(&t.mutex);
    return t.entries;
}
