// The decoders on real sample files the test makes: EXIF facts in both byte orders and with
// hostile values, LibRaw's binding (the real library up to opening a file, stand-ins for
// missing entry points and short picture data), SVG and a compressed bomb, and Ghostscript
// with a PDF, an EPS, a hostile document and a program that hangs.

#include "filer/deferredlaunch.h"
#include "testutil_drawings.h"
#include "testutil_images.h"
#include "ui/preview/exifreader.h"
#include "ui/preview/ghostscript.h"
#include "ui/preview/imagelimits.h"
#include "ui/preview/imagepipeline.h"
#include "ui/preview/rawdecoder.h"
#include "ui/preview/svgrenderer.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QLocale>
#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtConcurrent/QtConcurrentRun>
#include <QtTest>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kF = QString::fromUtf8("\xF0\x9D\x91\x93");

ExifMap exifOf(const ExifFields &fields)
{
    const QByteArray jpeg = jpegWithExif(QImage(8, 8, QImage::Format_RGB32), fields);
    ExifMap map;
    readExifFromData(reinterpret_cast<const unsigned char *>(jpeg.constData()), unsigned(jpeg.size()), &map);
    return map;
}

QByteArray svg(int w, int h)
{
    return QStringLiteral("<svg xmlns='http://www.w3.org/2000/svg' width='%1' height='%2'>"
                          "<rect width='%1' height='%2' fill='#1a73e8'/></svg>").arg(w).arg(h).toUtf8();
}

// Every file below `root` with its contents, for "nothing changed" checks.
QMap<QString, QByteArray> snapshot(const QString &root)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile file(path);
        files.insert(path, file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<folder>"));
    }
    return files;
}

// PostScript that tries to overwrite, create, delete and rename files in each folder, then
// draws its page all the same.
QByteArray trespassingDocument(const QStringList &folders)
{
    QByteArray ps = "%!PS\n";
    for (const QString &folder : folders) {
        const QByteArray f = folder.toUtf8();
        ps += "{ (" + f + "/victim.txt) (w) file dup (overwritten) writestring closefile } stopped pop\n"
              "{ (" + f + "/planted.txt) (w) file dup (planted) writestring closefile } stopped pop\n"
              "{ (" + f + "/doomed.txt) deletefile } stopped pop\n"
              "{ (" + f + "/moved.txt) (" + f + "/moved-away.txt) renamefile } stopped pop\n";
    }
    ps += "0 0 1 setrgbcolor 72 72 300 300 rectfill showpage\n";
    return ps;
}

QString fakeRaw(const char *variant)
{
    return QStringLiteral(FAKERAW_DIR "/libfakeraw_%1.so").arg(QLatin1String(variant));
}

} // namespace

class TestDecoders : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString file(const QString &name) const { return m_dir.filePath(name); }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    }

    void exifFactsInBothByteOrders()
    {
        for (bool big : {false, true}) {
            ExifFields fields;
            fields.bigEndian = big;
            fields.orientation = 6;
            fields.make = "Camera   ";
            const ExifMap map = exifOf(fields);
            QCOMPARE(map.value(QStringLiteral("Rotation")), QStringLiteral("90"));
            QCOMPARE(map.value(QStringLiteral("Make")), QStringLiteral("Camera"));
            QCOMPARE(map.value(QStringLiteral("FNumber")), kF + QStringLiteral("/2.8"));
            QCOMPARE(map.value(QStringLiteral("FocalLength")), QStringLiteral("50 mm"));
            QCOMPARE(map.value(QStringLiteral("ISO")), QStringLiteral("200"));
            QCOMPARE(map.value(QStringLiteral("Date")), QStringLiteral("14.07.2019"));
            QCOMPARE(map.value(QStringLiteral("Time")), QStringLiteral("16:05"));
        }
        ExifFields fields;
        fields.orientation = 1;
        fields.fNumber[0] = 4; fields.fNumber[1] = 1;
        fields.focalLength[0] = 185; fields.focalLength[1] = 10;
        fields.dateTime = "0000:00:00 00:00:00";
        const ExifMap map = exifOf(fields);
        QVERIFY(!map.contains(QStringLiteral("Rotation")));
        QCOMPARE(map.value(QStringLiteral("FNumber")), kF + QStringLiteral("/4"));
        QCOMPARE(map.value(QStringLiteral("FocalLength")), QStringLiteral("18.5 mm"));
        QVERIFY(!map.contains(QStringLiteral("Date")));
    }

    void exifHostileValuesAreSkipped()
    {
        ExifFields fields;
        fields.fNumber[1] = 0;
        fields.focalLength[0] = 0; fields.focalLength[1] = 0;
        fields.exposure[1] = 0;
        fields.orientation = 6;
        fields.orientationAsAscii = true;
        const ExifMap map = exifOf(fields);
        QVERIFY(!map.contains(QStringLiteral("FNumber")));
        QVERIFY(!map.contains(QStringLiteral("FocalLength")));
        QVERIFY(!map.contains(QStringLiteral("Rotation")));
        QCOMPARE(map.value(QStringLiteral("Model")), QStringLiteral("Model X"));

        // Cut-off EXIF blocks at every length: no crash, no read past the data.
        const QByteArray payload = exifPayload(ExifFields());
        for (int cut = 0; cut < payload.size(); cut += 7) {
            ExifMap partial;
            readExifFromData(reinterpret_cast<const unsigned char *>(payload.constData()), unsigned(cut), &partial);
        }
        ExifMap untouched{{QStringLiteral("Make"), QStringLiteral("kept")}};
        readExifFromFile(QFile::encodeName(file(QStringLiteral("missing.jpg"))).constData(), &untouched);
        QCOMPARE(untouched.value(QStringLiteral("Make")), QStringLiteral("kept"));
    }

    void rawFactsAsTexts()
    {
        RawFacts facts;
        facts.aperture = 5.04;
        facts.focalLength = 18.5;
        facts.shutter = 2.5;
        facts.iso = 100;
        facts.flip = 5;
        facts.timestamp = 4102444800LL; // beyond 32-bit seconds
        ExifMap map;
        writeRawFacts(facts, &map);
        QCOMPARE(map.value(QStringLiteral("FNumber")), kF + QStringLiteral("/5"));
        QCOMPARE(map.value(QStringLiteral("FocalLength")), QStringLiteral("18.5 mm"));
        QCOMPARE(map.value(QStringLiteral("ExposureTime")), QStringLiteral("2.5 sec"));
        QCOMPARE(map.value(QStringLiteral("ISO")), QStringLiteral("100"));
        QCOMPARE(map.value(QStringLiteral("Rotation")), QStringLiteral("-90"));
        QVERIFY(map.value(QStringLiteral("Date")).endsWith(QStringLiteral("2100"))
                || map.value(QStringLiteral("Date")).endsWith(QStringLiteral("2099")));
        facts = RawFacts();
        facts.shutter = 0.5;
        facts.focalLength = 35.02;
        map.clear();
        writeRawFacts(facts, &map);
        QCOMPARE(map.value(QStringLiteral("ExposureTime")), QStringLiteral("1/2"));
        QCOMPARE(map.value(QStringLiteral("FocalLength")), QStringLiteral("35 mm"));
        QVERIFY(!map.contains(QStringLiteral("ISO")));
    }

    // No RAW sample can be made here: the real library is checked up to opening a file.
    void libRawBindingAllOrNothing()
    {
        const QString notRaw = file(QStringLiteral("fake.NEF"));
        QVERIFY(writeFile(notRaw, QByteArray(4096, '\x42')));
        QVERIFY(loadLibRaw());
        QCOMPARE(libRawVersion() >> 8, 20);
        ExifMap map{{QStringLiteral("Make"), QStringLiteral("kept")}};
        QVERIFY(loadRawImage(notRaw, &map).isNull());
        QCOMPARE(map.size(), 1);

        QVERIFY(!loadLibRaw(qPrintable(fakeRaw("partial"))));
        QVERIFY(!isLibRawAvailable());
        QVERIFY(loadRawImage(notRaw, &map).isNull());
        QVERIFY(!loadLibRaw("libraw-does-not-exist.so"));

        QVERIFY(loadLibRaw(qPrintable(fakeRaw("shortdata"))));
        map.clear();
        QVERIFY(loadRawImage(notRaw, &map).isNull());
        QCOMPARE(map.value(QStringLiteral("Make")), QStringLiteral("FakeCam"));

        QVERIFY(loadLibRaw(qPrintable(fakeRaw("good"))));
        map.clear();
        const QImage image = loadRawImage(notRaw, &map);
        QCOMPARE(image.size(), QSize(4, 2));
        QCOMPARE(image.pixel(3, 1), qRgb(255, 0, 0));
        QCOMPARE(map.value(QStringLiteral("Rotation")), QStringLiteral("90"));
        QCOMPARE(map.value(QStringLiteral("FNumber")), kF + QStringLiteral("/2.8"));
        unloadLibRaw();
        QVERIFY(loadRawImage(notRaw, &map).isNull());
    }

    void svgDrawingsAndBombs()
    {
        QVERIFY(writeFile(file(QStringLiteral("wide.svg")), svg(200, 100)));
        QVERIFY(writeFile(file(QStringLiteral("tall.svgz")), gzip(svg(100, 200))));
        PreviewImageRequest request;
        request.path = file(QStringLiteral("wide.svg"));
        request.bounds = {{20, 20}, {256, 256}};
        PreviewImageResult result;
        QVERIFY(renderSvgImage(request, &result));
        QCOMPARE(QSize(result.width, result.height), QSize(200, 100));
        QCOMPARE(result.images[0].size(), QSize(20, 10));
        QCOMPARE(result.images[1].size(), QSize(256, 128));
        request.path = file(QStringLiteral("tall.svgz"));
        request.bounds = {{256, 256}};
        result = PreviewImageResult();
        QVERIFY(renderSvgImage(request, &result));
        QCOMPARE(result.images[0].size(), QSize(128, 256));

        QCOMPARE(renderSvgAtScale(file(QStringLiteral("wide.svg")), 250).size(), QSize(500, 250));
        QCOMPARE(renderSvgAtScale(file(QStringLiteral("wide.svg")), 80).size(), QSize(200, 100));
        const QImage capped = renderSvgAtScale(file(QStringLiteral("wide.svg")), 1e12);
        QVERIFY(!capped.isNull() && PreviewLimits::fitsBudget(capped.size(), capped.format()));
        QVERIFY(writeFile(file(QStringLiteral("huge.svg")), svg(1000000, 1000000)));
        QVERIFY(PreviewLimits::fitsBudget(renderSvgAtScale(file(QStringLiteral("huge.svg")), 0).size(), QImage::Format_ARGB32));

        // 64 MiB of blanks inside a comment, a few dozen KiB compressed.
        QByteArray bomb = svg(10, 10);
        bomb.insert(bomb.indexOf("<rect"), "<!--" + QByteArray(64 * 1024 * 1024, ' ') + "-->");
        QVERIFY(writeFile(file(QStringLiteral("bomb.svgz")), gzip(bomb)));
        QVERIFY(writeFile(file(QStringLiteral("cut.svgz")), gzip(svg(10, 10)).left(20)));
        QVERIFY(writeFile(file(QStringLiteral("text.svg")), "not a drawing"));
        for (const char *name : {"bomb.svgz", "cut.svgz", "text.svg", "missing.svg"}) {
            request.path = file(QLatin1String(name));
            result = PreviewImageResult();
            QVERIFY2(!renderSvgImage(request, &result), name);
            QCOMPARE(result.width, -1);
            QVERIFY(result.images.empty());
        }
    }

    // Pictures a drawing names by file: a regular one is drawn, while a fifo or a pipe is left
    // out instead of holding the worker for ever, and the rest of the drawing still shows.
    void svgNamedPicturesNeverWait()
    {
        QImage red(8, 8, QImage::Format_RGB32);
        red.fill(Qt::red);
        QVERIFY(writeFile(file(QStringLiteral("red.png")), encodeImage(red, "png")));
        const QString fifo = file(QStringLiteral("fifo.png"));
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        // Standard input becomes a pipe nobody writes to, so that reading it would wait.
        int pipeFds[2];
        QCOMPARE(::pipe(pipeFds), 0);
        const int savedStdin = ::dup(0);
        QCOMPARE(::dup2(pipeFds[0], 0), 0);
        struct Unblock
        {
            QString fifo;
            int writer, savedStdin;
            ~Unblock()
            {
                // Lets a worker that waits anyway come back, so a failure ends the test.
                const int fd = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK);
                if (fd >= 0)
                    ::close(fd);
                ::close(writer);
                ::dup2(savedStdin, 0);
                ::close(savedStdin);
            }
        } unblock{fifo, pipeFds[1], savedStdin};
        ::close(pipeFds[0]);

        const struct { const char *name; QString href; bool drawn; } cases[] = {
            {"fifo.svg", QStringLiteral("fifo.png"), false},
            {"stdin.svg", QStringLiteral("/proc/self/fd/0"), false},
            {"relative.svg", QStringLiteral("red.png"), true},
        };
        for (const auto &c : cases) {
            const QString path = file(QLatin1String(c.name));
            QVERIFY(writeFile(path, "<svg xmlns='http://www.w3.org/2000/svg' xmlns:xlink='http://www.w3.org/1999/xlink'"
                                    " width='16' height='16'><rect width='16' height='16' fill='#0000ff'/>"
                                    "<image width='16' height='16' xlink:href='" + c.href.toUtf8() + "'/></svg>"));
            PreviewImageRequest request;
            request.path = path;
            request.bounds = {{16, 16}};
            QFuture<PreviewImageResult> preview = QtConcurrent::run(getPreviewImage, request, nullptr);
            QTRY_VERIFY2_WITH_TIMEOUT(preview.isFinished(), c.name, 30000);
            const PreviewImageResult result = preview.result();
            QCOMPARE(int(result.images.size()), 1);
            const QRgb centre = result.images.front().pixel(8, 8);
            QVERIFY2(c.drawn ? isReddish(centre) : isBluish(centre), c.name);
        }
    }

    // A drawing's picture names are resolved inside the drawing's own folder tree: never an
    // absolute name, and never one that leaves the tree by "..", by a link to a picture or
    // by a link to a folder. Another computer's drawing that names a picture of this
    // computer's does not show it.
    void svgNamedPicturesOnlyFromTheDrawingsFolderTree()
    {
        QImage red(8, 8, QImage::Format_RGB32);
        red.fill(Qt::red);
        QVERIFY(QDir().mkpath(file(QStringLiteral("outside"))) && QDir().mkpath(file(QStringLiteral("tree/sub"))));
        const QString outsidePicture = file(QStringLiteral("outside/red.png"));
        QVERIFY(writeFile(outsidePicture, encodeImage(red, "png")));
        QVERIFY(writeFile(file(QStringLiteral("tree/sub/red.png")), encodeImage(red, "png")));
        QVERIFY(QFile::link(QStringLiteral("../outside/red.png"), file(QStringLiteral("tree/link.png"))));
        QVERIFY(QFile::link(QStringLiteral("../outside"), file(QStringLiteral("tree/out"))));
        const auto drawing = [](const QString &href) {
            return "<svg xmlns='http://www.w3.org/2000/svg' xmlns:xlink='http://www.w3.org/1999/xlink' width='16' "
                   "height='16'><rect width='16' height='16' fill='#0000ff'/><image width='16' height='16' "
                   "xlink:href='" + href.toUtf8() + "'/></svg>";
        };
        const auto drawnRed = [](const PreviewImageResult &result) {
            return result.images.size() == 1 && isReddish(result.images.front().pixel(8, 8));
        };
        const struct { QString href; bool drawn; } cases[] = {
            {QStringLiteral("sub/red.png"), true},
            {QStringLiteral("./sub//red.png"), true},
            {outsidePicture, false},
            {file(QStringLiteral("tree/sub/red.png")), false},
            {QStringLiteral("../outside/red.png"), false},
            {QStringLiteral("sub/../../outside/red.png"), false},
            {QStringLiteral("link.png"), false},
            {QStringLiteral("out/red.png"), false},
        };
        QStringList wrong;
        for (const auto &c : cases) {
            QVERIFY(writeFile(file(QStringLiteral("tree/drawing.svg")), drawing(c.href)));
            PreviewImageRequest request;
            request.path = file(QStringLiteral("tree/drawing.svg"));
            request.bounds = {{16, 16}};
            const PreviewImageResult result = getPreviewImage(request, nullptr);
            QVERIFY2(result.images.size() == 1, qPrintable(c.href));
            if (drawnRed(result) != c.drawn)
                wrong.append(c.href);
        }
        QVERIFY2(wrong.isEmpty(), qPrintable(QStringLiteral("wrongly drawn or left out: ") + wrong.join(QStringLiteral(", "))));

        setPreviewRemoteFetch([&](const QString &, const QString &, qint64) { return drawing(outsidePicture); });
        PreviewImageRequest remote;
        remote.peerUuid = QStringLiteral("{0000abcd-0000-0000-0000-000000000001}");
        remote.path = QStringLiteral("/home/someone/drawing.svg");
        remote.bounds = {{16, 16}};
        const PreviewImageResult result = getPreviewImage(remote, nullptr);
        setPreviewRemoteFetch(nullptr);
        QCOMPARE(int(result.images.size()), 1);
        QVERIFY(!drawnRed(result));
    }

    // QtSvg reads every file a drawing names by path: the style sheet an instruction names,
    // and, for a drawing it is handed as a picture (one named ".png", one embedded in a
    // drawing), its own pictures too. None of them is read: a style sheet instruction is left
    // out, a drawing named as a picture is no picture, and a drawing whose picture is a
    // drawing is not drawn.
    void drawingsOpenNoFileThroughQtSvg()
    {
        const QString css = file(QStringLiteral("elsewhere.css"));
        QVERIFY(writeFile(css, "rect { fill: #ff0000; }"));
        const QByteArray styled = "<?xml version='1.0'?><?xml-stylesheet type=\"text/css\" href=\"" + css.toUtf8()
                                  + "\"?><svg xmlns='http://www.w3.org/2000/svg' width='16' height='16'>"
                                    "<rect width='16' height='16'/></svg>";
        const auto preview = [this](const QString &name) {
            PreviewImageRequest request;
            request.path = file(name);
            request.bounds = {{16, 16}};
            return getPreviewImage(request, nullptr);
        };
        QVERIFY(writeFile(file(QStringLiteral("styled.svg")), styled));
        PreviewImageResult result = preview(QStringLiteral("styled.svg"));
        QCOMPARE(int(result.images.size()), 1);
        QVERIFY(!isReddish(result.images.front().pixel(8, 8)));

        QVERIFY(writeFile(file(QStringLiteral("disguised.png")), styled));
        result = preview(QStringLiteral("disguised.png"));
        QVERIFY(result.images.empty() || !isReddish(result.images.front().pixel(8, 8)));

        const QByteArray inner = "<svg xmlns='http://www.w3.org/2000/svg' width='16' height='16'>"
                                 "<rect width='16' height='16' fill='#ff0000'/></svg>";
        QVERIFY(writeFile(file(QStringLiteral("nested.svg")),
                          "<svg xmlns='http://www.w3.org/2000/svg' xmlns:xlink='http://www.w3.org/1999/xlink' "
                          "width='16' height='16'><image width='16' height='16' xlink:href='data:;base64,"
                              + inner.toBase64() + "'/></svg>"));
        result = preview(QStringLiteral("nested.svg"));
        QVERIFY(result.images.empty() || !isReddish(result.images.front().pixel(8, 8)));
    }

    void ghostscriptDocuments()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("gs")).isEmpty())
            QSKIP("gs is not installed");
        setDocumentScreenDpi(96);
        const QString ps = file(QStringLiteral("two.ps"));
        QVERIFY(writeFile(ps, "%!PS\n/Helvetica findfont 40 scalefont setfont\n"
                              "72 700 moveto (Page one) show showpage\n72 700 moveto (Page two) show showpage\n"));
        const QString pdf = file(QStringLiteral("two pages.pdf"));
        QCOMPARE(QProcess::execute(QStringLiteral("gs"), {QStringLiteral("-q"), QStringLiteral("-dSAFER"),
                 QStringLiteral("-sDEVICE=pdfwrite"), QStringLiteral("-o"), pdf, ps}), 0);
        const std::vector<QImage> page = renderDocument(pdf, {{1024, 1024}});
        QCOMPARE(int(page.size()), 1);
        QVERIFY(page.front().width() > 500 && page.front().height() > 500);

        const QString eps = file(QStringLiteral("box.eps"));
        QVERIFY(writeFile(eps, "%!PS-Adobe-3.0 EPSF-3.0\n%%BoundingBox: 0 0 100 50\n"
                               "0 0 1 setrgbcolor 0 0 100 50 rectfill showpage\n"));
        const std::vector<QImage> small = renderDocument(eps, {{256, 256}});
        QCOMPARE(int(small.size()), 1);
        QVERIFY(qAbs(small.front().width() - 56) <= 2);
        const QStringList args = ghostscriptArguments(QStringLiteral("-x.eps"), {{256, 256}}, documentRenderDpi(),
                                                      QStringLiteral("/private/page.png"));
        QVERIFY(args.contains(QStringLiteral("-dSAFER")) && args.contains(QStringLiteral("-r40")));
        QVERIFY(args.contains(QStringLiteral("-dLastPage=1")));
        QVERIFY(args.last().startsWith(QLatin1Char('/')));
        QCOMPARE(args.at(args.indexOf(QStringLiteral("-o")) + 1), QStringLiteral("/private/page.png"));
        setDocumentScreenDpi(180);
        QVERIFY(ghostscriptArguments(eps, {{256, 256}}, documentRenderDpi(), QString()).contains(QStringLiteral("-r54")));
        setDocumentScreenDpi(96);
        QVERIFY(renderDocument(file(QStringLiteral("missing.pdf")), {{256, 256}}).empty());
    }

    // A document in a folder the user merely browses writes nowhere but its own page: not in
    // the user's temporary folder, not in the private copies of remote files opened there,
    // not next to itself; and the run leaves no folder behind.
    void hostileDocumentStaysInItsOwnFolder()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("gs")).isEmpty())
            QSKIP("gs is not installed");
        const QString userTemp = file(QStringLiteral("user-tmp"));
        const QString browsed = file(QStringLiteral("browsed"));
        QVERIFY(QDir().mkpath(userTemp) && QDir().mkpath(browsed));
        const QByteArray ownTemp = qgetenv("TMPDIR");
        qputenv("TMPDIR", QFile::encodeName(userTemp));
        DeferredLaunches launches;
        const QString launchRoot = launches.root();
        QVERIFY(launchRoot.startsWith(userTemp + QLatin1Char('/')));
        const QStringList folders{userTemp, launchRoot, browsed};
        for (const QString &folder : folders) {
            QVERIFY(writeFile(folder + QStringLiteral("/victim.txt"), "mine"));
            QVERIFY(writeFile(folder + QStringLiteral("/doomed.txt"), "keep me"));
            QVERIFY(writeFile(folder + QStringLiteral("/moved.txt"), "stay"));
        }
        const QString document = browsed + QStringLiteral("/flyer.ps");
        QVERIFY(writeFile(document, trespassingDocument(folders)));
        const QMap<QString, QByteArray> before = snapshot(file(QString()));

        const std::vector<QImage> page = renderDocument(document, {{256, 256}});
        const QMap<QString, QByteArray> after = snapshot(file(QString()));
        qputenv("TMPDIR", ownTemp);
        QCOMPARE(int(page.size()), 1);
        QVERIFY(page.front().width() > 20);
        QCOMPARE(after.keys(), before.keys());
        QCOMPARE(after, before);
    }

    // What Ghostscript finds in its environment: one fresh private folder for temporary files
    // and home, and none of the user's Ghostscript settings.
    void ghostscriptEnvironmentIsItsOwn()
    {
        const QString bin = file(QStringLiteral("envbin"));
        QVERIFY(QDir().mkpath(bin));
        const QString report = file(QStringLiteral("gs-env.txt"));
        QVERIFY(writeFile(bin + QStringLiteral("/gs"),
                          QStringLiteral("#!/bin/sh\n{ env; stat -c 'mode=%a' \"$TMPDIR\"; echo \"entries=$(ls -A \"$TMPDIR\" | wc -l)\"; } > '%1'\n"
                                         "exit 1\n").arg(report).toUtf8()));
        QFile(bin + QStringLiteral("/gs")).setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", bin.toUtf8() + ':' + path);
        qputenv("GS_OPTIONS", "-dNOSAFER");
        qputenv("GS_LIB", file(QString()).toUtf8());
        QVERIFY(renderDocument(file(QStringLiteral("box.eps")), {{256, 256}}).empty());
        qputenv("PATH", path);
        qunsetenv("GS_OPTIONS");
        qunsetenv("GS_LIB");

        QFile text(report);
        QVERIFY(text.open(QIODevice::ReadOnly));
        QMap<QString, QString> seen;
        for (const QString &line : QString::fromUtf8(text.readAll()).split(QLatin1Char('\n')))
            seen.insert(line.section(QLatin1Char('='), 0, 0), line.section(QLatin1Char('='), 1));
        const QString temp = seen.value(QStringLiteral("TMPDIR"));
        QVERIFY(!temp.isEmpty() && temp != QDir::tempPath());
        for (const char *name : {"TEMP", "TMP", "HOME"})
            QCOMPARE(seen.value(QLatin1String(name)), temp);
        QCOMPARE(seen.value(QStringLiteral("mode")), QStringLiteral("700"));
        QCOMPARE(seen.value(QStringLiteral("entries")), QStringLiteral("0"));
        QVERIFY(!seen.contains(QStringLiteral("GS_OPTIONS")) && !seen.contains(QStringLiteral("GS_LIB")));
        QVERIFY(!QFileInfo::exists(temp));
    }

    void hungGhostscriptIsKilled()
    {
        const QString bin = file(QStringLiteral("bin"));
        QVERIFY(QDir().mkpath(bin));
        const QString pidFile = file(QStringLiteral("gs.pid"));
        const QString script = bin + QStringLiteral("/gs");
        QVERIFY(writeFile(script, QStringLiteral("#!/bin/sh\necho $$ > '%1'\nexec sleep 60\n").arg(pidFile).toUtf8()));
        QFile(script).setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", bin.toUtf8() + ':' + path);
        // Whatever the checks find, the tests after this one run the real ghostscript again.
        const auto restore = qScopeGuard([path] {
            qputenv("PATH", path);
            setGhostscriptTimeoutMs(30000);
        });
        setGhostscriptTimeoutMs(500);
        QElapsedTimer timer;
        timer.start();
        const std::vector<QImage> none = renderDocument(file(QStringLiteral("box.eps")), {{256, 256}});
        const qint64 elapsed = timer.elapsed();

        // Documents that hang keep their own pool busy; pictures still load on the global one:
        // the picture comes while the document runs still wait for their release.
        const QString release = file(QStringLiteral("release"));
        QVERIFY(writeFile(script, QStringLiteral("#!/bin/sh\nwhile [ ! -e '%1' ]; do sleep 0.05; done\n")
                                      .arg(release).toUtf8()));
        setGhostscriptTimeoutMs(testutil::timeoutMs(60000));
        const auto releaseDocuments = qScopeGuard([&release] { writeFile(release, QByteArray()); });
        QVERIFY(writeFile(file(QStringLiteral("slow.pdf")), "%PDF-1.4\n"));
        QVERIFY(writeFile(file(QStringLiteral("quick.png")), encodeImage(uprightMarker(), "png")));
        // More than the global pool has threads, so they would fill it if they ran there.
        std::vector<QFuture<PreviewImageResult>> documents;
        for (int i = 0; i <= QThreadPool::globalInstance()->maxThreadCount(); ++i) {
            PreviewImageRequest request;
            request.path = file(QStringLiteral("slow.pdf"));
            request.bounds = {{256, 256}};
            documents.push_back(getPreviewImageAsync(request, nullptr));
        }
        PreviewImageRequest picture;
        picture.path = file(QStringLiteral("quick.png"));
        picture.bounds = {{48, 48}};
        const QFuture<PreviewImageResult> shown = getPreviewImageAsync(picture, nullptr);
        QTRY_VERIFY(shown.isFinished());
        QCOMPARE(shown.result().images.size(), size_t(1));
        QVERIFY(std::all_of(documents.begin(), documents.end(), [](const auto &d) { return d.isRunning(); }));
        QVERIFY(writeFile(release, QByteArray()));
        for (auto &document : documents)
            QVERIFY(document.result().images.empty());

        // An empty answer with exit code 0 is no picture either.
        QVERIFY(writeFile(script, "#!/bin/sh\nexit 0\n"));
        QVERIFY(renderDocument(file(QStringLiteral("box.eps")), {{256, 256}}).empty());

        QVERIFY(none.empty());
        QVERIFY2(elapsed < 5000, qPrintable(QString::number(elapsed)));
        QFile pid(pidFile);
        QVERIFY(pid.open(QIODevice::ReadOnly));
        QCOMPARE(::kill(pid.readAll().trimmed().toInt(), 0), -1);
    }
};

QTEST_MAIN(TestDecoders)
#include "tst_decoders.moc"
