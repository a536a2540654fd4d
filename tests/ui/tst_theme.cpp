// The theme's parts that need no window: style sheet reading, palette, font sizes, the
// first-start layout, and the "theme" image provider's ids, sizes and recolouring.

#include "ui/desktopicons.h"
#include "ui/theme.h"
#include "ui/themeimageprovider.h"
#include "ui/uiresources.h"
#include "ui/windowlayout.h"

#include <QApplication>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// A theme object with the given body, made on `engine`.
QObject *makeTheme(QQmlEngine *engine, const QByteArray &body)
{
    QQmlComponent component(engine);
    component.setData("import QtQuick 2.15\nQtObject {\n" + body + "\n}", QUrl());
    QObject *object = component.create();
    if (!object)
        qWarning() << component.errorString();
    return object;
}

QRgb centre(const QPixmap &pixmap)
{
    const QImage image = pixmap.toImage().convertToFormat(QImage::Format_ARGB32);
    return image.pixel(image.width() / 2, image.height() / 2);
}

// Whether the centre shows the grey placeholder square. A translucent colour comes back from
// a premultiplied pixmap rounded the way the processor's and Qt's conversion paths round it:
// within one step per channel, not exactly.
bool showsPlaceholder(const QPixmap &pixmap)
{
    const QRgb seen = centre(pixmap);
    const QRgb placeholder = 0xAAA08080;
    return qAbs(qAlpha(seen) - qAlpha(placeholder)) <= 1 && qAbs(qRed(seen) - qRed(placeholder)) <= 1
           && qAbs(qGreen(seen) - qGreen(placeholder)) <= 1 && qAbs(qBlue(seen) - qBlue(placeholder)) <= 1;
}

// Whether any pixel of the picture has (about) this colour.
bool hasColour(const QPixmap &pixmap, QColor colour)
{
    const QImage image = pixmap.toImage().convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = QColor::fromRgba(image.pixel(x, y));
            if (c.alpha() > 200 && qAbs(c.red() - colour.red()) < 30 && qAbs(c.green() - colour.green()) < 30
                && qAbs(c.blue() - colour.blue()) < 30)
                return true;
        }
    return false;
}

} // namespace

class TestTheme : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { initUiResources(); }

    void styleSheetAndPalette()
    {
        QTemporaryDir dir;
        QFile file(dir.filePath("t.qss"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray("QMenu { color: red; }\0garbage", 29));
        file.close();
        bool ok = false;
        QCOMPARE(theme::readStyleSheet(file.fileName(), &ok), QStringLiteral("QMenu { color: red; }"));
        QVERIFY(ok);
        theme::readStyleSheet(dir.filePath("missing.qss"), &ok);
        QVERIFY(!ok);

        QQmlEngine engine;
        std::unique_ptr<QObject> t(makeTheme(&engine, "property color foreground: \"#101010\"\n"
                                                       "property color background: \"#202020\"\n"
                                                       "property color foregroundDisabled: \"#909090\""));
        QPalette base;
        base.setColor(QPalette::Highlight, QColor("#cce8ff"));
        const QPalette p = theme::palette(base, t.get());
        for (QPalette::ColorGroup g : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
            QCOMPARE(p.color(g, QPalette::Window), QColor("#202020"));
            QCOMPARE(p.color(g, QPalette::Highlight), QColor("#cce8ff"));
        }
        QCOMPARE(p.color(QPalette::Active, QPalette::WindowText), QColor("#101010"));
        QCOMPARE(p.color(QPalette::Disabled, QPalette::WindowText), QColor("#909090"));
    }

    void fontSizesAndScale()
    {
        const QList<int> sizes{6, 7, 8, 9, 10, 11, 12, 14};
        theme::FontSizes s = theme::fontSizes(9, sizes);
        QCOMPARE(s.small, 7);
        QCOMPARE(s.medium, 10);
        QCOMPARE(s.large, 11);
        s = theme::fontSizes(7, sizes);   // index 1: no small
        QCOMPARE(s.small, -1);
        QCOMPARE(s.medium, 8);
        s = theme::fontSizes(14, sizes);  // last: only small
        QCOMPARE(s.small, 11);
        QCOMPARE(s.medium, -1);
        QCOMPARE(s.large, -1);
        s = theme::fontSizes(6, sizes);   // index 0
        QCOMPARE(s.small + s.medium + s.large, -3);
        s = theme::fontSizes(13, sizes);  // not a smooth size
        QCOMPARE(s.medium, -1);
        QCOMPARE(theme::scaleFactor(96), 1.5);
        QCOMPARE(theme::scaleFactor(144), 1.0);
    }

    // Every node style the node view names exists in the shipped theme, each with its name.
    void nodeStylesOfTheShippedTheme()
    {
        QQmlEngine engine;
        QString error;
        std::unique_ptr<QObject> t(theme::createObject(&engine, theme::builtinFile("LightTheme.qml"), &error));
        QVERIFY2(t, qPrintable(error));
        auto *node = t->property("node").value<QObject *>();
        QVERIFY(node);
        QStringList names{"special0", "drive0", "sector0"};
        for (int i = 0; i <= 16; ++i)
            names << QStringLiteral("style%1").arg(i);
        for (const QString &name : names) {
            auto *style = node->property(name.toLatin1().constData()).value<QObject *>();
            QVERIFY2(style && !style->property("name").toString().isEmpty(), qPrintable(name));
        }
    }

    void firstStartLayout()
    {
        QCOMPARE(windowlayout::initialGeometry(QSize(1920, 1040)), QRect(288, 156, 1344, 728));
        QCOMPARE(windowlayout::initialSplit(1344), (QList<int>{604, 740}));
        QCOMPARE(windowlayout::initialGeometry(QSize(2560, 1440)), QRect(560, 315, 1440, 810));
        QCOMPARE(windowlayout::initialSplit(1440), (QList<int>{648, 792}));
        QVERIFY(windowlayout::initialSplit(400).isEmpty());
    }

    void providerSizesAndPlaceholders()
    {
        QQmlEngine engine;
        ThemeImageProvider provider(nullptr);
        QCOMPARE(ThemeImageProvider::instance(), &provider);
        QSize size;
        QPixmap p = provider.requestPixmap("icon/copy.svg", &size, QSize(-1, -1));
        QCOMPARE(size, QSize(32, 32));
        QCOMPARE(p.size(), QSize(32, 32));
        QCOMPARE(provider.requestPixmap("icon/copy.svg", nullptr, QSize(32, 32)).toImage(), p.toImage());
        const QList<QPair<int, int>> tiers{{16, 16}, {23, 16}, {24, 24}, {31, 24}, {32, 32},
                                          {39, 32}, {40, 40}, {47, 40}, {48, 48}, {200, 48}};
        for (const auto &t : tiers) {
            p = provider.requestPixmap("icon/copy.svg", &size, QSize(t.first, t.first));
            QCOMPARE(p.width(), t.second);
            QCOMPARE(size, QSize(t.second, t.second));
        }
        size = QSize(7, 7);
        QVERIFY(provider.requestPixmap("icon/copy.svg", &size, QSize(15, 15)).isNull());
        QCOMPARE(size, QSize(7, 7));

        for (const char *id : {"icon/nosuch.svg", "foo/bar", "icon", ""}) {
            p = provider.requestPixmap(id, nullptr, QSize(32, 32));
            QVERIFY2(showsPlaceholder(p), qPrintable(QStringLiteral("%1: %2").arg(id).arg(centre(p), 8, 16)));
        }
        // Only the second segment names the resource; empty segments do not count.
        QVERIFY(!showsPlaceholder(provider.requestPixmap("icon//copy.svg", nullptr, QSize(32, 32))));
        QVERIFY(!showsPlaceholder(provider.requestPixmap("icon/folder.svg/x", nullptr, QSize(32, 32))));
        QCOMPARE(ThemeImageProvider::tierSide(0), 32);
    }

    void providerRecolours()
    {
        QQmlEngine engine;
        std::unique_ptr<QObject> t(makeTheme(&engine,
            "property QtObject icon: QtObject {\n"
            "  property var a: [\"#316666\", \"#111111\"]\n"
            "  property var b: [\"#111111\", \"#ff0000\"]\n"
            "  property var three: [\"#d2dddd\", \"#00ff00\", \"#0000ff\"]\n"
            "  property string plain: \"#d2dddd\"\n"
            "}"));
        ThemeImageProvider provider(t.get());
        const QPixmap folder = provider.requestPixmap("icon/folder.svg", nullptr, QSize(48, 48));
        QVERIFY(hasColour(folder, QColor("#ff0000")));     // pairs apply in order, one on the other
        QVERIFY(!hasColour(folder, QColor("#00ff00")));    // three entries: no pair
        QVERIFY(hasColour(folder, QColor("#d2dddd")));     // the plain string changed nothing
    }

    void fileTypesAndApplications()
    {
        ThemeImageProvider provider(nullptr);
        QSize size;
        for (const char *id : {"file/archive.tar.gz", "file/.profile", "file/name.", "file", "mime/text/plain",
                               "mime/application/x-directory"}) {
            const QPixmap p = provider.requestPixmap(id, &size, QSize(24, 24));
            QVERIFY2(!p.isNull() && p.width() == 24, id);
            QVERIFY2(!showsPlaceholder(p), id);
        }
        QCOMPARE(desktopicons::fallbackIconResource("application/x-directory"), QStringLiteral("folder.svg"));
        QCOMPARE(desktopicons::fallbackIconResource(desktopicons::mimeTypeForFileName("a.tar.gz")),
                 QStringLiteral("file-archive.svg"));
        QCOMPARE(desktopicons::fallbackIconResource(desktopicons::mimeTypeForFileName("x.png")),
                 QStringLiteral("file-image.svg"));
        QCOMPARE(desktopicons::fallbackIconResource("application/x-unknown-thing"), QStringLiteral("file.svg"));

        // Applications: exactly the requested size, a path or a theme name, never a crash.
        const QPixmap app = provider.requestPixmap("app/%2Fno%2Fsuch%2Ficon.png", &size, QSize(37, 37));
        QCOMPARE(size, QSize(37, 37));
        QVERIFY(app.isNull() || app.width() <= 37);
        provider.loadApplicationIcon("app/");
        provider.loadApplicationIcon("app/../../etc/passwd");
    }
};

QTEST_MAIN(TestTheme)
#include "tst_theme.moc"
