#pragma once

// The application's command table: command id, message id of the text and shortcuts.
// The main window turns each entry into one process-wide action object.

#include <QKeySequence>
#include <QList>
#include <QString>
#include <vector>

class QSettings;

struct ActionEntry
{
    QString id;                    // dotted command id, e.g. "filer.cut"
    QString messageId;             // catalogue id of the text, e.g. "action-cut"
    QString textSuffix;            // appended to the text, "..." for commands that ask first
    QList<QKeySequence> shortcuts; // first is the primary one

    bool isNull() const { return id.isEmpty(); }
    // The translated display text (catalogue text of messageId followed by textSuffix).
    QString text() const;
};

class ActionRegistry
{
public:
    // Fills the process-wide table once; later calls change nothing. The settings are not
    // read. Call it after the application object exists: the platform's standard keys for
    // cut, copy and paste come from the GUI platform when there is one.
    static void registerDefaults(QSettings* settings = nullptr);

    // A copy of the entry with this command id; a null entry when there is none.
    static ActionEntry action(const QString& id);

    // The whole table in its order.
    static std::vector<ActionEntry> entries();
};
