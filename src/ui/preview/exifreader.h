#pragma once

// Photo facts from EXIF data through libexif, as display texts in a map ("Make", "Model",
// "Rotation", "ExposureTime", "FNumber", "Date", "Time", "ISO", "ShutterSpeedValue",
// "ApertureValue", "MeteringMode", "FocalLength"). The readers only add or overwrite entries.
// Any worker thread; no shared state.

#include <QMap>
#include <QString>

using ExifMap = QMap<QString, QString>;

// fileName in the local 8-bit encoding.
void readExifFromFile(const char *fileName, ExifMap *exif);
// The whole JPEG byte stream held in memory.
void readExifFromData(const unsigned char *data, unsigned int size, ExifMap *exif);

// The local short date format with a four-digit year.
QString exifDateFormat();
