#include "ui/aboutdialog.h"

#include "com/connectionmanager.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFileIconProvider>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFunctions>
#include <QPushButton>
#include <QSGRendererInterface>
#include <QVBoxLayout>

namespace {

const char *const kRendererNames[] = {"Unknown",    "Software",      "OpenGL",    "Direct3D12", "OpenVG",
                                      "OpenGLRhi", "Direct3D11Rhi", "VulkanRhi", "MetalRhi",   "NullRhi"};

QLabel *label(const QString &text, QWidget *parent, const char *objectName = nullptr)
{
    auto *l = new QLabel(text, parent);
    l->setTextFormat(Qt::PlainText);
    if (objectName)
        l->setObjectName(QString::fromLatin1(objectName));
    return l;
}

} // namespace

QString AboutDialog::rendererText(int api)
{
    if (api < 0 || api >= int(sizeof(kRendererNames) / sizeof(kRendererNames[0])))
        return QStringLiteral("unknown");
    const QString text = QStringLiteral("%1 (%2)").arg(QString::fromLatin1(kRendererNames[api])).arg(api);
    // "OpenGL" alone hides whether a graphics card or a software rasteriser (llvmpipe) draws.
    const QString name = api == QSGRendererInterface::OpenGL ? openGlRendererName() : QString();
    return name.isEmpty() ? text : text + QStringLiteral(": ") + name;
}

QString AboutDialog::openGlRendererName()
{
    QOffscreenSurface surface;
    surface.create();
    QOpenGLContext context;
    if (!surface.isValid() || !context.create() || !context.makeCurrent(&surface))
        return QString();
    const auto *name = reinterpret_cast<const char *>(context.functions()->glGetString(GL_RENDERER));
    const QString text = name ? QString::fromLatin1(name) : QString();
    context.doneCurrent();
    return text;
}

AboutDialog::AboutDialog(int graphicsApi, QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("AboutDialog"));
    setModal(false);
    setWindowTitle(qtTrId("action-about-nusk"));
    setWindowIcon(QIcon(QStringLiteral(":/icons/app-icon.svg")));
    resize(420, 400);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 24, 24, 16);
    layout->setSpacing(16);

    auto *header = new QHBoxLayout;
    header->setSpacing(16);
    auto *appIcon = new QLabel(this);
    appIcon->setObjectName(QStringLiteral("appIcon"));
    appIcon->setPixmap(QIcon(QStringLiteral(":/icons/app-icon.svg")).pixmap(64, 64));
    appIcon->setAlignment(Qt::AlignTop);
    header->addWidget(appIcon);
    auto *column = new QVBoxLayout;
    column->setSpacing(7);
    QLabel *name = label(QStringLiteral("nusk"), this, "label_2");
    QFont bold = name->font();
    bold.setBold(true);
    bold.setPointSizeF(bold.pointSizeF() * 1.6);
    name->setFont(bold);
    column->addWidget(name);
    column->addWidget(label(qtTrId("about-beta"), this, "label_4"));
    auto *versionRow = new QHBoxLayout;
    versionRow->addWidget(label(qtTrId("about-version"), this, "label_3"));
    QLabel *appVersion = label(QStringLiteral("0.5.18"), this, "appVersion");
    versionRow->addWidget(appVersion);
    versionRow->addStretch(1);
    column->addLayout(versionRow);
    auto *site = new QLabel(QStringLiteral("<a href=\"https://nusk.tarnquist.net\">nusk.tarnquist.net</a>"), this);
    site->setObjectName(QStringLiteral("label_10"));
    site->setTextFormat(Qt::RichText);
    site->setOpenExternalLinks(true);
    column->addWidget(site);
    header->addLayout(column, 1);
    layout->addLayout(header);

    auto *grid = new QGridLayout;
    grid->setHorizontalSpacing(16);
    grid->setVerticalSpacing(6);
    // No version while Tor is not running: said so rather than a made-up number.
    QLabel *tor = label(qtTrId("about-tor-off"), this, "torVersion");
    bool torRefused = false;
    if (ConnectionManager *manager = ConnectionManager::instance()) {
        const QString version = manager->torVersion();
        if (!version.isEmpty() && version != QLatin1String("0.0.0"))
            tor->setText(version);
        torRefused = manager->isTorControlPortRefused();
    }
    QLabel *qt = label(QString::fromLatin1(qVersion()), this, "qtVersion");
    QLabel *renderer = label(rendererText(graphicsApi), this, "graphicsApi");
    int row = 0;
    grid->addWidget(label(qtTrId("about-tor-version"), this), row, 0);
    grid->addWidget(tor, row++, 1);
    // A control port that cannot prove it is tor stays refused until the user changes tor's
    // configuration: what to change, right under the line that says Tor is not running.
    if (torRefused) {
        //% "Refused the control port: it cannot prove it is Tor. Turn on cookie authentication in Tor’s configuration (CookieAuthentication 1) and let this user read the cookie file."
        QLabel *refusal = label(qtTrId("about-tor-refused"), this, "torRefusal");
        refusal->setWordWrap(true);
        refusal->setContentsMargins(0, 4, 0, 4);
        grid->addWidget(refusal, row++, 0, 1, 2);
    }
    grid->addWidget(label(qtTrId("about-qt-version"), this), row, 0);
    grid->addWidget(qt, row++, 1);
    grid->addWidget(label(qtTrId("about-renderer"), this), row, 0);
    grid->addWidget(renderer, row, 1);
    grid->setColumnStretch(1, 1);
    layout->addLayout(grid);

    // Flat, read as a link: its icon starts where the captions above start, with the usual
    // gap before the text (the theme's rule for flat buttons).
    auto *licenses = new QPushButton(QFileIconProvider().icon(QFileIconProvider::Folder), qtTrId("about-licenses"), this);
    licenses->setObjectName(QStringLiteral("showLicensesButton"));
    licenses->setFlat(true);
    licenses->setMinimumHeight(32);
    licenses->setCursor(Qt::PointingHandCursor);
    connect(licenses, &QPushButton::clicked, this, &AboutDialog::openLicensesFolder);
    layout->addWidget(licenses, 0, Qt::AlignLeft);

    QLabel *notice = label(qtTrId("about-notice"), this, "notice");
    notice->setWordWrap(true);
    layout->addWidget(notice);
    layout->addStretch(1);

    auto *bottom = new QHBoxLayout;
    bottom->addStretch(1);
    auto *close = new QPushButton(qtTrId("btn-close"), this);
    close->setObjectName(QStringLiteral("closeButton"));
    close->setDefault(true);
    connect(close, &QPushButton::clicked, this, &QDialog::close);
    bottom->addWidget(close);
    layout->addLayout(bottom);
    // A window does not grow by itself for the refusal's wrapped lines: tall enough for all
    // of them, in the fonts of the theme.
    if (torRefused) {
        ensurePolished();
        resize(width(), qMax(height(), heightForWidth(width())));
    }
}

AboutDialog::~AboutDialog() = default;

void AboutDialog::closeEvent(QCloseEvent *event)
{
    deleteLater();
    QDialog::closeEvent(event);
}

void AboutDialog::done(int result)
{
    // Escape ends a dialog through done() without a close event; it must go all the same.
    QDialog::done(result);
    deleteLater();
}
