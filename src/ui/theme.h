#pragma once

// The named theme: a QML file whose root object carries colours and sizes ("Theme" in every
// declarative view) and a widget style sheet, both in the "themes" directory beside the
// executable ("%1/%2Theme.qml", "%1/%2ThemeStyle.qss"). A copy of the "Light" theme is
// compiled in, so a program copied without its themes folder still looks right.
// GUI thread only.

#include <QList>
#include <QPalette>
#include <QString>

class QObject;
class QQmlEngine;

namespace theme {

QString directory();                                         // application dir + "/themes"
QString objectFile(const QString &directory, const QString &name);
QString styleSheetFile(const QString &directory, const QString &name);
// The compiled-in copy of a theme file, empty when there is none.
QString builtinFile(const QString &fileName);

// The file's content up to the first NUL, each byte a Latin-1 character; `ok` tells whether
// the file could be read.
QString readStyleSheet(const QString &path, bool *ok = nullptr);

// The root object of a theme file, made on `engine` without parent and context; null with
// `error` filled when it does not compile.
QObject *createObject(QQmlEngine *engine, const QString &path, QString *error = nullptr);

// `base` with the theme's colours: window text, text and button text from `foreground`,
// `foreground2`; window, base, button from `background`, `background2`, `control`; midlight,
// light, dark and shadow from the control shades. Active and inactive groups get the colours
// as they are; the disabled group gets the same surfaces, and text roles from
// `foregroundDisabled` when the theme has it, so disabled entries stay recognisable.
// Roles not named keep what `base` holds (the highlight colours among them).
QPalette palette(const QPalette &base, const QObject *theme);

// The window's selection colours: a light blue highlight with the normal text colour on it
// while the window is active, the midlight shade while it is not.
QPalette withSelectionColours(QPalette palette);

struct FontSizes
{
    int small = -1;    // -1: not derived, the theme file's value stands
    int medium = -1;
    int large = -1;
};
// The small, medium and large sizes around `pointSize` in a family's smooth sizes: two steps
// below, one and two steps above, each only when the list holds it, and only when the
// normal size is found at an index of 1 or more.
FontSizes fontSizes(int pointSize, const QList<int> &smoothSizes);

// 144 / logical dots per inch (96 dpi gives 1.5).
double scaleFactor(double logicalDpi);

} // namespace theme
