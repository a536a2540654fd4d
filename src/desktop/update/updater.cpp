#include "desktop/update/updater.h"

#include "app/base/configsettings.h"
#include "app/base/datasize.h"
#include "app/base/log.h"
#include "com/proxy.h"
#include "desktop/common/desktopresources.h"
#include "desktop/update/updatefeed.h"
#include "desktop/update/updatenotification.h"
#include "desktop/update/updateunpacker.h"
#include "desktop/update/updateverifier.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QStackedWidget>
#include <QTextBrowser>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextList>
#include <QTimer>
#include <QVBoxLayout>
#include <QVersionNumber>

namespace {

constexpr int kFirstTickMs = 10000;
constexpr int kTickMs = 300000;
constexpr int kDefaultCheckIntervalS = 28800;
constexpr qint64 kMaxFeedBytes = 1024 * 1024;                    // feed and changelog
constexpr qint64 kMaxArchiveBytes = qint64(1024) * 1024 * 1024;  // the download
constexpr int kMaxVersionLength = 32;
constexpr int kMaxPageWidth = 900;
const char kDateFormat[] = "yyyy-MM-ddTHH:mm:ss";

QString ownVersion()
{
    const QString v = QCoreApplication::applicationVersion();
    return v.isEmpty() ? QStringLiteral("0.5.18") : v;
}

QLabel* wrappedLabel(QWidget* parent, const char* name)
{
    auto* label = new QLabel(parent);
    label->setObjectName(QLatin1String(name));
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);   // nothing the site sends is markup
    return label;
}

QWidget* page(QStackedWidget* stack, const char* name, const char* layoutName, int spacing, QVBoxLayout** layout)
{
    auto* w = new QWidget(stack);
    w->setObjectName(QLatin1String(name));
    *layout = new QVBoxLayout(w);
    (*layout)->setObjectName(QLatin1String(layoutName));
    (*layout)->setSpacing(spacing);
    (*layout)->setContentsMargins(0, 12, 0, 0);
    return w;
}

QTextBrowser* changelogView(QWidget* parent, const char* name)
{
    auto* view = new QTextBrowser(parent);
    view->setObjectName(QLatin1String(name));
    view->setOpenLinks(false);
    view->setOpenExternalLinks(false);
    return view;
}

} // namespace

void Ui_Updater::setupUi(QDialog* dialog)
{
    dialog->setObjectName(QStringLiteral("Updater"));
    dialog->resize(843, 403);
    auto* top = new QHBoxLayout(dialog);
    top->setObjectName(QStringLiteral("horizontalLayout_2"));
    top->setSpacing(24);

    auto* left = new QVBoxLayout();
    left->setObjectName(QStringLiteral("verticalLayout"));
    logo = new QLabel(dialog);
    logo->setObjectName(QStringLiteral("logo"));
    QIcon icon = QGuiApplication::windowIcon();
    if (icon.isNull())
        icon = QIcon(QStringLiteral(":/icons/desktop/update.svg"));
    logo->setPixmap(icon.pixmap(48, 48));
    logo->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
    logo->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    left->addWidget(logo);
    left->addItem(new QSpacerItem(20, 40, QSizePolicy::Minimum, QSizePolicy::Expanding));
    top->addLayout(left);

    stackedWidget = new QStackedWidget(dialog);
    stackedWidget->setObjectName(QStringLiteral("stackedWidget"));
    top->addWidget(stackedWidget, 1);

    QVBoxLayout* l = nullptr;
    pageNoUpdateAvailable = page(stackedWidget, "pageNoUpdateAvailable", "verticalLayout_6", 16, &l);
    auto* row4 = new QHBoxLayout();
    row4->setObjectName(QStringLiteral("horizontalLayout_4"));
    currentVersion = wrappedLabel(pageNoUpdateAvailable, "currentVersion");
    row4->addWidget(currentVersion);
    l->addLayout(row4);
    changelog2 = changelogView(pageNoUpdateAvailable, "changelog2");
    l->addWidget(changelog2);
    auto* row5 = new QHBoxLayout();
    row5->setObjectName(QStringLiteral("horizontalLayout_5"));
    row5->addItem(new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum));
    closeButton = new QPushButton(pageNoUpdateAvailable);
    closeButton->setObjectName(QStringLiteral("closeButton"));
    closeButton->setDefault(true);
    row5->addWidget(closeButton);
    l->addLayout(row5);
    stackedWidget->addWidget(pageNoUpdateAvailable);

    pageDownload = page(stackedWidget, "pageDownload", "verticalLayout_3", 8, &l);
    restartInfoLabel = wrappedLabel(pageDownload, "restartInfoLabel");
    l->addWidget(restartInfoLabel);
    l->addItem(new QSpacerItem(20, 16, QSizePolicy::Minimum, QSizePolicy::Fixed));
    downloadLabel = wrappedLabel(pageDownload, "downloadLabel");
    l->addWidget(downloadLabel);
    progressBar = new QProgressBar(pageDownload);
    progressBar->setObjectName(QStringLiteral("progressBar"));
    progressBar->setRange(0, 100);
    progressBar->setValue(0);
    l->addWidget(progressBar);
    downloadProgress = wrappedLabel(pageDownload, "downloadProgress");
    l->addWidget(downloadProgress);
    l->addItem(new QSpacerItem(20, 40, QSizePolicy::Minimum, QSizePolicy::Expanding));
    stackedWidget->addWidget(pageDownload);

    pageDownloadDone = page(stackedWidget, "pageDownloadDone", "verticalLayout_7", 8, &l);
    downloadFinishedLabel = wrappedLabel(pageDownloadDone, "downloadFinishedLabel");
    l->addWidget(downloadFinishedLabel);
    l->addItem(new QSpacerItem(20, 309, QSizePolicy::Minimum, QSizePolicy::Expanding));
    stackedWidget->addWidget(pageDownloadDone);

    pageUpdateAvailable = page(stackedWidget, "pageUpdateAvailable", "verticalLayout_2", 16, &l);
    updateVersionLabel = wrappedLabel(pageUpdateAvailable, "updateVersionLabel");
    l->addWidget(updateVersionLabel);
    changelog = changelogView(pageUpdateAvailable, "changelog");
    l->addWidget(changelog);
    auto* row = new QHBoxLayout();
    row->setObjectName(QStringLiteral("horizontalLayout"));
    row->setSpacing(7);
    skipUpdateButton = new QPushButton(pageUpdateAvailable);
    skipUpdateButton->setObjectName(QStringLiteral("skipUpdateButton"));
    row->addWidget(skipUpdateButton);
    row->addItem(new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum));
    remindMeLaterButton = new QPushButton(pageUpdateAvailable);
    remindMeLaterButton->setObjectName(QStringLiteral("remindMeLaterButton"));
    row->addWidget(remindMeLaterButton);
    updateButton = new QPushButton(pageUpdateAvailable);
    updateButton->setObjectName(QStringLiteral("updateButton"));
    updateButton->setDefault(true);
    row->addWidget(updateButton);
    // Takes the install button's place in a build that installs no updates.
    homepageButton = new QPushButton(pageUpdateAvailable);
    homepageButton->setObjectName(QStringLiteral("homepageButton"));
    homepageButton->hide();
    row->addWidget(homepageButton);
    l->addLayout(row);
    stackedWidget->addWidget(pageUpdateAvailable);

    pageError = page(stackedWidget, "pageError", "verticalLayout_4", 8, &l);
    errorLabel = wrappedLabel(pageError, "errorLabel");
    errorLabel->setMinimumHeight(120);
    errorLabel->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::MinimumExpanding);
    errorLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    errorLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    l->addWidget(errorLabel);
    auto* row3 = new QHBoxLayout();
    row3->setObjectName(QStringLiteral("horizontalLayout_3"));
    row3->addItem(new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum));
    tryAgainButton = new QPushButton(pageError);
    tryAgainButton->setObjectName(QStringLiteral("tryAgainButton"));
    tryAgainButton->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    row3->addWidget(tryAgainButton);
    l->addLayout(row3);
    stackedWidget->addWidget(pageError);

    pageQueryUpdate = page(stackedWidget, "pageQueryUpdate", "verticalLayout_5", 8, &l);
    queryUpdateStatus = wrappedLabel(pageQueryUpdate, "queryUpdateStatus");
    queryUpdateStatus->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::MinimumExpanding);
    queryUpdateStatus->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    l->addWidget(queryUpdateStatus);
    stackedWidget->addWidget(pageQueryUpdate);

    stackedWidget->setCurrentIndex(2);
}

// ---------------------------------------------------------------------------------------

Updater::Updater(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint)
    , m_ui(new Ui_Updater)
    , m_appDir(QCoreApplication::applicationDirPath())
    , m_programName(QFileInfo(QCoreApplication::applicationFilePath()).fileName())
    , m_publicKey(UpdateVerifier::builtInPublicKey())
{
    initDesktopResources();
    m_ui->setupUi(this);
    //% "Software update"
    setWindowTitle(qtTrId("upd-window-title"));
    //% "Query update information..."
    m_ui->queryUpdateStatus->setText(qtTrId("upd-msg-querystatus"));
    //% "After the update has finished nusk will restart, this may take several seconds."
    m_ui->restartInfoLabel->setText(qtTrId("upd-msg-inforestart"));
    //% "Downloading update..."
    m_ui->downloadLabel->setText(qtTrId("upd-msg-downloading"));
    //% "Download finished, restarting application..."
    m_ui->downloadFinishedLabel->setText(qtTrId("upd-msg-dlfinished"));
    //% "All up-to-date, nusk is at the latest version %1."
    m_ui->currentVersion->setText(qtTrId("upd-msg-noupdate").arg(ownVersion()));
    //% "Close"
    m_ui->closeButton->setText(qtTrId("btn-close"));
    //% "Skip this version"
    m_ui->skipUpdateButton->setText(qtTrId("upd-btn-skip"));
    //% "Remind me later"
    m_ui->remindMeLaterButton->setText(qtTrId("upd-btn-remind"));
    //% "Try again"
    m_ui->tryAgainButton->setText(qtTrId("upd-btn-tryagain"));
    //% "Install update"
    m_ui->updateButton->setText(qtTrId("upd-btn-install"));
    //% "Visit homepage"
    m_ui->homepageButton->setText(qtTrId("upd-btn-homepage"));

    connect(m_ui->closeButton, &QPushButton::clicked, this, &QWidget::hide);
    connect(m_ui->tryAgainButton, &QPushButton::clicked, this, &Updater::queryUpdate);
    connect(m_ui->skipUpdateButton, &QPushButton::clicked, this, &Updater::skipVersion);
    connect(m_ui->remindMeLaterButton, &QPushButton::clicked, this, &Updater::remindMeLater);
    connect(m_ui->updateButton, &QPushButton::clicked, this, &Updater::download);
    connect(m_ui->homepageButton, &QPushButton::clicked, this, &Updater::visitHomepage);

    m_queryTimer = new QTimer(this);
    connect(m_queryTimer, &QTimer::timeout, this, &Updater::autoQueryUpdate);
    m_queryTimer->start(kFirstTickMs);
}

Updater::~Updater()
{
    if (m_download) {
        m_download->disconnect(this);
        m_download->abort();
        m_archiveFile.close();
        m_archiveFile.remove();
    }
    delete m_ui;
}

QString Updater::notesText(const QByteArray& html)
{
    QByteArray body = html;
    const int zero = body.indexOf('\0');
    if (zero >= 0)
        body.truncate(zero);
    QTextDocument doc;
    doc.setHtml(QString::fromUtf8(body));
    QStringList lines;
    for (QTextBlock block = doc.begin(); block.isValid(); block = block.next()) {
        const QString line = block.text().trimmed();
        if (line.isEmpty())
            continue;
        if (block.textList())
            lines << QStringLiteral("\u2022 ") + line;
        else if (block.blockFormat().headingLevel() > 0 && !lines.isEmpty())
            lines << QString() << line;
        else
            lines << line;
    }
    return lines.join(QLatin1Char('\n'));
}

QString Updater::baseUrl()
{
    ConfigSettings cs;
    QString base = cs->value(UpdateSite::baseUrlKey(), UpdateSite::defaultBaseUrl()).toString().trimmed();
    while (base.endsWith(QLatin1Char('/')))
        base.chop(1);
    return base;
}

QString Updater::manualUpdateText()
{
    // The address on a line of its own, where wrapping does not cut it.
    //% "This build cannot check the signature of an update, so it installs none. The new version is here:"
    return qtTrId("upd-msg-manual") + QLatin1Char('\n') + baseUrl() + QStringLiteral("/#download");
}

QString Updater::archivePath() const
{
    const bool tarGz = QUrl(m_downloadUrl).path().endsWith(QLatin1String(".tar.gz"), Qt::CaseInsensitive);
    return m_appDir + (tarGz ? QStringLiteral("/update.tar.gz") : QStringLiteral("/update.zip"));
}

QString Updater::updateDirectory() const
{
    return m_appDir + QStringLiteral("/update");
}

// ---- pages ------------------------------------------------------------------------------

void Updater::fixedSize()
{
    setMinimumSize(600, 200);
    setMaximumSize(600, 200);
}

void Updater::sizeFromText(QLabel* label, double factor)
{
    const int w = qMin(kMaxPageWidth, int(fontMetrics().horizontalAdvance(label->text()) * factor));
    const int h = w / 4 * 2;
    setMinimumSize(w, h);
    setMaximumSize(w + 200, h + 300);
}

void Updater::resetState()
{
    m_downloadUrl.clear();
    m_newVersion.clear();
    m_expectedSha256.clear();
    m_expectedLength = -1;
    m_state = StateIdle;
}

void Updater::showQueryPage()
{
    m_downloadUrl.clear();
    m_ui->stackedWidget->setCurrentWidget(m_ui->pageQueryUpdate);
    fixedSize();
    m_state = StateQuerying;
}

void Updater::showUpdateAvailablePage(QString version, QString url, QString sha256)
{
    m_downloadUrl = url;
    m_newVersion = version;
    m_expectedSha256 = sha256;
    if (installsUpdates()) {
        //% "nusk %1 is now available — you have %2. Would you like to install it now?"
        m_ui->updateVersionLabel->setText(qtTrId("upd-newavailable").arg(version, ownVersion()));
    } else {
        //% "nusk %1 is now available — you have %2."
        m_ui->updateVersionLabel->setText(qtTrId("upd-newavailable-manual").arg(version, ownVersion()) + QLatin1Char('\n')
                                          + manualUpdateText());
    }
    m_ui->updateButton->setVisible(installsUpdates());
    m_ui->homepageButton->setVisible(!installsUpdates());
    m_ui->homepageButton->setDefault(!installsUpdates());
    m_ui->stackedWidget->setCurrentWidget(m_ui->pageUpdateAvailable);
    sizeFromText(m_ui->updateVersionLabel, 1.15);
    m_state = StateUpdateAvailable;
}

void Updater::showNoUpdatePage()
{
    m_ui->stackedWidget->setCurrentWidget(m_ui->pageNoUpdateAvailable);
    sizeFromText(m_ui->currentVersion, 1.57);
    m_state = StateNoUpdate;
}

void Updater::showErrorPage(QString text)
{
    m_ui->errorLabel->setText(text);
    m_ui->stackedWidget->setCurrentWidget(m_ui->pageError);
    fixedSize();
    m_state = StateError;
}

void Updater::showDownloadPage()
{
    m_downloadUrl.clear();
    m_ui->progressBar->setValue(0);
    m_ui->progressBar->show();
    m_ui->downloadProgress->clear();
    m_ui->stackedWidget->setCurrentWidget(m_ui->pageDownload);
    fixedSize();
    m_state = StateDownloading;
}

void Updater::showDownloadDonePage()
{
    m_ui->stackedWidget->setCurrentWidget(m_ui->pageDownloadDone);
    m_state = StateDownloadDone;
}

void Updater::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (m_state == StateNew)
        resetState();
    if (m_queryOnShow && (m_state == StateIdle || m_state == StateUpdateAvailable || m_state == StateNoUpdate))
        queryUpdate();
}

void Updater::remindMeLater()
{
    done(1);
}

void Updater::visitHomepage()
{
    QDesktopServices::openUrl(QUrl(baseUrl() + QStringLiteral("/#download")));
}

// ---- the check ----------------------------------------------------------------------------

QNetworkReply* Updater::get(const QUrl& url)
{
    QNetworkRequest request(url);
    request.setTransferTimeout(m_transferTimeoutMs);
    // Redirects are followed only to addresses the update may come from at all.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::UserVerifiedRedirectPolicy);
    QNetworkReply* reply = m_networkManager->get(request);
    connect(reply, &QNetworkReply::redirected, reply, [reply](const QUrl& target) {
        if (UpdateSite::isAcceptableUrl(target))
            Q_EMIT reply->redirectAllowed();
        else
            reply->abort();
    });
    return reply;
}

void Updater::autoQueryUpdate()
{
    if (m_state == StateNew)
        resetState();
    m_queryTimer->setInterval(kTickMs);
    // A query now would take the page from under the running download or installation.
    if (m_state == StateDownloading || m_state == StateDownloadDone) {
        logPrintf(LogDbg1, "skip update query during the download");
        return;
    }
    ConfigSettings cs;
    const int interval = cs->value(QStringLiteral("update/checkinterval"), kDefaultCheckIntervalS).toInt();
    if (interval <= 0)
        return;
    QDateTime last;
    if (cs->contains(QStringLiteral("update/lastquery")))
        last = QDateTime::fromString(cs->value(QStringLiteral("update/lastquery")).toString(), QLatin1String(kDateFormat));
    const QDateTime now = QDateTime::currentDateTime();
    if (last.isValid() && last.addSecs(interval) >= now) {
        logPrintf(LogDbg1, "skip update query, next query in %d seconds", int(interval - last.secsTo(now)));
        return;
    }
    queryUpdate();
}

void Updater::queryUpdate()
{
    if (!m_networkManager) {
        m_networkManager = new QNetworkAccessManager(this);
        Proxy proxy;
        const QNetworkProxy p = proxy.systemProxy();
        if (p.type() == QNetworkProxy::HttpProxy || p.type() == QNetworkProxy::Socks5Proxy)
            m_networkManager->setProxy(p);
    }
    const QString base = baseUrl();
    const QUrl feedUrl(base + QLatin1Char('/') + UpdateSite::feedName());
    if (!UpdateSite::isAcceptableUrl(feedUrl)) {
        logPrintf(LogDbg1, "update site refused: %s", qUtf8Printable(base));
        //% "Failed to query the update server. Please try again later."
        //% "The update server must be reached over HTTPS."
        showErrorPage(qtTrId("upd-error-query") + QLatin1Char('\n') + qtTrId("upd-error-insecure"));
        return;
    }
    auto limit = [](QNetworkReply* reply) {
        connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64) {
            if (received > kMaxFeedBytes)
                reply->abort();
        });
    };
    QNetworkReply* feed = get(feedUrl);
    limit(feed);
    connect(feed, &QNetworkReply::finished, this, &Updater::queryFinished);

    ConfigSettings cs;
    const QString skip = cs->value(QStringLiteral("update/skip"), QStringLiteral("0")).toString();
    QNetworkReply* notes = get(QUrl(QStringLiteral("%1/changelog.html?v=%2&skip=%3").arg(base, ownVersion(), skip)));
    limit(notes);
    connect(notes, &QNetworkReply::finished, this, &Updater::queryChangelogFinished);
    showQueryPage();
}

void Updater::queryFinished()
{
    auto* reply = qobject_cast<QNetworkReply*>(sender());
    if (!reply)
        return;
    reply->deleteLater();
    if (m_state != StateQuerying)
        return;
    if (reply->error() != QNetworkReply::NoError) {
        logPrintf(LogDbg1, "update query error: %s", reply->errorString().toLocal8Bit().constData());
        QString text = qtTrId("upd-error-query");
        if (reply->error() == QNetworkReply::OperationCanceledError)
            //% "The update server stopped answering."
            text += QLatin1Char('\n') + qtTrId("upd-error-timeout");
        showErrorPage(text);
        return;
    }
    parseAppcast(reply);
}

void Updater::parseAppcast(QNetworkReply* reply)
{
    const QByteArray body = reply->readAll();
    {
        ConfigSettings cs;
        cs->setValue(QStringLiteral("update/lastquery"), QDateTime::currentDateTime().toString(QLatin1String(kDateFormat)));
    }
    const UpdateOffer offer = UpdateFeed::parse(body, UpdateSite::archiveMarker());
    if (offer.version.isEmpty() || offer.url.isEmpty() || offer.sha256.isEmpty()
        || offer.version.size() > kMaxVersionLength) {
        showErrorPage(qtTrId("upd-error-query"));
        return;
    }
    const QVersionNumber own = QVersionNumber::fromString(ownVersion());
    const QVersionNumber offered = QVersionNumber::fromString(offer.version);
    if (QVersionNumber::compare(own, offered) >= 0) {
        showNoUpdatePage();
        return;
    }
    const QUrl url = reply->url().resolved(QUrl(offer.url));
    if (!UpdateSite::isAcceptableUrl(url)) {
        showErrorPage(qtTrId("upd-error-query") + QLatin1Char('\n') + qtTrId("upd-error-insecure"));
        return;
    }
    if (!UpdateSite::isSha256Hex(offer.sha256) || !UpdateSite::isSupportedArchiveUrl(url) || offer.length > kMaxArchiveBytes) {
        //% "The update server's information is incomplete or malformed."
        showErrorPage(qtTrId("upd-error-query") + QLatin1Char('\n') + qtTrId("upd-error-feed"));
        return;
    }
    if (installsUpdates() && !UpdateVerifier::verifyOffer(offer, UpdateSite::archiveMarker(), m_publicKey)) {
        logPrintf(LogDbg1, "update %s refused: no valid signature", qUtf8Printable(offer.version));
        //% "The offered update carries no valid signature, so it is not offered."
        showErrorPage(qtTrId("upd-error-unsigned"));
        return;
    }
    showUpdateAvailablePage(offer.version, url.toString(), offer.sha256);
    m_expectedLength = offer.length;
    ConfigSettings cs;
    const QString skip = cs->contains(QStringLiteral("update/skip")) ? cs->value(QStringLiteral("update/skip")).toString()
                                                                    : QString();
    if (skip != offer.version && !isVisible())
        Q_EMIT updateAvailable(offer.version);
}

void Updater::queryChangelogFinished()
{
    auto* reply = qobject_cast<QNetworkReply*>(sender());
    if (!reply)
        return;
    reply->deleteLater();
    if (reply->error() != QNetworkReply::NoError)
        return;
    const QString text = notesText(reply->readAll());
    m_ui->changelog->setPlainText(text);
    m_ui->changelog2->setPlainText(text);
}

void Updater::skipVersion()
{
    if (!m_newVersion.isEmpty()) {
        ConfigSettings cs;
        cs->setValue(QStringLiteral("update/skip"), m_newVersion);
    }
    done(0);
}

// ---- the download -----------------------------------------------------------------------

void Updater::download()
{
    // One download at a time, and only of what the page offers.
    if (m_download || m_state != StateUpdateAvailable || m_downloadUrl.isEmpty())
        return;
    if (!installsUpdates()) {
        showErrorPage(manualUpdateText());
        return;
    }
    if (m_archiveFile.isOpen())
        m_archiveFile.close();
    m_archiveFile.setFileName(archivePath());
    const QString fullName = QFileInfo(m_archiveFile).absoluteFilePath();
    if (m_archiveFile.exists() && !m_archiveFile.remove()) {
        //% "Failed to delete %1."
        showErrorPage(qtTrId("upd-error-rmarfail").arg(fullName));
        return;
    }
    if (!m_archiveFile.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        //% "Failed to create %1."
        showErrorPage(qtTrId("upd-error-aropenfail").arg(fullName));
        return;
    }
    m_received = 0;
    m_download = get(QUrl(m_downloadUrl));
    connect(m_download, &QNetworkReply::finished, this, &Updater::downloadFinished);
    connect(m_download, &QNetworkReply::downloadProgress, this, &Updater::downloadProgress);
    connect(m_download, &QNetworkReply::readyRead, this, &Updater::downloadReadyRead);
    showDownloadPage();
}

void Updater::downloadReadyRead()
{
    if (!m_download)
        return;
    const QByteArray data = m_download->readAll();
    m_received += data.size();
    if (m_received > m_expectedLength) {
        m_archiveFile.close();   // the finish sees a closed file and reports the failure
        m_download->abort();
        return;
    }
    if (m_archiveFile.isOpen() && m_archiveFile.write(data) != data.size()) {
        logPrintf(LogDbg1, "failed to write %s", qUtf8Printable(m_archiveFile.fileName()));
        m_archiveFile.close();
        m_download->abort();
    }
}

void Updater::downloadProgress(qlonglong bytesReceived, qlonglong bytesTotal)
{
    const QString received = formatDataSize(quint64(qMax<qlonglong>(0, bytesReceived)), 0);
    if (bytesTotal > 0) {
        //% "%1 of %2"
        m_ui->downloadProgress->setText(qtTrId("upd-transferprogress").arg(received, formatDataSize(quint64(bytesTotal), 0)));
        m_ui->progressBar->setValue(int(qBound<qint64>(0, bytesReceived * 100 / bytesTotal, 100)));
    } else {
        // The size is unknown (or nothing): show what arrived, leave the bar alone.
        m_ui->downloadProgress->setText(received);
    }
}

void Updater::failDownload(const QString& detail)
{
    //% "Failed to extract the update."
    showErrorPage(detail.isEmpty() ? qtTrId("upd-failextract2") : qtTrId("upd-failextract2") + QLatin1Char('\n') + detail);
    m_archiveFile.close();
    m_archiveFile.remove();
}

bool Updater::checkArchive(QNetworkReply* reply)
{
    Q_UNUSED(reply);
    logPrintf(LogDbg1, "size: %lld", static_cast<long long>(m_received));
    return m_received == m_expectedLength;   // the size the release signed
}

void Updater::downloadFinished()
{
    QNetworkReply* reply = m_download ? m_download.data() : qobject_cast<QNetworkReply*>(sender());
    m_download.clear();
    if (!reply)
        return;
    reply->deleteLater();
    const bool written = m_archiveFile.isOpen();
    m_archiveFile.close();

    if (reply->error() != QNetworkReply::NoError || !written || !UpdateSite::isAcceptableUrl(reply->url())) {
        logPrintf(LogDbg1, "update download error: %s", qUtf8Printable(reply->errorString()));
        //% "Failed to download the update."
        QString text = qtTrId("upd-dlfailed");
        if (!written)
            //% "The download could not be stored or was larger than an update can be."
            text += QLatin1Char('\n') + qtTrId("upd-error-write");
        else if (reply->error() == QNetworkReply::OperationCanceledError)
            text += QLatin1Char('\n') + qtTrId("upd-error-timeout");
        showErrorPage(text);
        m_archiveFile.remove();
        return;
    }
    if (!checkArchive(reply)) {
        failDownload(qtTrId("upd-error-digest"));
        return;
    }
    showDownloadDonePage();
    repaint();

    const QString computed = UpdateVerifier::sha256OfFile(m_archiveFile.fileName());
    if (computed.isEmpty()) {
        failDownload(QString());
        return;
    }
    if (computed != m_expectedSha256.toLower()) {
        logPrintf(LogDbg1, "failed to verify sha256: %s vs. %s", qUtf8Printable(m_expectedSha256), qUtf8Printable(computed));
        //% "The download does not match the checksum of the update server; nothing was changed."
        failDownload(qtTrId("upd-error-digest"));
        return;
    }
    logPrintf(LogDbg1, "verified sha256: %s [OK]", qUtf8Printable(computed));
    if (!extractUpdate()) {
        failDownload(m_ui->errorLabel->text());
        return;
    }
    m_archiveFile.remove();
    QTimer::singleShot(m_handOverDelayMs, this, &Updater::delayedDownloadFinished);
}

bool Updater::extractUpdate()
{
    const QFileInfo info(m_archiveFile.fileName());
    if (!info.exists()) {
        //% "Update file %1 doesn't exist."
        showErrorPage(qtTrId("upd-error-dlnotexist.").arg(info.fileName()));
        return false;
    }
    QString error;
    if (!UpdateUnpacker::unpack(info.absoluteFilePath(), updateDirectory(), m_programName, &error)) {
        logPrintf(LogDbg1, "failed to unpack the update: %s", qUtf8Printable(error));
        //% "Failed to extract %1."
        showErrorPage(qtTrId("upd-error-dlextract").arg(info.fileName()) + QLatin1Char(' ') + error);
        return false;
    }
    return true;
}

void Updater::delayedDownloadFinished()
{
    if (m_handingOver)
        return;
    m_handingOver = true;
    QCoreApplication::exit(kExitCodeUpdate);
    done(1);
}

void wireUpdateBanner(Updater* updater, UpdateNotification* banner)
{
    QObject::connect(updater, &Updater::updateAvailable, banner, &UpdateNotification::updateAvailable);
    QObject::connect(updater, &QDialog::finished, banner, &UpdateNotification::updateDialogDone);
    QObject::connect(banner, &UpdateNotification::showUpdate, updater, &QWidget::show);
}
