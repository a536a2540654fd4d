#pragma once

// Texts the file layer shows (prompts, drive names) by message id. The layer runs without a
// catalogue in tools and tests; the English text stands in then.

#include <QCoreApplication>
#include <QLatin1String>
#include <QString>

namespace vfstext {

// The catalogue's text of a message id; the English text when no catalogue knows it.
inline QString message(const char *id, const char *english, int n = -1)
{
    QString text = qtTrId(id, n);
    if (text == QLatin1String(id)) {
        text = QString::fromUtf8(english);
        if (n >= 0)
            text.replace(QLatin1String("%n"), QString::number(n));
    }
    return text;
}

} // namespace vfstext
