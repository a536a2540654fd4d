#include "ui/theme.h"

#include "app/base/log.h"

#include <QColor>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QUrl>
#include <QVariant>

namespace theme {

QString directory()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/themes");
}

QString objectFile(const QString &directory, const QString &name)
{
    return QStringLiteral("%1/%2Theme.qml").arg(directory, name);
}

QString styleSheetFile(const QString &directory, const QString &name)
{
    return QStringLiteral("%1/%2ThemeStyle.qss").arg(directory, name);
}

QString builtinFile(const QString &fileName)
{
    const QString path = QStringLiteral(":/themes/") + QFileInfo(fileName).fileName();
    return QFileInfo::exists(path) ? path : QString();
}

QString readStyleSheet(const QString &path, bool *ok)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (ok)
            *ok = false;
        return QString();
    }
    QByteArray data = file.readAll();
    const int nul = data.indexOf('\0');
    if (nul >= 0)
        data.truncate(nul);
    if (ok)
        *ok = true;
    return QString::fromLatin1(data);
}

QObject *createObject(QQmlEngine *engine, const QString &path, QString *error)
{
    const QUrl url = path.startsWith(QLatin1Char(':')) ? QUrl(QStringLiteral("qrc") + path)
                                                       : QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath());
    QQmlComponent component(engine, url);
    QObject *object = component.create();
    if (!object && error)
        *error = component.errorString();
    return object;
}

QPalette palette(const QPalette &base, const QObject *theme)
{
    static const struct
    {
        QPalette::ColorRole role;
        const char *property;
        bool text;
    } mapping[] = {
        {QPalette::WindowText, "foreground", true},
        {QPalette::Text, "foreground2", true},
        {QPalette::ButtonText, "foreground", true},
        {QPalette::Window, "background", false},
        {QPalette::Base, "background2", false},
        {QPalette::Button, "control", false},
        {QPalette::Midlight, "controlHighlight", false},
        {QPalette::Light, "controlLightHighlight", false},
        {QPalette::Dark, "controlShadow", false},
        {QPalette::Shadow, "controlDarkShadow", false},
    };
    QPalette p = base;
    if (!theme)
        return p;
    const QVariant disabledText = theme->property("foregroundDisabled");
    for (const auto &m : mapping) {
        const QColor colour(theme->property(m.property).toString());
        for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
            QColor c = colour;
            if (group == QPalette::Disabled && m.text && disabledText.isValid())
                c = QColor(disabledText.toString());
            p.setBrush(group, m.role, QBrush(c, Qt::SolidPattern));
        }
    }
    return p;
}

QPalette withSelectionColours(QPalette p)
{
    p.setColor(QPalette::Active, QPalette::Highlight, QColor(QStringLiteral("#cce8ff")));
    p.setColor(QPalette::Active, QPalette::HighlightedText, p.color(QPalette::Active, QPalette::Text));
    p.setColor(QPalette::Inactive, QPalette::Highlight, p.color(QPalette::Inactive, QPalette::Midlight));
    p.setColor(QPalette::Inactive, QPalette::HighlightedText, p.color(QPalette::Inactive, QPalette::Text));
    return p;
}

FontSizes fontSizes(int pointSize, const QList<int> &smoothSizes)
{
    FontSizes sizes;
    const int i = smoothSizes.indexOf(pointSize);
    if (i < 1)
        return sizes;
    if (i >= 2)
        sizes.small = smoothSizes.at(i - 2);
    if (i + 1 < smoothSizes.size())
        sizes.medium = smoothSizes.at(i + 1);
    if (i + 2 < smoothSizes.size())
        sizes.large = smoothSizes.at(i + 2);
    return sizes;
}

double scaleFactor(double logicalDpi)
{
    return logicalDpi > 0 ? 144.0 / logicalDpi : 1.5;
}

} // namespace theme
