#include "ui/preview/previewscreenscenes.h"

#include "app/base/screenscenes.h"
#include "db/dto.h"
#include "peers/ipeer.h"
#include "peers/peermodel.h"
#include "ui/preview/preview.h"
#include "vfs/models/vfsmodel.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QFileInfo>
#include <QListView>
#include <QStyledItemDelegate>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QProcess>
#include <QQmlEngine>
#include <QScreen>
#include <QStandardPaths>
#include <QTimer>

#include <libexif/exif-data.h>
#include <libexif/exif-utils.h>

#include <cstring>
#include <memory>

namespace {

struct DemoPhoto
{
    const char *name;
    int hue;
    int orientation;
};

const DemoPhoto kPhotos[] = {
    {"Alpine lake.jpg", 200, 1}, {"Harbour at dusk.jpg", 20, 1}, {"Meadow.jpg", 95, 1},
    {"Dunes.jpg", 35, 1},        {"Glacier.jpg", 185, 6},        {"Forest path.jpg", 120, 1},
    {"Lavender.jpg", 270, 1},    {"Night city.jpg", 230, 1},
};

QString demoFolder()
{
    return QDir(QDir::tempPath()).canonicalPath() + QStringLiteral("/nusk-demo/Photos");
}

// A landscape: sky, sun and two ranges of hills.
QImage landscape(int hue, QSize size)
{
    QImage image(size, QImage::Format_RGB32);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    QLinearGradient sky(0, 0, 0, size.height());
    sky.setColorAt(0, QColor::fromHsv(hue, 90, 250));
    sky.setColorAt(1, QColor::fromHsv((hue + 30) % 360, 160, 210));
    painter.fillRect(image.rect(), sky);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(255, 240, 200));
    painter.drawEllipse(QPointF(size.width() * 0.72, size.height() * 0.28), size.height() * 0.09, size.height() * 0.09);
    for (int layer = 0; layer < 2; ++layer) {
        QPainterPath hills;
        const double base = size.height() * (0.62 + 0.14 * layer);
        hills.moveTo(0, size.height() + 4);
        hills.lineTo(0, base);
        for (int i = 0; i <= 6; ++i) {
            const double x = size.width() * i / 6.0;
            hills.quadTo(x - size.width() / 12.0, base - size.height() * (0.08 + 0.05 * ((i + layer) % 3)), x, base);
        }
        hills.lineTo(size.width(), size.height() + 4);
        painter.setBrush(QColor::fromHsv((hue + 140 + 20 * layer) % 360, 120, 120 - 40 * layer));
        painter.drawPath(hills);
    }
    return image;
}

void setEntry(ExifData *data, ExifIfd ifd, ExifTag tag, ExifFormat format, const void *bytes, unsigned int size)
{
    ExifEntry *entry = exif_entry_new();
    auto *buffer = static_cast<unsigned char *>(malloc(size));
    memcpy(buffer, bytes, size);
    entry->tag = tag;
    entry->format = format;
    entry->components = format == EXIF_FORMAT_ASCII ? size : size / exif_format_get_size(format);
    entry->size = size;
    entry->data = buffer;
    exif_content_add_entry(data->ifd[ifd], entry);
    exif_entry_unref(entry);
}

// The photo facts a camera writes, as an APP1 block through libexif.
QByteArray cameraExif(int orientation, int index)
{
    ExifData *data = exif_data_new();
    exif_data_set_byte_order(data, EXIF_BYTE_ORDER_INTEL);
    const ExifByteOrder order = EXIF_BYTE_ORDER_INTEL;
    auto ascii = [&](ExifIfd ifd, ExifTag tag, const char *text) {
        setEntry(data, ifd, tag, EXIF_FORMAT_ASCII, text, unsigned(strlen(text) + 1));
    };
    auto rational = [&](ExifTag tag, quint32 n, quint32 d) {
        unsigned char b[8];
        exif_set_rational(b, order, ExifRational{n, d});
        setEntry(data, EXIF_IFD_EXIF, tag, EXIF_FORMAT_RATIONAL, b, 8);
    };
    auto shortValue = [&](ExifIfd ifd, ExifTag tag, quint16 v) {
        unsigned char b[2];
        exif_set_short(b, order, v);
        setEntry(data, ifd, tag, EXIF_FORMAT_SHORT, b, 2);
    };
    ascii(EXIF_IFD_0, EXIF_TAG_MAKE, "FUJIFILM");
    ascii(EXIF_IFD_0, EXIF_TAG_MODEL, "X-T30");
    shortValue(EXIF_IFD_0, EXIF_TAG_ORIENTATION, quint16(orientation));
    rational(EXIF_TAG_EXPOSURE_TIME, 1, 250 * (1 + index % 4));
    rational(EXIF_TAG_FNUMBER, 56 + 10 * (index % 3), 10);
    shortValue(EXIF_IFD_EXIF, EXIF_TAG_ISO_SPEED_RATINGS, quint16(200 * (1 + index % 2)));
    const QByteArray when = QStringLiteral("2024:06:%1 18:%2:07").arg(10 + index).arg(10 + 3 * index).toLatin1();
    ascii(EXIF_IFD_EXIF, EXIF_TAG_DATE_TIME_ORIGINAL, when.constData());
    rational(EXIF_TAG_FOCAL_LENGTH, 230, 10);
    unsigned char *bytes = nullptr;
    unsigned int size = 0;
    exif_data_save_data(data, &bytes, &size);
    exif_data_unref(data);
    QByteArray block(reinterpret_cast<const char *>(bytes), int(size));
    free(bytes);
    return block;
}

QString ensureDemoPhotos()
{
    const QString folder = demoFolder();
    QDir().mkpath(folder);
    int index = 0;
    for (const DemoPhoto &photo : kPhotos) {
        const QString path = folder + QLatin1Char('/') + QLatin1String(photo.name);
        if (!QFile::exists(path)) {
            QImage image = landscape(photo.hue, QSize(1600, 1067));
            if (photo.orientation == 6)
                image = image.transformed(QTransform().rotate(270));
            QByteArray jpeg;
            QBuffer buffer(&jpeg);
            buffer.open(QIODevice::WriteOnly);
            image.save(&buffer, "jpeg", 88);
            const QByteArray exif = cameraExif(photo.orientation, index);
            QByteArray app1("\xFF\xE1", 2);
            app1.append(char((exif.size() + 2) >> 8)).append(char(exif.size() + 2));
            QFile file(path);
            if (file.open(QIODevice::WriteOnly))
                file.write(jpeg.left(2) + app1 + exif + jpeg.mid(2));
        }
        ++index;
    }
    return folder;
}

QString ensureDemoPdf()
{
    const QString folder = QFileInfo(demoFolder()).path() + QStringLiteral("/Documents");
    QDir().mkpath(folder);
    const QString pdf = folder + QStringLiteral("/Trip notes.pdf");
    if (QFile::exists(pdf))
        return pdf;
    const QString ps = folder + QStringLiteral("/notes.ps");
    QFile source(ps);
    if (source.open(QIODevice::WriteOnly)) {
        source.write("%!PS\n/Helvetica-Bold findfont 30 scalefont setfont 72 720 moveto (Trip notes) show\n"
                     "/Helvetica findfont 14 scalefont setfont\n"
                     "72 680 moveto (Day 1  Arrival at the lake, evening light over the water.) show\n"
                     "72 656 moveto (Day 2  Up to the glacier; 1,200 m of climbing.) show\n"
                     "72 632 moveto (Day 3  Dunes and the harbour at dusk.) show\n"
                     "0.1 0.45 0.9 setrgbcolor 72 380 468 220 rectfill\n"
                     "1 1 1 setrgbcolor /Helvetica-Bold findfont 22 scalefont setfont 96 480 moveto (Route overview) show\n"
                     "showpage\n");
        source.close();
    }
    QProcess::execute(QStringLiteral("gs"), {QStringLiteral("-q"), QStringLiteral("-dSAFER"),
                                             QStringLiteral("-sDEVICE=pdfwrite"), QStringLiteral("-o"), pdf, ps});
    QFile::remove(ps);
    return pdf;
}

// Polls `done` every 100 ms, calls ready() once it holds or after `limitMs`.
void readyWhen(QObject *context, std::function<bool()> done, ScreenScenes::Ready ready, int limitMs = 10000)
{
    auto *timer = new QTimer(context);
    auto waited = std::make_shared<int>(0);
    QObject::connect(timer, &QTimer::timeout, context, [timer, waited, done, ready, limitMs] {
        *waited += 100;
        if (!done() && *waited < limitMs)
            return;
        timer->deleteLater();
        // One more round for the last paint.
        QTimer::singleShot(200, ready);
    });
    timer->start(100);
}

Preview *previewWindow()
{
    if (Preview *preview = Preview::instance())
        return preview;
    static QQmlEngine *engine = new QQmlEngine;
    return new Preview(engine, nullptr);
}

void showInPreview(const QString &path, QWidget *mainWindow, ScreenScenes::Ready ready)
{
    Preview *preview = previewWindow();
    if (mainWindow && mainWindow->windowHandle())
        preview->setHostWindow(mainWindow->windowHandle());
    preview->showFile(nullUuidString(), path);
    readyWhen(preview, [preview] { return preview->isVisible() && !preview->currentImage().isNull(); }, ready);
}

QPointer<QListView> g_iconView;

// A photo tile: the large thumbnail the model caches (its icon only holds the small ones)
// over the name.
class PhotoTileDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QSize sizeHint(const QStyleOptionViewItem &, const QModelIndex &) const override { return QSize(168, 172); }
    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        painter->setRenderHint(QPainter::SmoothPixmapTransform);
        const QRect cell = option.rect.adjusted(6, 6, -6, -6);
        if (option.state & QStyle::State_Selected) {
            painter->setPen(Qt::NoPen);
            painter->setBrush(option.palette.highlight().color().lighter(170));
            painter->drawRoundedRect(cell, 8, 8);
        }
        const QRect frame(cell.left() + 8, cell.top() + 8, cell.width() - 16, 118);
        const QImage image = index.data(VfsModel::PreviewRole).value<QImage>();
        if (!image.isNull()) {
            const QSize size = image.size().scaled(frame.size(), Qt::KeepAspectRatio);
            const QRect target(frame.center().x() - size.width() / 2 + 1, frame.bottom() - size.height(), size.width(), size.height());
            painter->setPen(QColor(0, 0, 0, 40));
            painter->setBrush(Qt::NoBrush);
            painter->drawRect(target.adjusted(-1, -1, 0, 0));
            painter->drawImage(target, image);
        } else {
            const QIcon icon = index.data(Qt::DecorationRole).value<QIcon>();
            icon.paint(painter, QRect(frame.center().x() - 32, frame.bottom() - 64, 64, 64));
        }
        painter->setPen(option.palette.color(QPalette::Text));
        const QRect text(cell.left() + 4, frame.bottom() + 8, cell.width() - 8, 20);
        painter->drawText(text, Qt::AlignHCenter | Qt::AlignTop,
                          option.fontMetrics.elidedText(index.data().toString(), Qt::ElideMiddle, text.width()));
        painter->restore();
    }
};

} // namespace

void addPreviewScreenScenes(ScreenScenes &scenes)
{
    scenes.add(QStringLiteral("preview-photos-icons"), [](QWidget *mainWindow, ScreenScenes::Ready ready) {
        const QString folder = ensureDemoPhotos();
        previewWindow(); // its pipeline gives the file models their thumbnails
        PeerModel *peers = PeerModel::instance();
        IPeer *local = peers ? peers->getPeerForUuid(nullUuidString()) : nullptr;
        auto *model = local ? qobject_cast<VfsModel *>(local->vfsFileSystemModel()) : nullptr;
        if (!model) {
            ready();
            return;
        }
        auto *view = new QListView;
        g_iconView = view;
        view->setAttribute(Qt::WA_DeleteOnClose);
        view->setWindowTitle(QStringLiteral("Photos"));
        view->setViewMode(QListView::IconMode);
        view->setItemDelegate(new PhotoTileDelegate(view));
        view->setGridSize(QSize(168, 172));
        view->setSpacing(0);
        view->setResizeMode(QListView::Adjust);
        view->setWordWrap(true);
        view->setUniformItemSizes(true);
        view->setModel(model);
        view->setFrameShape(QFrame::NoFrame);
        view->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        view->resize(720, 384);
        if (mainWindow)
            view->move(mainWindow->geometry().center() - QPoint(360, 192));
        QObject::connect(model, &VfsModel::pathResolved, view, [model, view, folder](int status, const QString &path) {
            if (status != 0 || path != model->normalizePath(folder, model->pathSeparator()))
                return;
            model->retainPath(path);
            const QModelIndex index = model->indexForPath(path);
            model->fetchMore(index);
            view->setRootIndex(index);
        });
        model->resolvePath(folder, false);
        view->show();
        readyWhen(view, [model, view] {
            const QModelIndex root = view->rootIndex();
            const int rows = model->rowCount(root);
            if (!root.isValid() || rows < int(std::size(kPhotos)))
                return false;
            for (int row = 0; row < rows; ++row) {
                const QModelIndex index = model->index(row, 0, root);
                if (static_cast<VfsEntry *>(index.internalPointer())->thumbnail.isNull()) {
                    index.data(Qt::DecorationRole); // asks for it
                    return false;
                }
            }
            view->scrollToTop();
            return true;
        }, ready, 15000);
    }, [](QWidget *) {
        if (g_iconView)
            g_iconView->close();
    });

    scenes.add(QStringLiteral("preview-photo-facts"), [](QWidget *mainWindow, ScreenScenes::Ready ready) {
        showInPreview(ensureDemoPhotos() + QStringLiteral("/Alpine lake.jpg"), mainWindow, ready);
    }, [](QWidget *) {
        if (Preview *preview = Preview::instance())
            preview->hide();
    });

    scenes.add(QStringLiteral("preview-pdf-page"), [](QWidget *mainWindow, ScreenScenes::Ready ready) {
        showInPreview(ensureDemoPdf(), mainWindow, ready);
    }, [](QWidget *) {
        if (Preview *preview = Preview::instance())
            preview->hide();
    });
}
