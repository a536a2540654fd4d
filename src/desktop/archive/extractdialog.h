#pragma once

// The progress window of one archive extraction. It stays hidden for short extractions and
// appears only when the extraction still runs after a delay that grows with nothing but the
// archive's size class; Cancel and closing the window kill the extraction. It deletes itself
// with its P7Zip. A failure other than a cancel is shown in a message box of its own, so the
// reason (refused entry, missing 7-Zip, damaged data) reaches the user even when the window
// never appeared. GUI thread only.

#include <QDialog>

#include <memory>

class P7Zip;
class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;

struct ExtractDialogPrivate;

class ExtractDialog : public QDialog
{
    Q_OBJECT
public:
    enum State {
        StateNew = 0,
        StateRunning = 1,   // extraction running, window not shown yet
        StateShown = 2,
        StateFailed = 3,
        StateDone = 4,
        StateCancelled = 5,
    };

    ExtractDialog(P7Zip* p7zip, QWidget* parent);
    ~ExtractDialog() override;

    int state() const;
    // Object name of the message box a failure opens.
    static QString errorBoxName() { return QStringLiteral("ExtractErrorBox"); }

public Q_SLOTS:
    void startExtracting(QString archiveFileName, qlonglong archiveSize);
    void extractProgress(int percent);
    void extracted(QString path);
    void failedExtracting();
    void timerFired();
    void cancelClicked();
    void showError(QString text);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    std::unique_ptr<ExtractDialogPrivate> d;
};
