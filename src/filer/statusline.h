#ifndef NUSK_FILER_STATUSLINE_H
#define NUSK_FILER_STATUSLINE_H

// The status bar of a file browser. Its text (StatusLabel) takes more lines while a long
// message is shown and one again afterwards. A plain status bar works out its new height, but
// the page it stands in may keep the height it gave it before (its layout, last run while the
// page was hidden, is never asked again): the line stays tall after the message, or from the
// start, and stands apart from the other pane's. This one has the page lay itself out again
// whenever its height changes. GUI thread.

#include <QStatusBar>

class StatusLine : public QStatusBar
{
    Q_OBJECT

public:
    explicit StatusLine(QWidget *parent = nullptr);

protected:
    bool event(QEvent *event) override;

private:
    int m_heightHint = -1;
};

#endif // NUSK_FILER_STATUSLINE_H
