#include "ui/preview/ghostscript.h"

#include "app/base/log.h"
#include "ui/preview/imagelimits.h"

#include <QFileInfo>
#include <QImageReader>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThreadPool>

#include <atomic>
#include <sys/resource.h>

namespace {

std::atomic<int> g_screenDpiTimes100{9600};
std::atomic<int> g_timeoutMs{30000};

// Address space and output size of one run: enough for a page at 300 dpi, not enough for a
// hostile document to take the machine down with it.
constexpr rlim_t kGhostscriptMemory = 1536ull * 1024 * 1024;
constexpr rlim_t kGhostscriptOutput = 256ull * 1024 * 1024;

class LimitedProcess : public QProcess
{
protected:
    // Runs in the child between fork and exec: only async-signal-safe calls.
    void setupChildProcess() override
    {
        struct rlimit memory = {kGhostscriptMemory, kGhostscriptMemory};
        setrlimit(RLIMIT_AS, &memory);
        struct rlimit output = {kGhostscriptOutput, kGhostscriptOutput};
        setrlimit(RLIMIT_FSIZE, &output);
    }
};

// Safe mode still lets a document create, overwrite and delete files below Ghostscript's
// temporary folder (TMPDIR, else TEMP, else /tmp). A run sees only its own empty folder there
// and as home, so that folder and its page are all it can write; options, library and font
// paths from the user's environment (GS_OPTIONS, GS_LIB, ...) never reach it.
QProcessEnvironment confinedEnvironment(const QString &folder)
{
    QProcessEnvironment env;
    env.insert(QStringLiteral("PATH"),
               QProcessEnvironment::systemEnvironment().value(QStringLiteral("PATH"), QStringLiteral("/usr/bin:/bin")));
    for (const char *name : {"TMPDIR", "TEMP", "TMP", "HOME"})
        env.insert(QLatin1String(name), folder);
    return env;
}

bool endsWith(const QString &path, const char *suffix)
{
    return path.endsWith(QLatin1String(suffix), Qt::CaseInsensitive);
}

} // namespace

void setDocumentScreenDpi(double physicalDpi)
{
    if (physicalDpi > 0 && physicalDpi < 10000)
        g_screenDpiTimes100.store(int(physicalDpi * 100));
}

int documentRenderDpi()
{
    const int dpi = int(g_screenDpiTimes100.load() * 1.5 / 100);
    return qBound(200, dpi, 300);
}

void setGhostscriptTimeoutMs(int ms)
{
    g_timeoutMs.store(ms > 0 ? ms : 30000);
}

QThreadPool *documentPool()
{
    static QThreadPool *pool = [] {
        auto *p = new QThreadPool;
        p->setMaxThreadCount(2);
        return p;
    }();
    return pool;
}

bool isDocumentPath(const QString &path)
{
    return endsWith(path, ".ai") || endsWith(path, ".eps") || endsWith(path, ".pdf")
           || endsWith(path, ".ps");
}

QStringList ghostscriptArguments(const QString &path, const std::vector<QSize> &bounds, int dpi,
                                 const QString &outputFile)
{
    QStringList args{QStringLiteral("-dSAFER"), QStringLiteral("-dBATCH"),
                     QStringLiteral("-dNOPAUSE"), QStringLiteral("-sDEVICE=png16m"),
                     QStringLiteral("-dGraphicsAlphaBits=4"), QStringLiteral("-dTextAlphaBits=4"),
                     QStringLiteral("-q"), QStringLiteral("-dFirstPage=1"),
                     QStringLiteral("-dLastPage=1"), QStringLiteral("-o"), outputFile};
    if (endsWith(path, ".ai") || endsWith(path, ".eps") || endsWith(path, ".ps")) {
        args << QStringLiteral("-dEPSCrop");
        if (bounds.size() == 1 && bounds.front().width() <= 256) {
            args << QStringLiteral("-r%1").arg((dpi / 10) * 2)
                 << QStringLiteral("-dDownScaleFactor=1");
        } else {
            args << QStringLiteral("-r%1").arg(dpi) << QStringLiteral("-dDownScaleFactor=2");
        }
    } else {
        args << QStringLiteral("-sPageList=1") << QStringLiteral("-r300")
             << QStringLiteral("-dDownScaleFactor=2");
    }
    // Absolute, so a name starting with '-' or '@' is never read as an option.
    args << QFileInfo(path).absoluteFilePath();
    return args;
}

std::vector<QImage> renderDocument(const QString &path, const std::vector<QSize> &bounds)
{
    const QString program = QStandardPaths::findExecutable(QStringLiteral("gs"));
    if (program.isEmpty()) {
        logPrintf(LogNfo1, "ghostscript not installed");
        return {};
    }
    QTemporaryDir folder; // mode 0700, empty, removed with everything in it after the run
    if (!folder.isValid())
        return {};
    const QString output = folder.filePath(QStringLiteral("page.png"));
    const QStringList args = ghostscriptArguments(path, bounds, documentRenderDpi(), output);
    logPrintf(LogNfo1, "using ghostscript %s", qUtf8Printable(program));
    logPrintf(LogNfo1, "%s %s", qUtf8Printable(program), qUtf8Printable(args.join(QLatin1Char(' '))));

    LimitedProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setWorkingDirectory(folder.path());
    process.setProcessEnvironment(confinedEnvironment(folder.path()));
    process.start(program, args, QIODevice::ReadOnly);
    if (!process.waitForStarted(10000) || !process.waitForFinished(g_timeoutMs.load())) {
        logPrintf(LogNfo1, "ghostscript did not finish in time, killed");
        process.kill();
        process.waitForFinished(5000);
        return {};
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        const QByteArray text = process.readAll().left(4096);
        logPrintf(LogNfo1, "ghostscript failes, exit code %d\n%s", process.exitCode(), text.constData());
        return {};
    }
    QImageReader reader(output, "png");
    if (!PreviewLimits::fitsBudget(reader))
        return {};
    QImage page = reader.read();
    if (page.isNull())
        return {};
    logPrintf(LogNfo1, "ghostscript output %dx%d", page.width(), page.height());
    return {page};
}
