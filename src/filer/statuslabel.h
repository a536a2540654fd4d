#ifndef NUSK_FILER_STATUSLABEL_H
#define NUSK_FILER_STATUSLABEL_H

// The text of a status line: one line while it fits, else wrapped at its words on up to
// kMaxLines lines, so that a message is read whole (German ones are long); only a text even
// those cannot hold ends in an ellipsis. It never asks for more width than its place, so it
// neither widens the window nor runs into what stands beside it: the line grows in height
// while the text needs it. text() keeps the whole text (callers put it in the tooltip). GUI
// thread.

#include <QLabel>
#include <QStringList>

class StatusLabel : public QLabel
{
    Q_OBJECT

public:
    static constexpr int kMaxLines = 3;

    explicit StatusLabel(QWidget *parent = nullptr);

    QSize minimumSizeHint() const override;
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    // The lines the text takes in `width` pixels.
    QStringList lines(int width) const;
    int textWidth() const;

    int m_shownLines = 1;
};

#endif // NUSK_FILER_STATUSLABEL_H
