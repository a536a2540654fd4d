#pragma once

// The update dialog: it checks the update site on a schedule (every 300 s it looks whether
// "update/checkinterval" seconds have passed since "update/lastquery"), offers a newer
// version whose feed entry carries a valid signature under the release key, downloads its
// archive beside the program, checks the signed size and SHA-256, unpacks it into an empty
// "update" folder and ends the event loop with exit code 40, which hands over to the new
// program. A build without a release key only tells of a newer version and where to get it:
// it cannot tell a release from what anyone serving the feed offers, so it downloads nothing.
//
// Only HTTPS is spoken to the site (plain HTTP only to this computer, for tests); every
// request has a transfer timeout; one download at a time; a failed step leaves the
// installed program untouched and says why on the error page. Texts from the feed are shown
// as plain text.
//
// GUI thread only. The main window makes one, hidden, and wires it to the banner with
// wireUpdateBanner().

#include <QDialog>
#include <QFile>
#include <QPointer>
#include <QString>

class QLabel;
class QNetworkAccessManager;
class QNetworkReply;
class QProgressBar;
class QPushButton;
class QStackedWidget;
class QTextBrowser;
class QTimer;
class UpdateNotification;

// The dialog's widgets, by object name.
struct Ui_Updater
{
    QLabel* logo = nullptr;
    QStackedWidget* stackedWidget = nullptr;
    QWidget* pageNoUpdateAvailable = nullptr;
    QLabel* currentVersion = nullptr;
    QTextBrowser* changelog2 = nullptr;
    QPushButton* closeButton = nullptr;
    QWidget* pageDownload = nullptr;
    QLabel* restartInfoLabel = nullptr;
    QLabel* downloadLabel = nullptr;
    QProgressBar* progressBar = nullptr;
    QLabel* downloadProgress = nullptr;
    QWidget* pageDownloadDone = nullptr;
    QLabel* downloadFinishedLabel = nullptr;
    QWidget* pageUpdateAvailable = nullptr;
    QLabel* updateVersionLabel = nullptr;
    QTextBrowser* changelog = nullptr;
    QPushButton* skipUpdateButton = nullptr;
    QPushButton* remindMeLaterButton = nullptr;
    QPushButton* updateButton = nullptr;
    QPushButton* homepageButton = nullptr;
    QWidget* pageError = nullptr;
    QLabel* errorLabel = nullptr;
    QPushButton* tryAgainButton = nullptr;
    QWidget* pageQueryUpdate = nullptr;
    QLabel* queryUpdateStatus = nullptr;

    void setupUi(QDialog* dialog);
};

class Updater : public QDialog
{
    Q_OBJECT
public:
    enum State {
        StateNew = 0,
        StateIdle = 1,
        StateQuerying = 2,
        StateUpdateAvailable = 3,
        StateNoUpdate = 4,
        StateError = 5,
        StateDownloading = 6,
        StateDownloadDone = 7,
    };
    Q_ENUM(State)

    static constexpr int kExitCodeUpdate = 40;

    explicit Updater(QWidget* parent = nullptr);
    ~Updater() override;

    int state() const { return m_state; }
    const Ui_Updater& ui() const { return *m_ui; }
    QString newVersion() const { return m_newVersion; }

    // The release notes the site sends as HTML, as plain text: paragraphs and headings on
    // lines of their own, list items behind a bullet. Nothing of it is rendered as markup.
    static QString notesText(const QByteArray& html);

    // The base address of the update site: the setting "update/baseurl", else the maker's.
    static QString baseUrl();

    // Test hooks: where the program lives (the archive and "update" go beside it), the file
    // the update must hold, the release key (replacing the built-in one; empty: none), the
    // transfer timeout and the pause before the hand-over.
    void setInstallDirectory(const QString& dir) { m_appDir = dir; }
    void setProgramName(const QString& name) { m_programName = name; }
    void setPublicKey(const QByteArray& key) { m_publicKey = key; }
    void setTransferTimeout(int ms) { m_transferTimeoutMs = ms; }
    void setHandOverDelay(int ms) { m_handOverDelayMs = ms; }
    // Screenshots show a page as it stands, without the query that showing starts.
    void setQueryOnShow(bool query) { m_queryOnShow = query; }

    void resetState();
    void showQueryPage();
    void showUpdateAvailablePage(QString version, QString url, QString sha256);
    void showNoUpdatePage();
    void showErrorPage(QString text);
    void showDownloadPage();
    void showDownloadDonePage();

    void parseAppcast(QNetworkReply* reply);
    bool checkArchive(QNetworkReply* reply);

public Q_SLOTS:
    void autoQueryUpdate();
    void queryUpdate();
    void queryFinished();
    void queryChangelogFinished();
    void skipVersion();
    void remindMeLater();
    void visitHomepage();
    void download();
    void downloadReadyRead();
    void downloadProgress(qlonglong bytesReceived, qlonglong bytesTotal);
    void downloadFinished();
    bool extractUpdate();
    void delayedDownloadFinished();

Q_SIGNALS:
    void updateAvailable(QString version);

protected:
    void showEvent(QShowEvent* event) override;

private:
    QNetworkReply* get(const QUrl& url);
    void fixedSize();
    void fixedWidthFittedTo(QWidget* page);
    void sizeFromText(QLabel* label, double factor);
    void failDownload(const QString& detail);
    static QString manualUpdateText();
    bool installsUpdates() const { return m_publicKey.size() == 32; }
    QString archivePath() const;
    QString updateDirectory() const;

    int m_state = StateNew;
    Ui_Updater* m_ui = nullptr;
    QTimer* m_queryTimer = nullptr;
    QNetworkAccessManager* m_networkManager = nullptr;
    QString m_downloadUrl;
    QString m_newVersion;
    QFile m_archiveFile;
    QString m_expectedSha256;
    qint64 m_expectedLength = -1;   // the archive's size, as the release signed it
    QPointer<QNetworkReply> m_download;   // the one download in flight
    qint64 m_received = 0;
    bool m_handingOver = false;

    QString m_appDir;
    QString m_programName;
    QByteArray m_publicKey;
    int m_transferTimeoutMs = 30000;
    int m_handOverDelayMs = 3000;
    bool m_queryOnShow = true;
};

// The banner's wiring to the dialog: a new version shows the banner, every end of the
// dialog hides it, and the banner's button opens the dialog.
void wireUpdateBanner(Updater* updater, UpdateNotification* banner);
