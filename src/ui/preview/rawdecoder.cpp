#include "ui/preview/rawdecoder.h"

#include "app/base/log.h"
#include "ui/preview/imagelimits.h"

#include <QBuffer>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QImageReader>
#include <QLocale>

#include <libraw/libraw_types.h>
#include <libraw/libraw_version.h>

#include <atomic>
#include <cmath>
#include <dlfcn.h>

namespace {

// The layout of libraw_data_t changes between minor versions; the headers this is built
// against must describe the library that is loaded.
constexpr int kLayoutVersion = (LIBRAW_MAJOR_VERSION << 8) | LIBRAW_MINOR_VERSION;
static_assert(sizeof(((libraw_imgother_t *)nullptr)->timestamp) == sizeof(time_t),
              "the timestamp is read as the platform's time_t");

struct LibRawApi
{
    void *handle = nullptr;
    int (*versionNumber)() = nullptr;
    libraw_data_t *(*init)(unsigned int) = nullptr;
    int (*openFile)(libraw_data_t *, const char *) = nullptr;
    void (*close)(libraw_data_t *) = nullptr;
    int (*unpackThumb)(libraw_data_t *) = nullptr;
    int (*unpack)(libraw_data_t *) = nullptr;
    int (*dcrawProcess)(libraw_data_t *) = nullptr;
    libraw_processed_image_t *(*makeMemThumb)(libraw_data_t *, int *) = nullptr;
    libraw_processed_image_t *(*makeMemImage)(libraw_data_t *, int *) = nullptr;
    void (*clearMem)(libraw_processed_image_t *) = nullptr;
    int version = 0;
};

LibRawApi g_api;
std::atomic<bool> g_available{false};

template <typename Fn>
bool resolve(void *handle, const char *name, Fn &slot)
{
    slot = reinterpret_cast<Fn>(dlsym(handle, name));
    if (!slot)
        logPrintf(LogNfo1, "libraw entry point %s missing", name);
    return slot != nullptr;
}

struct ImageBlockFree
{
    void operator()(libraw_processed_image_t *block) const
    {
        if (block)
            g_api.clearMem(block);
    }
};

// A bitmap block is copied only when its header is sane and its data covers every pixel.
QImage imageFromBitmap(const libraw_processed_image_t *block)
{
    const QSize size(block->width, block->height);
    if (!PreviewLimits::fitsBudget(size, QImage::Format_RGB32) || block->colors < 1 || block->colors > 4
        || (block->bits != 8 && block->bits != 16))
        return QImage();
    const qint64 bytesPerSample = block->bits / 8;
    const qint64 stride = qint64(block->colors) * bytesPerSample;
    if (qint64(block->data_size) < stride * size.width() * size.height())
        return QImage();
    QImage image(size, QImage::Format_RGB32);
    if (image.isNull())
        return image;
    const unsigned char *source = block->data;
    // Only the first byte of each sample: the high byte of 16-bit little-endian samples
    // would be the second; LibRaw's default output is 8 bits.
    const int sampleStep = int(bytesPerSample);
    for (int y = 0; y < size.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < size.width(); ++x, source += stride) {
            if (block->colors == 3)
                line[x] = qRgb(source[0], source[sampleStep], source[2 * sampleStep]);
            else
                line[x] = qRgb(source[0], source[0], source[0]);
        }
    }
    return image;
}

QImage imageFromJpegBlock(const libraw_processed_image_t *block, ExifMap *exif)
{
    if (block->data_size == 0 || qint64(block->data_size) > PreviewLimits::kMaxFileBytes)
        return QImage();
    readExifFromData(block->data, block->data_size, exif);
    QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(block->data),
                                               int(block->data_size));
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    if (!PreviewLimits::fitsBudget(reader))
        return QImage();
    return reader.read();
}

QString generalNumber(double value)
{
    return QString::number(value, 'g', 6);
}

RawFacts factsOf(const libraw_data_t *data)
{
    RawFacts facts;
    facts.make = QString::fromLocal8Bit(data->idata.make, int(qstrnlen(data->idata.make, sizeof(data->idata.make))));
    facts.model = QString::fromLocal8Bit(data->idata.model, int(qstrnlen(data->idata.model, sizeof(data->idata.model))));
    facts.lens = QString::fromLocal8Bit(data->lens.Lens, int(qstrnlen(data->lens.Lens, sizeof(data->lens.Lens))));
    facts.makernotesLens = QString::fromLocal8Bit(
        data->lens.makernotes.Lens, int(qstrnlen(data->lens.makernotes.Lens, sizeof(data->lens.makernotes.Lens))));
    facts.minFocal = data->lens.makernotes.MinFocal;
    facts.maxFocal = data->lens.makernotes.MaxFocal;
    facts.aperture = data->other.aperture;
    facts.focalLength = data->other.focal_len;
    facts.iso = data->other.iso_speed;
    facts.shutter = data->other.shutter;
    facts.timestamp = static_cast<qint64>(data->other.timestamp);
    facts.flip = data->sizes.flip;
    return facts;
}

} // namespace

bool isRawPath(const QString &path)
{
    static const char *const kRaw[] = {".ARW", ".CR2", ".NEF", ".NRW", ".RAW", ".RW2", ".DNG"};
    for (const char *ext : kRaw) {
        if (path.endsWith(QLatin1String(ext), Qt::CaseInsensitive))
            return true;
    }
    return false;
}

bool loadLibRaw(const char *library)
{
    unloadLibRaw();
    void *handle = dlopen(library, RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char *error = dlerror();
        logPrintf(LogNfo1, "failed to load libraw: %s", error ? error : "");
        return false;
    }
    LibRawApi api;
    api.handle = handle;
    bool ok = resolve(handle, "libraw_versionNumber", api.versionNumber);
    ok = resolve(handle, "libraw_init", api.init) && ok;
    ok = resolve(handle, "libraw_open_file", api.openFile) && ok;
    ok = resolve(handle, "libraw_close", api.close) && ok;
    ok = resolve(handle, "libraw_unpack_thumb", api.unpackThumb) && ok;
    ok = resolve(handle, "libraw_unpack", api.unpack) && ok;
    ok = resolve(handle, "libraw_dcraw_process", api.dcrawProcess) && ok;
    ok = resolve(handle, "libraw_dcraw_make_mem_thumb", api.makeMemThumb) && ok;
    ok = resolve(handle, "libraw_dcraw_make_mem_image", api.makeMemImage) && ok;
    ok = resolve(handle, "libraw_dcraw_clear_mem", api.clearMem) && ok;
    if (ok) {
        api.version = api.versionNumber();
        logPrintf(LogNfo1, "libraw version: %d", api.version);
        if ((api.version >> 8) != kLayoutVersion) {
            logPrintf(LogNfo1, "libraw version %d does not match the layout %d", api.version,
                      kLayoutVersion);
            ok = false;
        }
    }
    if (!ok) {
        dlclose(handle);
        return false;
    }
    g_api = api;
    g_available.store(true);
    return true;
}

void unloadLibRaw()
{
    g_available.store(false);
    if (g_api.handle)
        dlclose(g_api.handle);
    g_api = LibRawApi();
}

void disableLibRaw()
{
    g_available.store(false);
}

bool isLibRawAvailable()
{
    return g_available.load();
}

int libRawVersion()
{
    return g_available.load() ? g_api.version : 0;
}

void writeRawFacts(const RawFacts &facts, ExifMap *exif)
{
    if (!facts.make.isEmpty())
        exif->insert(QStringLiteral("Make"), facts.make);
    if (!facts.model.isEmpty())
        exif->insert(QStringLiteral("Model"), facts.model);
    if (!facts.lens.isEmpty())
        exif->insert(QStringLiteral("Lens"), facts.lens);
    else if (!facts.makernotesLens.isEmpty())
        exif->insert(QStringLiteral("Lens"), facts.makernotesLens);
    if (facts.minFocal > 0)
        exif->insert(QStringLiteral("MinFocal"), generalNumber(facts.minFocal));
    if (facts.maxFocal > 0)
        exif->insert(QStringLiteral("MaxFocal"), generalNumber(facts.maxFocal));
    const float threshold = 0.05f;
    if (facts.aperture > 0) {
        const bool tenth = facts.aperture - std::floor(facts.aperture) > threshold;
        exif->insert(QStringLiteral("FNumber"),
                     QString::asprintf(tenth ? "\xF0\x9D\x91\x93/%0.1f" : "\xF0\x9D\x91\x93/%0.0f",
                                       facts.aperture));
    }
    if (facts.focalLength > 0) {
        const bool tenth = facts.focalLength - std::floor(facts.focalLength) > threshold;
        exif->insert(QStringLiteral("FocalLength"),
                     tenth ? QString::asprintf("%0.1f mm", facts.focalLength)
                           : QString::asprintf("%d mm", int(facts.focalLength)));
    }
    if (facts.iso > 0)
        exif->insert(QStringLiteral("ISO"), generalNumber(facts.iso));
    if (facts.shutter > 0 && std::isfinite(facts.shutter)) {
        exif->insert(QStringLiteral("ExposureTime"),
                     facts.shutter < 1 ? QStringLiteral("1/%1").arg(qint64(1 / facts.shutter))
                                       : QString::asprintf("%0.1f sec", facts.shutter));
    }
    if (facts.timestamp > 0) {
        const QDateTime when = QDateTime::fromSecsSinceEpoch(facts.timestamp, Qt::LocalTime);
        exif->insert(QStringLiteral("Date"), when.date().toString(exifDateFormat()));
        exif->insert(QStringLiteral("Time"), QLocale().toString(when.time(), QLocale::ShortFormat));
    }
    switch (facts.flip) {
    case 0: exif->insert(QStringLiteral("Rotation"), QStringLiteral("0")); break;
    case 3: exif->insert(QStringLiteral("Rotation"), QStringLiteral("-180")); break;
    case 6: exif->insert(QStringLiteral("Rotation"), QStringLiteral("90")); break;
    case 5: exif->insert(QStringLiteral("Rotation"), QStringLiteral("-90")); break;
    default: break;
    }
}

QImage loadRawImage(const QString &path, ExifMap *exif)
{
    if (!g_available.load())
        return QImage();
    QElapsedTimer timer;
    timer.start();
    libraw_data_t *data = g_api.init(0);
    if (!data)
        return QImage();
    struct Closer
    {
        libraw_data_t *data;
        ~Closer() { g_api.close(data); }
    } closer{data};

    const int openStatus = g_api.openFile(data, QFile::encodeName(path).constData());
    if (openStatus != 0) {
        logPrintf(LogNfo1, "libraw open file failed status: %d", openStatus);
        return QImage();
    }

    QImage image;
    int thumbStatus = g_api.unpackThumb(data);
    if (thumbStatus == 0) {
        logPrintf(LogNfo2, "unpacked thumbnail, %dx%d (orig: %dx%d), format: %d, dt: %d",
                  int(data->thumbnail.twidth), int(data->thumbnail.theight),
                  int(data->sizes.raw_width), int(data->sizes.raw_height),
                  int(data->thumbnail.tformat), int(timer.elapsed()));
        int error = 0;
        std::unique_ptr<libraw_processed_image_t, ImageBlockFree> block(g_api.makeMemThumb(data, &error));
        if (block && error == 0 && block->type == LIBRAW_IMAGE_JPEG)
            image = imageFromJpegBlock(block.get(), exif);
        else if (block && error == 0)
            logPrintf(LogNfo2, "thumbnail block of type %d is no JPEG", int(block->type));
    }
    if (image.isNull()) {
        logPrintf(LogNfo1, "failed to unpack thumbnail, ret: %d", thumbStatus);
        // LibRaw develops into four 16-bit samples per pixel; a size beyond the budget is
        // refused before anything is unpacked.
        const QSize sensor(data->sizes.raw_width, data->sizes.raw_height);
        if (!PreviewLimits::fitsBudget(sensor, QImage::Format_RGBA64)) {
            logPrintf(LogNfo1, "raw picture of %dx%d is beyond the memory budget", sensor.width(),
                      sensor.height());
            return QImage();
        }
        const int unpackStatus = g_api.unpack(data);
        if (unpackStatus != 0) {
            logPrintf(LogNfo1, "failed to unpack raw, status: %d", unpackStatus);
            return QImage();
        }
        const int processStatus = g_api.dcrawProcess(data);
        if (processStatus != 0) {
            logPrintf(LogNfo1, "failed to dcraw_process raw, status: %d", processStatus);
            return QImage();
        }
        int error = 0;
        std::unique_ptr<libraw_processed_image_t, ImageBlockFree> block(g_api.makeMemImage(data, &error));
        logPrintf(LogNfo2, "dcraw make mem image, dt: %d", int(timer.elapsed()));
        if (block && error == 0 && block->type == LIBRAW_IMAGE_BITMAP)
            image = imageFromBitmap(block.get());
    }
    writeRawFacts(factsOf(data), exif);
    return image;
}
