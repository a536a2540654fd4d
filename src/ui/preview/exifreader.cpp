#include "ui/preview/exifreader.h"

#include "app/base/log.h"

#include <QDateTime>
#include <QLocale>

#include <libexif/exif-data.h>
#include <libexif/exif-tag.h>
#include <libexif/exif-utils.h>

#include <memory>

namespace {

struct ExifDataUnref
{
    void operator()(ExifData *data) const { exif_data_unref(data); }
};
using ExifDataPtr = std::unique_ptr<ExifData, ExifDataUnref>;

// "𝑓" (mathematical italic small f) written as UTF-8 into the formats.
const char kApertureFormatWhole[] = "\xF0\x9D\x91\x93/%0.0f";
const char kApertureFormatTenth[] = "\xF0\x9D\x91\x93/%0.1f";

// The entry's value as the tag's format promises it: a file may store any format under any
// tag, and the raw accessors read past a short buffer otherwise.
bool holds(const ExifEntry *entry, ExifFormat format, unsigned int bytes)
{
    return entry->format == format && entry->components >= 1 && entry->data
           && entry->size >= bytes;
}

QString rotationOf(ExifShort orientation)
{
    switch (orientation) {
    case 0: return QStringLiteral("0");
    case 3: return QStringLiteral("-180");
    case 6: return QStringLiteral("90");
    case 8: return QStringLiteral("-90");
    default: return QString();
    }
}

void readExifTag(ExifData *data, ExifIfd ifd, ExifTag tag, ExifMap *exif)
{
    ExifEntry *entry = exif_content_get_entry(data->ifd[ifd], tag);
    if (!entry)
        return;
    const ExifByteOrder order = exif_data_get_byte_order(data);
    char buffer[1024] = {};
    exif_entry_get_value(entry, buffer, sizeof(buffer) - 1);
    QByteArray display(buffer);
    if (display.isEmpty())
        return;
    while (display.endsWith(' '))
        display.chop(1);
    const QString text = QString::fromUtf8(display);

    switch (tag) {
    case EXIF_TAG_ORIENTATION: {
        if (!holds(entry, EXIF_FORMAT_SHORT, 2))
            return;
        const QString rotation = rotationOf(exif_get_short(entry->data, order));
        if (!rotation.isEmpty())
            exif->insert(QStringLiteral("Rotation"), rotation);
        return;
    }
    case EXIF_TAG_ISO_SPEED_RATINGS:
        exif->insert(QStringLiteral("ISO"), text);
        return;
    case EXIF_TAG_FNUMBER:
    case EXIF_TAG_FOCAL_LENGTH: {
        if (!holds(entry, EXIF_FORMAT_RATIONAL, 8))
            return;
        const ExifRational value = exif_get_rational(entry->data, order);
        // A zero denominator is no number; such an entry shows nothing.
        if (value.denominator == 0)
            return;
        const bool whole = value.numerator % value.denominator == 0;
        const double number = double(value.numerator) / double(value.denominator);
        if (tag == EXIF_TAG_FNUMBER)
            exif->insert(QStringLiteral("FNumber"),
                         QString::asprintf(whole ? kApertureFormatWhole : kApertureFormatTenth, number));
        else
            exif->insert(QStringLiteral("FocalLength"),
                         QString::asprintf(whole ? "%0.0f mm" : "%0.1f mm", number));
        return;
    }
    case EXIF_TAG_EXPOSURE_TIME:
        exif->insert(QStringLiteral("ExposureTime"), text);
        return;
    case EXIF_TAG_DATE_TIME_ORIGINAL: {
        if (!holds(entry, EXIF_FORMAT_ASCII, 19))
            return;
        const QString raw = QString::fromLatin1(reinterpret_cast<const char *>(entry->data), 19);
        const QDateTime when = QDateTime::fromString(raw, QStringLiteral("yyyy:MM:dd HH:mm:ss"));
        if (!when.isValid())
            return;
        exif->insert(QStringLiteral("Date"), when.date().toString(exifDateFormat()));
        exif->insert(QStringLiteral("Time"), QLocale().toString(when.time(), QLocale::ShortFormat));
        return;
    }
    default: {
        const char *name = exif_tag_get_name_in_ifd(tag, ifd);
        if (name)
            exif->insert(QString::fromLatin1(name), text);
        return;
    }
    }
}

void readAll(ExifData *data, ExifMap *exif)
{
    exif_data_set_option(data, EXIF_DATA_OPTION_IGNORE_UNKNOWN_TAGS);
    readExifTag(data, EXIF_IFD_0, EXIF_TAG_MAKE, exif);
    readExifTag(data, EXIF_IFD_0, EXIF_TAG_MODEL, exif);
    readExifTag(data, EXIF_IFD_0, EXIF_TAG_ORIENTATION, exif);
    readExifTag(data, EXIF_IFD_EXIF, EXIF_TAG_EXPOSURE_TIME, exif);
    readExifTag(data, EXIF_IFD_EXIF, EXIF_TAG_FNUMBER, exif);
    readExifTag(data, EXIF_IFD_EXIF, EXIF_TAG_DATE_TIME_ORIGINAL, exif);
    readExifTag(data, EXIF_IFD_EXIF, EXIF_TAG_ISO_SPEED_RATINGS, exif);
    readExifTag(data, EXIF_IFD_EXIF, EXIF_TAG_SHUTTER_SPEED_VALUE, exif);
    readExifTag(data, EXIF_IFD_EXIF, EXIF_TAG_APERTURE_VALUE, exif);
    readExifTag(data, EXIF_IFD_EXIF, EXIF_TAG_METERING_MODE, exif);
    readExifTag(data, EXIF_IFD_EXIF, EXIF_TAG_FOCAL_LENGTH, exif);
}

} // namespace

QString exifDateFormat()
{
    QString format = QLocale().dateFormat(QLocale::ShortFormat);
    if (!format.contains(QLatin1String("yyyy")))
        format.replace(QLatin1String("yy"), QLatin1String("yyyy"));
    return format;
}

void readExifFromFile(const char *fileName, ExifMap *exif)
{
    if (!fileName || !exif)
        return;
    ExifDataPtr data(exif_data_new_from_file(fileName));
    if (!data) {
        logPrintf(LogNfo1, "File not readable or no EXIF data in file %s", fileName);
        return;
    }
    readAll(data.get(), exif);
}

void readExifFromData(const unsigned char *bytes, unsigned int size, ExifMap *exif)
{
    if (!bytes || size == 0 || !exif)
        return;
    ExifDataPtr data(exif_data_new_from_data(bytes, size));
    if (!data) {
        logPrintf(LogNfo1, "File not readable or no EXIF data in file");
        return;
    }
    logPrintf(LogNfo2, "extract JPG EXIF data");
    readAll(data.get(), exif);
}
