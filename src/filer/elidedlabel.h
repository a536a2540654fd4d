#ifndef NUSK_FILER_ELIDEDLABEL_H
#define NUSK_FILER_ELIDEDLABEL_H

// A label of one line that ends what does not fit with an ellipsis; text() keeps the whole
// text (callers put it in the tooltip). A status line stays one line high this way, however
// long a message is, and never runs into what stands beside it. GUI thread.

#include <QLabel>

class ElidedLabel : public QLabel
{
    Q_OBJECT

public:
    explicit ElidedLabel(QWidget *parent = nullptr);

    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
};

#endif // NUSK_FILER_ELIDEDLABEL_H
