#pragma once

// Sample files for the preview tests, made by the tests themselves: JPEGs with EXIF blocks
// written byte by byte (either byte order, any orientation, hostile values), a PNG whose
// header claims 100,000 x 100,000 pixels, a tiny GIF, cut-off files.

#include <QByteArray>
#include <QColor>
#include <QImage>
#include <QString>

struct ExifFields
{
    bool bigEndian = false;
    int orientation = 0;          // 0: no Orientation tag
    QByteArray make = "Camera";
    QByteArray model = "Model X";
    quint32 fNumber[2] = {28, 10};
    quint32 focalLength[2] = {500, 10};
    quint32 exposure[2] = {1, 250};
    int iso = 200;
    QByteArray dateTime = "2019:07:14 16:05:09";
    bool orientationAsAscii = false; // a file lying about the Orientation's format
};

// The APP1 payload ("Exif\0\0" + TIFF data).
QByteArray exifPayload(const ExifFields &fields);
// A JPEG of the image with the EXIF block right after the start marker.
QByteArray jpegWithExif(const QImage &image, const ExifFields &fields);
QByteArray encodeImage(const QImage &image, const char *format, int quality = 90);

// 64 x 48 as it should look: red top-left quarter, blue elsewhere.
QImage uprightMarker();
// The stored pixels of that picture for an EXIF orientation (1..8), so that a viewer that
// applies the orientation shows uprightMarker().
QImage storedForOrientation(const QImage &upright, int orientation);
// Red dominates the pixel (JPEG blurs the edges, so tests look at block centres).
bool isReddish(QRgb pixel);
bool isBluish(QRgb pixel);

// A PNG of width x height (8-bit RGB unless said otherwise; colour types as in PNG) whose
// pixels are zero: with allRows a complete picture of a few hundred kilobytes, otherwise only
// its first megabyte of rows. Either way a decompression bomb when decoded.
QByteArray pngBomb(quint32 width, quint32 height, int bitDepth = 8, int colorType = 2, bool allRows = false);

// The highest resident memory of this process since the last reset, in MiB; and the reset.
qint64 peakResidentMiB();
void resetPeakResident();
// Bytes the calling thread has read through system calls so far (reading /dev/zero shows).
qint64 bytesReadByThisThread();
// A 1 x 1 GIF.
QByteArray tinyGif();

bool writeFile(const QString &path, const QByteArray &data);
