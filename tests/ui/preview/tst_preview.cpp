// The preview window and its image provider driven for real (offscreen): awkward file names
// through image URLs, responses the engine drops before their load ends, drawings that name
// their file, the local computer recognised by its null uuid, the window fitted on the screen
// it opens on, photo facts shown and Space closing it.

#include "db/dto.h"
#include "testutil_images.h"
#include "ui/preview/asyncimage.h"
#include "ui/preview/preview.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QQmlEngine>
#include <QQuickItem>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QTranslator>
#include <QtTest>

namespace {

// What the engine hands a provider for a source URL.
QString engineId(const QString &url)
{
    return QUrl(url).toString(QUrl::RemoveScheme | QUrl::RemoveAuthority).mid(1);
}

} // namespace

class TestPreview : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString file(const QString &name) const { return m_dir.filePath(name); }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        qRegisterMetaType<PreviewImageResult>();
    }

    void awkwardNamesSurviveTheUrl()
    {
        const QString path = file(QStringLiteral("a b#c%20d?e%.png"));
        QVERIFY(writeFile(path, encodeImage(uprightMarker(), "png")));
        const QString url = previewImageUrl(nullUuidString(), path);
        const PreviewImageId id = parsePreviewImageId(engineId(url));
        QCOMPARE(id.peer, nullUuidString());
        QCOMPARE(id.path, path);
        QCOMPARE(parsePreviewImageId(engineId(url + QStringLiteral("?scale=250"))).scale, 250.0);

        AsyncImageResponse response(engineId(url), QSize(32, 32));
        QSignalSpy finished(&response, &QQuickImageResponse::finished);
        QVERIFY(finished.wait(5000));
        QCOMPARE(response.image().size(), QSize(32, 24));
        QVERIFY(response.errorString().isEmpty());

        AsyncImageResponse missing(engineId(previewImageUrl(nullUuidString(), file(QStringLiteral("gone.png")))),
                                   QSize(32, 32));
        QSignalSpy missingDone(&missing, &QQuickImageResponse::finished);
        QVERIFY(missingDone.wait(5000));
        QCOMPARE(missing.errorString(), QStringLiteral("failed to load content"));
    }

    void responsesDroppedWhileLoading()
    {
        const QString path = file(QStringLiteral("big.jpg"));
        QVERIFY(writeFile(path, encodeImage(QImage(3000, 2000, QImage::Format_RGB32), "jpeg")));
        const QString id = engineId(previewImageUrl(nullUuidString(), path));
        QThreadPool pool;
        for (int i = 0; i < 20; ++i) {
            auto *response = new AsyncImageResponse(id, QSize(1000, 1000), &pool);
            if (i % 2)
                response->cancel();
            delete response; // the engine may do this at any moment
        }
        QVERIFY(pool.waitForDone(30000));
        QCoreApplication::processEvents();
    }

    void drawingResultNamesItsFile()
    {
        const QString path = file(QStringLiteral("d.svg"));
        QVERIFY(writeFile(path, "<svg xmlns='http://www.w3.org/2000/svg' width='40' height='20'/>"));
        AsyncImageResponse response(engineId(previewImageUrl(nullUuidString(), path) + QStringLiteral("?scale=200")),
                                    QSize(-1, -1));
        QSignalSpy result(&response, &AsyncImageResponse::imageResult);
        QVERIFY(result.wait(5000));
        const PreviewImageResult delivered = result.first().first().value<PreviewImageResult>();
        QCOMPARE(delivered.path, path);
        QCOMPARE(delivered.images.front().size(), QSize(80, 40));
    }

    void onlyTheLocalComputerIsPreviewed()
    {
        QVERIFY(Preview::canPreview(nullUuidString(), QStringLiteral("D:/x/photo.JPG")));
        QVERIFY(Preview::canPreview(nullUuidString(), QStringLiteral("/home/a.pdf.d/notes.txt")));
        QVERIFY(!Preview::canPreview(nullUuidString(), QStringLiteral("/home/doc.ps")));
        QVERIFY(!Preview::canPreview(QStringLiteral("{0000abcd-1111-2222-3333-444455556666}"),
                                     QStringLiteral("/home/photo.jpg")));
        QVERIFY(!Preview::canPreview(nullUuidString(), QString()));
    }

    void windowFitsOnTheScreenItOpensOn()
    {
        const QRect first(0, 0, 1920, 1040);
        QCOMPARE(Preview::fittedGeometry(QSize(3000, 2000), QRect(900, 0, 600, 500), first),
                 QRect(216, 0, 1488, 924));
        QCOMPARE(Preview::fittedGeometry(QSize(200, 100), QRect(10, 10, 600, 500), first),
                 QRect(10, 10, 600, 500));
        // A second monitor right of the first: the window stays on it.
        const QRect second(1920, 0, 1920, 1040);
        const QRect fitted = Preview::fittedGeometry(QSize(3000, 2000), QRect(2500, 100, 600, 500), second);
        QVERIFY(second.contains(fitted));
        QCOMPARE(fitted.size(), QSize(1488, 924));
    }

    // German tools are wider: beside them a small drawing's whole name still shows, the
    // window as wide as it takes.
    void wholeNameBesideGermanTools()
    {
        QTranslator german;
        QVERIFY(german.load(QStringLiteral(":/i18n/nusk_de.qm")));
        QCoreApplication::installTranslator(&german);
        const QString path = file(QStringLiteral("Gartenhaus Seitenansicht Entwurf.svg"));
        QVERIFY(writeFile(path, "<svg xmlns='http://www.w3.org/2000/svg' width='40' height='20'/>"));
        QQmlEngine engine;
        Preview preview(&engine, nullptr);
        QVERIFY(preview.showFile(nullUuidString(), path));
        QTRY_VERIFY_WITH_TIMEOUT(preview.isVisible(), 10000);
        auto *name = preview.rootObject()->findChild<QQuickItem *>(QStringLiteral("previewName"));
        QVERIFY(name);
        QCOMPARE(name->property("text").toString(), QStringLiteral("Gartenhaus Seitenansicht Entwurf.svg"));
        QTRY_VERIFY_WITH_TIMEOUT(name->width() > 0 && !name->property("truncated").toBool(), 5000);
        QCoreApplication::removeTranslator(&german);
    }

    void windowShowsPhotoWithFacts()
    {
        ExifFields fields;
        fields.orientation = 6;
        const QString photo = file(QStringLiteral("photo #1.jpg"));
        QVERIFY(writeFile(photo, jpegWithExif(storedForOrientation(uprightMarker(), 6), fields)));

        QQmlEngine engine;
        Preview preview(&engine, nullptr);
        QCOMPARE(Preview::instance(), &preview);
        QVERIFY(preview.rootObject());
        QSignalSpy closed(&preview, &Preview::requestClose);

        QVERIFY(!preview.showFile(nullUuidString(), file(QStringLiteral("nothing.jpg"))));
        QVERIFY(preview.showFile(nullUuidString(), photo));
        QTRY_VERIFY_WITH_TIMEOUT(preview.isVisible(), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(!preview.currentImage().isNull(), 10000);
        QCOMPARE(preview.currentImage().size(), QSize(64, 48));
        auto *strip = preview.rootObject()->findChild<QQuickItem *>(QStringLiteral("previewExif"));
        QVERIFY(strip && strip->isVisible());
        QCOMPARE(strip->property("make").toString(), QStringLiteral("Camera"));
        QCOMPARE(strip->property("iso").toInt(), 200);
        QVERIFY(preview.width() >= 548);

        // A result of a file shown earlier is ignored.
        PreviewImageResult stale;
        stale.path = file(QStringLiteral("other.jpg"));
        stale.exif.insert(QStringLiteral("Make"), QStringLiteral("Other"));
        preview.onImageResult(stale);
        QCOMPARE(strip->property("make").toString(), QStringLiteral("Camera"));

        preview.copyImageToClipboard();
        QCOMPARE(QGuiApplication::clipboard()->image().size(), QSize(64, 48));

        QTest::keyClick(&preview, Qt::Key_Space);
        QVERIFY(!preview.isVisible());
        QCOMPARE(closed.count(), 1);
        QCOMPARE(preview.size(), QSize(600, 500));
        QVERIFY(preview.currentImage().isNull());
    }
};

QTEST_MAIN(TestPreview)
#include "tst_preview.moc"
