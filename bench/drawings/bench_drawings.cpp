// Drawings through the program's own drawing renderer, each in a process of its own as the
// thumbnail path renders it (the five bounds of the file model): the hostile forms a drawing's
// text can take next to plain drawings of the same size, with the time and the peak resident
// memory of each process. A process may take at most 4 GiB of address space and 60 s; one that
// runs out of either is reported as such. Optional arguments: MiB of the plain drawing (default
// 5.4), a word the names of the other drawings measured must hold.

#include "testutil_drawings.h"
#include "ui/preview/svgrenderer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QTemporaryDir>

#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr rlim_t kAddressSpace = 4ull << 30;
constexpr int kSecondsAllowed = 60;

// The child: renders the drawing and writes its own peak resident memory (kB) to the
// descriptor `peakFd`; exit status 0 drawn, 1 refused. (The peak the parent learns from
// wait4 is never below the parent's own size when it forked.)
int render(int argc, char **argv, const char *path, int peakFd)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    QGuiApplication app(argc, argv);
    PreviewImageRequest request;
    request.path = QString::fromLocal8Bit(path);
    request.bounds = {{20, 20}, {24, 24}, {32, 32}, {48, 48}, {256, 256}};
    PreviewImageResult result;
    const bool drawn = renderSvgImage(request, &result) && result.images.size() == request.bounds.size();
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("VmHWM:")) {
                const QByteArray kb = line.mid(6).trimmed().split(' ').value(0);
                ::write(peakFd, kb.constData(), size_t(kb.size()));
            }
        }
    }
    return drawn ? 0 : 1;
}

struct Figures
{
    QByteArray outcome;
    double seconds = 0;
    double peakMiB = 0;
};

Figures measure(const QString &path)
{
    int peak[2];
    if (::pipe(peak) != 0)
        return {"no pipe"};
    const QByteArray self = QFile::encodeName(QCoreApplication::applicationFilePath());
    const QByteArray file = QFile::encodeName(path);
    const QByteArray peakFd = QByteArray::number(peak[1]);
    QElapsedTimer timer;
    timer.start();
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(peak[0]);
        const rlimit limit{kAddressSpace, kAddressSpace};
        ::setrlimit(RLIMIT_AS, &limit);
        ::alarm(kSecondsAllowed);
        ::execl(self.constData(), self.constData(), "--render", file.constData(), peakFd.constData(),
                static_cast<char *>(nullptr));
        ::_exit(127);
    }
    ::close(peak[1]);
    int status = 0;
    rusage usage{};
    ::wait4(child, &status, 0, &usage);
    Figures figures;
    figures.seconds = timer.nsecsElapsed() / 1e9;
    char reported[32] = {};
    // A child that did not come to the end (killed, aborted) has the peak of wait4, which its
    // own size then is far above.
    const bool hasReported = ::read(peak[0], reported, sizeof reported - 1) > 0;
    figures.peakMiB = (hasReported ? std::atof(reported) : double(usage.ru_maxrss)) / 1024.0;
    ::close(peak[0]);
    if (WIFEXITED(status))
        figures.outcome = WEXITSTATUS(status) == 0 ? "drawn" : "refused";
    else if (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM)
        figures.outcome = "stopped";
    else
        figures.outcome = "aborted (" + QByteArray(::strsignal(WTERMSIG(status))) + ")";
    return figures;
}

// The nested entities of `drawing` in a document type that names an external subset too:
// references to entities not read are then left out rather than refused.
QByteArray withExternalSubset(QByteArray drawing)
{
    return drawing.replace("<!DOCTYPE svg [", "<!DOCTYPE svg PUBLIC '-//W3C//DTD SVG 1.1//EN' "
                                              "'http://www.w3.org/Graphics/SVG/1.1/DTD/svg11.dtd' [");
}

// A comment of `chars` characters before the drawing's end: text that costs nothing to draw
// but widens what its entities may write.
QByteArray padded(QByteArray drawing, int chars)
{
    return drawing.replace("</svg>", "<!--" + QByteArray(chars, ' ') + "--></svg>");
}

// About `bytes` of elements that each have `attributes` attributes.
QByteArray attributesAgainAndAgain(int attributes, int bytes)
{
    QByteArray element = "<g";
    for (int i = 0; i < attributes; ++i)
        element += " a" + QByteArray::number(i) + "='" + QByteArray::number(i) + "'";
    element += "/>\n";
    return squareDrawing({}, element.repeated(bytes / element.size()));
}

// About `bytes` of groups nested `levels` deep.
QByteArray deepAgainAndAgain(int levels, int bytes)
{
    const QByteArray nest = QByteArray("<g>").repeated(levels) + "<rect width='1' height='1'/>"
                            + QByteArray("</g>").repeated(levels) + "\n";
    return squareDrawing({}, nest.repeated(bytes / nest.size()));
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 4 && std::strcmp(argv[1], "--render") == 0)
        return render(argc, argv, argv[2], std::atoi(argv[3]));
    QCoreApplication app(argc, argv);
    const double plainMiB = argc > 1 ? std::atof(argv[1]) : 5.4;
    const QByteArray only = argc > 2 ? QByteArray(argv[2]) : QByteArray();
    QTemporaryDir dir;
    const auto text = ReferencePlace::Text;
    const auto attribute = ReferencePlace::Attribute;
    const struct { const char *what; QByteArray data; bool compressed; } forms[] = {
        {"plain drawing", plainDrawing(int(plainMiB * 1024 * 1024)), false},
        {"nested &#38; in text", nestedEntityDrawing(3400, "&#38;", text), false},
        {"nested &#38; in text", nestedEntityDrawing(40 * 1024, "&#38;", text), false},
        {"nested &#38; in text", nestedEntityDrawing(60 * 1024, "&#38;", text), false},
        {"nested &#38; in text", nestedEntityDrawing(300 * 1024, "&#38;", text), false},
        {"nested &#38; in text", nestedEntityDrawing(1200 * 1024, "&#38;", text), false},
        {"nested &#38; in an attribute", nestedEntityDrawing(300 * 1024, "&#38;", attribute), false},
        {"nested &#38; in an attribute", nestedEntityDrawing(900 * 1024, "&#38;", attribute), false},
        {"nested &#x26; in text", nestedEntityDrawing(300 * 1024, "&#x26;", text), false},
        {"nested &#x26; in an attribute", nestedEntityDrawing(300 * 1024, "&#x26;", attribute), false},
        {"4,000-character entity used 1,600 times", oftenUsedEntityDrawing(4000, 1600, text), false},
        {"3,000-character entity used 10,000 times", oftenUsedEntityDrawing(3000, 10000, text), false},
        {"20,000 attributes", manyAttributesDrawing(20000), false},
        {"100,000 attributes (svgz)", manyAttributesDrawing(100000), true},
        {"200,000 attributes (svgz)", manyAttributesDrawing(200000), true},
        {"2,000,000 levels deep (svgz)", deepDrawing(2000000), true},
        // What is still drawn: each at the most the limits let through.
        {"nested &#38; in text, external subset", withExternalSubset(nestedEntityDrawing(300 * 1024, "&#38;", text)),
         false},
        {"entities writing twice the text (padded)", padded(oftenUsedEntityDrawing(4000, 50, text), 100 * 1000), false},
        {"256 attributes on each element", attributesAgainAndAgain(256, int(plainMiB * 1024 * 1024)), false},
        {"256 levels deep, again and again", deepAgainAndAgain(254, int(plainMiB * 1024 * 1024)), false},
        {"groups one level deep, as many bytes", deepAgainAndAgain(1, int(plainMiB * 1024 * 1024)), false},
    };
    std::printf("%-44s %12s %12s %-20s %8s %9s\n", "drawing", "file bytes", "text bytes", "result", "seconds",
                "peak MiB");
    double plainSeconds = 0;
    double worstRatio = 0;
    for (const auto &form : forms) {
        if (!only.isEmpty() && plainSeconds > 0 && !QByteArray(form.what).contains(only))
            continue;
        const QByteArray file = form.compressed ? gzip(form.data) : form.data;
        const QString path =
            dir.filePath(form.compressed ? QStringLiteral("drawing.svgz") : QStringLiteral("drawing.svg"));
        QFile out(path);
        if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(file) != file.size())
            return 1;
        out.close();
        const Figures figures = measure(path);
        std::printf("%-44s %12lld %12lld %-20s %8.2f %9.0f\n", form.what, qint64(file.size()), qint64(form.data.size()),
                    figures.outcome.constData(), figures.seconds, figures.peakMiB);
        std::fflush(stdout);
        if (plainSeconds == 0)
            plainSeconds = figures.seconds;
        else
            worstRatio = std::max(worstRatio, figures.seconds / plainSeconds);
    }
    std::printf("slowest hostile drawing / %.1f MiB plain drawing: %.2f\n", plainMiB, worstRatio);
    return 0;
}
