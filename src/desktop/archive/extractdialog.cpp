#include "desktop/archive/extractdialog.h"

#include "desktop/archive/p7zip.h"
#include "desktop/common/desktopresources.h"

#include <QCloseEvent>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

namespace {
constexpr qlonglong kLargeArchiveBytes = 30000000;
constexpr int kLargeArchiveDelayMs = 10;
constexpr int kSmallArchiveDelayMs = 1000;
}

struct ExtractDialogPrivate
{
    QPointer<P7Zip> p7zip;
    QTimer* showTimer = nullptr;
    int state = ExtractDialog::StateNew;
    QLabel* label = nullptr;
    QProgressBar* progressBar = nullptr;
    QVBoxLayout* layout = nullptr;
};

ExtractDialog::ExtractDialog(P7Zip* p7zip, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint)
    , d(new ExtractDialogPrivate)
{
    initDesktopResources();
    d->p7zip = p7zip;
    setObjectName(QStringLiteral("ExtractDialog"));
    //% "Extract archive"
    const QString title = qtTrId("dlg-extract-title");
    setWindowTitle(title);
    setWindowIcon(QIcon(QStringLiteral(":/icons/desktop/archive.svg")));
    setMinimumWidth(4 * fontMetrics().horizontalAdvance(title));

    d->layout = new QVBoxLayout(this);
    d->layout->setSpacing(16);
    d->label = new QLabel(this);
    d->label->setTextFormat(Qt::PlainText);   // archive names come from disk
    d->progressBar = new QProgressBar(this);
    d->progressBar->setRange(0, 100);
    d->progressBar->setValue(0);
    d->progressBar->setTextVisible(false);
    //% "Cancel"
    auto* cancel = new QPushButton(qtTrId("btn-cancel"), this);
    cancel->setObjectName(QStringLiteral("cancelButton"));
    cancel->setDefault(false);
    cancel->setAutoDefault(false);
    cancel->setFocusPolicy(Qt::NoFocus);
    auto* nameRow = new QHBoxLayout();
    nameRow->setSpacing(10);
    auto* icon = new QLabel(this);
    icon->setPixmap(QIcon(QStringLiteral(":/icons/desktop/archive.svg")).pixmap(24, 24));
    nameRow->addWidget(icon);
    nameRow->addWidget(d->label, 1);
    d->layout->addLayout(nameRow);
    d->layout->addWidget(d->progressBar);
    d->layout->addWidget(cancel, 0, Qt::AlignRight);

    d->showTimer = new QTimer(this);
    d->showTimer->setSingleShot(true);

    // The state is set before the process is killed.
    connect(cancel, &QPushButton::clicked, this, &ExtractDialog::cancelClicked);
    connect(cancel, &QPushButton::clicked, p7zip, &P7Zip::abortExtract);
    connect(p7zip, &P7Zip::startExtracting, this, &ExtractDialog::startExtracting);
    connect(p7zip, &P7Zip::extractProgress, this, &ExtractDialog::extractProgress);
    connect(p7zip, &P7Zip::extracted, this, &ExtractDialog::extracted);
    connect(p7zip, &P7Zip::failedExtracting, this, &ExtractDialog::failedExtracting);
    connect(p7zip, &P7Zip::errorMessage, this, &ExtractDialog::showError);
    connect(p7zip, &QObject::destroyed, this, &QObject::deleteLater);
    connect(d->showTimer, &QTimer::timeout, this, &ExtractDialog::timerFired);
}

ExtractDialog::~ExtractDialog() = default;

int ExtractDialog::state() const
{
    return d->state;
}

void ExtractDialog::startExtracting(QString archiveFileName, qlonglong archiveSize)
{
    const QMargins margins = d->layout->contentsMargins();
    // The name is never elided: the window grows to show it whole, beside its icon.
    const int needed = fontMetrics().horizontalAdvance(archiveFileName) + margins.left() + margins.right() + 34;
    if (needed > minimumWidth())
        setMinimumWidth(needed);
    d->label->setText(archiveFileName);
    d->state = StateRunning;
    d->showTimer->start(archiveSize > kLargeArchiveBytes ? kLargeArchiveDelayMs : kSmallArchiveDelayMs);
}

void ExtractDialog::timerFired()
{
    if (d->state != StateRunning)
        return;
    d->state = StateShown;
    show();
}

void ExtractDialog::extractProgress(int percent)
{
    d->progressBar->setValue(percent);
    setWindowTitle(QStringLiteral("%1  %2%").arg(qtTrId("dlg-extract-title")).arg(percent));
}

void ExtractDialog::extracted(QString path)
{
    Q_UNUSED(path);
    d->progressBar->setValue(100);
    d->state = StateDone;
}

void ExtractDialog::failedExtracting()
{
    if (d->state != StateCancelled)
        d->state = StateFailed;
}

void ExtractDialog::cancelClicked()
{
    d->state = StateCancelled;
}

void ExtractDialog::showError(QString text)
{
    // Outlives the dialog, which goes with its P7Zip right after the failure.
    auto* box = new QMessageBox(QMessageBox::Warning, qtTrId("dlg-extract-title"), text, QMessageBox::Ok,
                                parentWidget());
    box->setObjectName(errorBoxName());
    box->setTextFormat(Qt::PlainText);   // names from the archive are data, not markup
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    box->show();
}

void ExtractDialog::closeEvent(QCloseEvent* event)
{
    if (d->state != StateDone) {
        d->state = StateCancelled;
        if (d->p7zip)
            d->p7zip->abortExtract();
    }
    QDialog::closeEvent(event);
}
