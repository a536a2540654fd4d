// Drawings with a document type, through the preview pipeline: whatever the type's internal
// subset holds and however it is spelt, QtSvg opens no file it names (a fifo, /dev/zero, a
// file of the user), entities and default values that would make the text grow past the cap
// cost neither memory nor time, entities that reach other entities however the reference is
// spelt are refused, and so are elements with very many attributes and elements nested very
// deep (compressed or not), all at once; drawings that declare their namespaces as entities,
// as drawing programs write them, still show.

#include "testutil_drawings.h"
#include "testutil_images.h"
#include "ui/preview/imagepipeline.h"
#include "ui/preview/svgtext.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtConcurrent/QtConcurrentRun>
#include <QtTest>

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Preview
{
    PreviewImageResult result;
    qint64 bytesRead = 0;
};

// The preview of `path` at 16 x 16, made on the pool as the program makes it; for another
// computer's drawing when `peerUuid` is set (the fetch hook hands over the bytes).
QFuture<Preview> previewOf(const QString &path, const QString &peerUuid = QString())
{
    PreviewImageRequest request;
    request.path = path;
    request.peerUuid = peerUuid;
    request.bounds = {{16, 16}};
    return QtConcurrent::run([request] {
        Preview preview;
        const qint64 before = bytesReadByThisThread();
        preview.result = getPreviewImage(request, nullptr);
        preview.bytesRead = bytesReadByThisThread() - before;
        return preview;
    });
}

// Opens of the watched files while it lives.
class OpenWatch
{
public:
    explicit OpenWatch(const QStringList &paths) : m_fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    {
        for (const QString &path : paths)
            ::inotify_add_watch(m_fd, QFile::encodeName(path).constData(), IN_OPEN | IN_ACCESS);
    }
    ~OpenWatch() { ::close(m_fd); }
    bool watching() const { return m_fd >= 0; }
    bool anyOpened()
    {
        alignas(inotify_event) char buffer[4096];
        bool opened = false;
        while (::read(m_fd, buffer, sizeof buffer) > 0)
            opened = true;
        return opened;
    }

private:
    int m_fd;
};

} // namespace

class TstSvgText : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString file(const QString &name) const { return m_dir.filePath(name); }

    // Whether the preview of the drawing came within the limit, with the picture `drawn` or
    // none, and read no more than a drawing's worth of bytes.
    void expectPreview(const QFuture<Preview> &future, bool drawn, const QString &what)
    {
        QTRY_VERIFY2_WITH_TIMEOUT(future.isFinished(), qPrintable(what + QStringLiteral(": still waiting")),
                                  testutil::timeoutMs(30000));
        const Preview preview = future.result();
        QVERIFY2(preview.bytesRead < 1024 * 1024,
                 qPrintable(what + QStringLiteral(": read %1 bytes").arg(preview.bytesRead)));
        if (drawn) {
            QVERIFY2(preview.result.images.size() == 1, qPrintable(what + QStringLiteral(": no picture")));
            const QRgb centre = preview.result.images.front().pixel(8, 8);
            QVERIFY2(qAlpha(centre) == 255 && !isReddish(centre),
                     qPrintable(what + QStringLiteral(": drawn in the style sheet's colour")));
        } else {
            QVERIFY2(preview.result.images.empty(), qPrintable(what + QStringLiteral(": drawn")));
        }
    }

    // The same for the drawing `text` written as the file `name`, which also took little memory.
    void expectCheapPreview(const QByteArray &text, const QString &name, bool drawn, const QString &what)
    {
        const QString path = file(name);
        QVERIFY(writeFile(path, text));
        resetPeakResident();
        const qint64 before = peakResidentMiB();
        expectPreview(previewOf(path), drawn, what);
        if (QTest::currentTestFailed())
            return;
        const qint64 grown = peakResidentMiB() - before;
        QVERIFY2(grown < 64, qPrintable(QStringLiteral("%1: %2 MiB").arg(what).arg(grown)));
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    // Every place a document type can name a file, in the spellings a reader may meet, each
    // naming a fifo nobody writes to, /dev/zero and a style sheet of the user's that would
    // colour the square red: none of them is opened, the preview does not wait, and the
    // drawings that are well-formed and need nothing of what is left out still show (black).
    // The same for another computer's drawing.
    void documentTypeOpensNothing()
    {
        const QString fifo = file(QStringLiteral("sheet.fifo"));
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        struct Unblock
        {
            QString fifo;
            ~Unblock()
            {
                // Lets a worker that waits anyway come back, so a failure ends the test.
                const int fd = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK);
                if (fd >= 0)
                    ::close(fd);
            }
        } unblock{fifo};
        const QString sheet = file(QStringLiteral("user.css"));
        QVERIFY(writeFile(sheet, "rect { fill: #ff0000; }"));

        const QByteArray pi = "<?xml-stylesheet type=\"text/css\" href=\"%1\"?>";
        const struct { const char *what; QByteArray prolog; QByteArray inside; QByteArray after; bool drawn; } cases[] = {
            {"instruction in the subset", "<!DOCTYPE svg [ " + pi + " ]>", {}, {}, true},
            {"odd spacing and a comment holding ]>",
             "<?xml version='1.0'?>\n<!DOCTYPE\tsvg\r\n[\n<!-- ]> -->\n<?xml-stylesheet\ttype=\"text/css\"\nhref=\"%1\"?>\n]\n>",
             {}, {}, true},
            {"literals holding ] and > before it",
             "<!DOCTYPE svg [ <!ENTITY q \"a]>b'\"> <!ATTLIST rect id CDATA ']>'> " + pi + " ]>", {}, {}, true},
            {"instruction after entities", "<!DOCTYPE svg [ <!ENTITY a 'x'> <!ENTITY b \"y\"> " + pi + " ]>", "&a;&b;", {},
             true},
            {"instruction after the document type", "<!DOCTYPE svg [ <!ENTITY a 'x'> ]>" + pi, {}, {}, true},
            {"external entity", "<!DOCTYPE svg [ <!ENTITY e SYSTEM \"%1\"> ]>", "<text>&e;</text>", {}, false},
            {"external parameter entity", "<!DOCTYPE svg [ <!ENTITY % p SYSTEM \"%1\"> %p; ]>", {}, {}, true},
            {"parameter entity holding the instruction", "<!DOCTYPE svg [ <!ENTITY % p '" + pi + "'> %p; ]>", {}, {}, true},
            {"entity holding the instruction", "<!DOCTYPE svg [ <!ENTITY e '" + pi + "'> ]>", "&e;", {}, false},
            {"external subset", "<!DOCTYPE svg SYSTEM \"%1\">", {}, {}, true},
            {"public external subset", "<!DOCTYPE svg PUBLIC \"-//W3C//DTD SVG 1.1//EN\" '%1' [ " + pi + " ]>", "&nbsp;",
             {}, true},
            {"document type in the body", {}, "<!DOCTYPE svg [ " + pi + " ]>", {}, false},
            {"document type after the drawing", {}, {}, "<!DOCTYPE svg [ " + pi + " ]>", false},
            {"lower case", "<!doctype svg [ " + pi + " ]>", {}, {}, false},
        };
        const QStringList targets{fifo, QStringLiteral("/dev/zero"), sheet};
        for (const auto &c : cases) {
            for (const QString &target : targets) {
                const QString what = QLatin1String(c.what) + QStringLiteral(" naming ") + target;
                const auto naming = [&target](QByteArray text) { return text.replace("%1", QFile::encodeName(target)); };
                const QString path = file(QStringLiteral("drawing.svg"));
                QVERIFY(writeFile(path, naming(squareDrawing(c.prolog, c.inside) + c.after)));
                OpenWatch watch({fifo, sheet});
                QVERIFY(watch.watching());
                expectPreview(previewOf(path), c.drawn, what);
                if (QTest::currentTestFailed())
                    return;
                QVERIFY2(!watch.anyOpened(), qPrintable(what + QStringLiteral(": opened")));
            }
        }
        const auto namingSheet = [&sheet](QByteArray text) { return text.replace("%1", QFile::encodeName(sheet)); };

        // Encoded as UTF-16, the way the reader would take it on its own.
        QTextCodec *utf16 = QTextCodec::codecForName("UTF-16LE");
        QVERIFY(writeFile(file(QStringLiteral("wide.svg")),
                          utf16->fromUnicode(QString::fromUtf8(namingSheet(squareDrawing("<!DOCTYPE svg [ " + pi + " ]>"))))));
        OpenWatch watch({sheet});
        expectPreview(previewOf(file(QStringLiteral("wide.svg"))), true, QStringLiteral("UTF-16"));
        QVERIFY(!watch.anyOpened());

        setPreviewRemoteFetch([&](const QString &, const QString &, qint64) {
            return namingSheet(squareDrawing("<!DOCTYPE svg [ " + pi + " ]>"));
        });
        expectPreview(previewOf(QStringLiteral("/home/someone/drawing.svg"),
                                QStringLiteral("{0000abcd-0000-0000-0000-000000000001}")),
                      true, QStringLiteral("another computer's drawing"));
        setPreviewRemoteFetch(nullptr);
        QVERIFY(!watch.anyOpened());
    }

    // A few kilobytes of entities or default values that would expand to tens of millions of
    // characters, in the subset, nested, or in a document type in the body: no picture, or
    // the drawing without them (default values are left out), at once and in little memory.
    void growingDocumentTypesCostNothing()
    {
        const QByteArray big = QByteArray(4000, 'x');
        const QByteArray references = QByteArray("&a;").repeated(15000);
        QByteArray nested = "<!ENTITY a0 'xxxxxxxxxx'>";
        for (int i = 1; i < 10; ++i)
            nested += "<!ENTITY a" + QByteArray::number(i) + " '" + ("&a" + QByteArray::number(i - 1) + ";").repeated(10)
                      + "'>";
        const struct { const char *what; QByteArray text; bool drawn; } cases[] = {
            {"entity in the text", squareDrawing("<!DOCTYPE svg [ <!ENTITY a '" + big + "'> ]>", "<text>" + references + "</text>"),
             false},
            {"entity in an attribute", squareDrawing("<!DOCTYPE svg [ <!ENTITY a '" + big + "'> ]>", "<g id='" + references + "'/>"),
             false},
            {"nested entities", squareDrawing("<!DOCTYPE svg [ " + nested + " ]>", "<text>&a9;</text>"), false},
            {"default value", squareDrawing("<!DOCTYPE svg [ <!ENTITY a '" + big + "'> <!ATTLIST rect class CDATA '" + references
                                      + "'> ]>"),
             true},
            {"default value without entities", squareDrawing("<!DOCTYPE svg [ <!ATTLIST rect class CDATA '" + big.repeated(4)
                                                       + "'> ]>", QByteArray("<rect/>").repeated(4000)),
             true},
            {"default value in a document type in the body",
             squareDrawing({}, "<!DOCTYPE svg [ <!ENTITY a '" + big + "'> <!ATTLIST rect class CDATA '" + references + "'> ]>"),
             false},
        };
        for (const auto &c : cases) {
            expectCheapPreview(c.text, QStringLiteral("growing.svg"), c.drawn, QLatin1String(c.what));
            if (QTest::currentTestFailed())
                return;
        }
    }

    // Entities that reach other entities through references their declarations make, the '&'
    // spelt every way a character reference can spell it, used in text, in an attribute and
    // in a default value of the document type: refused at once and in little memory. With an
    // external subset named, references to entities not read are that subset's: the drawing
    // shows without them, as cheaply.
    void nestedEntitiesCostNothing()
    {
        const QByteArray externalSubset = "<!DOCTYPE svg PUBLIC '-//W3C//DTD SVG 1.1//EN' "
                                          "'http://www.w3.org/Graphics/SVG/1.1/DTD/svg11.dtd' [";
        for (const QByteArray &amp : {QByteArray("&#38;"), QByteArray("&#x26;"), QByteArray("&#0038;"),
                                       QByteArray("&#x00026;")}) {
            const QByteArray inText = nestedEntityDrawing(3400, amp, ReferencePlace::Text);
            const QByteArray inAttribute = nestedEntityDrawing(3400, amp, ReferencePlace::Attribute);
            const struct { const char *what; QByteArray text; bool drawn; } cases[] = {
                {"in text", inText, false},
                {"in an attribute", inAttribute, false},
                {"in a default value", nestedEntityDrawing(3400, amp, ReferencePlace::DefaultValue), true},
                {"in text, external subset", QByteArray(inText).replace("<!DOCTYPE svg [", externalSubset), true},
                {"in an attribute, external subset", QByteArray(inAttribute).replace("<!DOCTYPE svg [", externalSubset),
                 true},
            };
            for (const auto &c : cases) {
                expectCheapPreview(c.text, QStringLiteral("nested.svg"), c.drawn,
                                   QLatin1String(c.what) + QStringLiteral(" through ") + QLatin1String(amp));
                if (QTest::currentTestFailed())
                    return;
            }
        }
    }

    // One element with very many attributes, plain and compressed: refused before an XML reader
    // compares them with each other; at the limit the drawing still shows.
    void manyAttributesAreRefused()
    {
        expectCheapPreview(manyAttributesDrawing(20000), QStringLiteral("many.svg"), false, QStringLiteral("20,000"));
        expectCheapPreview(gzip(manyAttributesDrawing(20000)), QStringLiteral("many.svgz"), false,
                           QStringLiteral("20,000 compressed"));
        expectCheapPreview(manyAttributesDrawing(kMaxSvgAttributes), QStringLiteral("many.svg"), true,
                           QStringLiteral("at the limit"));
    }

    // Nesting is refused as it is met: two million levels in a small compressed file cost
    // nothing; at the limit the drawing shows. The text entities write counts as the
    // drawing's: an entity used far more often than the drawing's own text allows is refused,
    // one used within it shows.
    void deepDrawingsAndEntityTextAreBounded()
    {
        const QByteArray styled = QByteArray("<rect width='16' height='16' style='&s;'/>").repeated(100);
        const struct { const char *what; QByteArray text; const char *name; bool drawn; } cases[] = {
            {"two million levels", gzip(deepDrawing(2000000)), "deep.svgz", false},
            // The square is one level inside the drawing.
            {"at the limit", deepDrawing(kMaxSvgDepth - 2), "deep.svg", true},
            {"entity used too often", oftenUsedEntityDrawing(3000, 100, ReferencePlace::Text), "often.svg", false},
            {"entity used too often in an attribute", oftenUsedEntityDrawing(3000, 100, ReferencePlace::Attribute),
             "often.svg", false},
            {"style entity on every element", squareDrawing("<!DOCTYPE svg [ <!ENTITY s 'fill:#000000;stroke:none'> ]>",
                                                            styled),
             "styled.svg", true},
        };
        for (const auto &c : cases) {
            expectCheapPreview(c.text, QLatin1String(c.name), c.drawn, QLatin1String(c.what));
            if (QTest::currentTestFailed())
                return;
        }
    }

    // As a drawing program writes them: namespaces, a style and a character as entities, a
    // public identifier, a Latin-1 title; the same in UTF-16 with and without a byte order mark.
    // They show, the style entity applied.
    void drawingsWithEntitiesStillShow()
    {
        const QString text = QString::fromUtf8(
            "<?xml version='1.0' encoding='%1'?>\n<!-- Generator: a drawing program -->\n"
            "<!DOCTYPE svg PUBLIC \"-//W3C//DTD SVG 1.1//EN\" \"http://www.w3.org/Graphics/SVG/1.1/DTD/svg11.dtd\" [\n"
            "\t<!ENTITY ns_svg \"http://www.w3.org/2000/svg\">\n\t<!ENTITY ns_xlink \"http://www.w3.org/1999/xlink\">\n"
            "\t<!ENTITY st0 \"fill:#ff0000;\">\n\t<!ENTITY nbsp \"&#160;\">\n]>\n"
            "<svg version='1.1' xmlns='&ns_svg;' xmlns:xlink='&ns_xlink;' width='16' height='16'>"
            "<title>Entwurf&nbsp;\xc3\xa4</title><rect width='16' height='16' style='&st0;'/></svg>");
        const struct { const char *encoding; QByteArray bytes; } cases[] = {
            {"ISO-8859-1", QTextCodec::codecForName("ISO-8859-1")->fromUnicode(text.arg(QStringLiteral("ISO-8859-1")))},
            {"UTF-16", QTextCodec::codecForName("UTF-16")->fromUnicode(text.arg(QStringLiteral("UTF-16")))},
            {"UTF-16LE", QTextCodec::codecForName("UTF-16LE")->fromUnicode(text.arg(QStringLiteral("UTF-16")))},
        };
        for (const auto &c : cases) {
            const QString path = file(QStringLiteral("program.svg"));
            QVERIFY(writeFile(path, c.bytes));
            const QFuture<Preview> preview = previewOf(path);
            QTRY_VERIFY(preview.isFinished());
            const PreviewImageResult result = preview.result().result;
            QVERIFY2(result.images.size() == 1, c.encoding);
            QVERIFY2(isReddish(result.images.front().pixel(8, 8)), c.encoding);
        }
    }
};

QTEST_MAIN(TstSvgText)
#include "tst_svgtext.moc"
