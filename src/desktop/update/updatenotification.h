#pragma once

// The one-line banner that announces a new version while the update dialog is hidden. The
// main window places it above the node view; wireUpdateBanner() connects it to the dialog.
// GUI thread only.

#include <QWidget>

class QLabel;

class UpdateNotification : public QWidget
{
    Q_OBJECT
public:
    explicit UpdateNotification(QWidget* parent = nullptr);

    QString text() const;

public Q_SLOTS:
    void updateAvailable(QString version);
    void updateDialogDone(int result);

Q_SIGNALS:
    void showUpdate();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QLabel* label = nullptr;
};
