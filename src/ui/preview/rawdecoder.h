#pragma once

// Camera RAW pictures through LibRaw, loaded at run time (dlopen) when the library is there.
// The binding is all or nothing: every entry point must resolve and the library's version must
// be the one whose data layout this program was built against, or RAW decoding stays off and
// RAW files fall back to the JPEG pictures embedded in them.
// The binding is written on the GUI thread before any request and only read by workers.

#include "ui/preview/exifreader.h"

#include <QImage>
#include <QString>

// The library of Debian 12 (thread-safe build).
constexpr const char kLibRawLibrary[] = "libraw_r.so.20";

// Opens the library and resolves the binding; false (binding empty) when anything is missing.
bool loadLibRaw(const char *library = kLibRawLibrary);
void unloadLibRaw();
// Turns RAW decoding off but keeps the library mapped: a worker may still be inside it.
void disableLibRaw();
bool isLibRawAvailable();
// The loaded library's version number (LibRaw's own encoding), 0 when none is loaded.
int libRawVersion();

// The facts LibRaw reports of a file, copied out of its data record.
struct RawFacts
{
    QString make, model, lens, makernotesLens;
    double minFocal = 0, maxFocal = 0;
    double aperture = 0, focalLength = 0, iso = 0, shutter = 0;
    qint64 timestamp = 0; // seconds since the epoch
    int flip = -1;
};

// Writes the map entries of the facts ("Make", "Model", "Lens", "MinFocal", "MaxFocal",
// "FNumber", "FocalLength", "ISO", "ExposureTime", "Date", "Time", "Rotation").
void writeRawFacts(const RawFacts &facts, ExifMap *exif);

// The embedded preview, or the developed picture when there is none; null on any failure.
QImage loadRawImage(const QString &path, ExifMap *exif);

bool isRawPath(const QString &path);
