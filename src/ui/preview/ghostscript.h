#pragma once

// PDF, PostScript, EPS and Illustrator pages rendered by the Ghostscript program found on
// PATH ("gs"). Ghostscript runs as a separate process: with -dSAFER, the first page only,
// writing one PNG into a private folder made for the run (absolute path, mode 0700) that is
// also its temporary folder and home, with nothing of the user's environment but PATH, under
// memory and file-size limits, and killed when it runs past the time limit. Runs block their
// worker, so they get a small pool of their own (documentPool()) and never starve thumbnails.

#include <QImage>
#include <QSize>
#include <QString>
#include <QStringList>

#include <vector>

class QThreadPool;

// The screen's physical dots per inch; read once on the GUI thread (the worker never asks the
// screen) before any document is rendered. 96 until set.
void setDocumentScreenDpi(double physicalDpi);
// The render resolution: 1.5 x the screen's dpi, kept between 200 and 300.
int documentRenderDpi();

// Time a run may take before it is killed (ms); 30000 unless a test shortens it.
void setGhostscriptTimeoutMs(int ms);

// Two threads for document runs, apart from the global pool.
QThreadPool *documentPool();

bool isDocumentPath(const QString &path);

// The command line for one run: render `path` (absolute) into `outputFile` (absolute).
QStringList ghostscriptArguments(const QString &path, const std::vector<QSize> &bounds,
                                 int dpi, const QString &outputFile);

// The first page as a picture: none when Ghostscript is missing, fails, runs too long or
// writes something that is no PNG of an acceptable size.
std::vector<QImage> renderDocument(const QString &path, const std::vector<QSize> &bounds);
