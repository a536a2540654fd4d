#include "desktop/update/updatenotification.h"

#include "desktop/common/desktopresources.h"
#include <QHBoxLayout>
#include <QLabel>
#include <QLinearGradient>
#include <QPaintEvent>
#include <QPainter>
#include <QPushButton>

namespace {
const QColor kBase(QStringLiteral("#CFF09E"));
const QColor kText(QStringLiteral("#24410c"));
}

UpdateNotification::UpdateNotification(QWidget* parent)
    : QWidget(parent)
{
    initDesktopResources();
    setObjectName(QStringLiteral("UpdateNotification"));
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(8, 4, 8, 4);
    auto* spacer = new QWidget(this);
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    layout->addWidget(spacer);

    auto* icon = new QLabel(this);
    icon->setPixmap(QIcon(QStringLiteral(":/icons/desktop/update.svg")).pixmap(16, 16));
    layout->addWidget(icon);
    label = new QLabel(this);
    label->setObjectName(QStringLiteral("label"));
    label->setTextFormat(Qt::PlainText);   // the version comes from the update site
    QPalette pal = label->palette();
    pal.setColor(QPalette::WindowText, kText);
    label->setPalette(pal);
    layout->addWidget(label);

    //% "Show"
    auto* button = new QPushButton(qtTrId("upd-btn-show"), this);
    button->setObjectName(QStringLiteral("showButton"));
    layout->addWidget(button);
    connect(button, &QPushButton::clicked, this, [this] {
        hide();
        Q_EMIT showUpdate();
    });
    setMaximumHeight(sizeHint().height());
    hide();
}

QString UpdateNotification::text() const
{
    return label->text();
}

void UpdateNotification::updateAvailable(QString version)
{
    //% "nusk %1 is available."
    label->setText(qtTrId("upd-ntf-newversion").arg(version));
    show();
}

void UpdateNotification::updateDialogDone(int result)
{
    Q_UNUSED(result);
    hide();
}

void UpdateNotification::paintEvent(QPaintEvent* event)
{
    // The gradient spans the whole banner, so a partial repaint matches its surroundings.
    const QRect r = rect();
    QLinearGradient gradient(r.topLeft(), r.bottomLeft());
    gradient.setColorAt(0, kBase.lighter(110));
    gradient.setColorAt(0.02, kBase);
    gradient.setColorAt(0.99, kBase);
    gradient.setColorAt(1, kBase.darker(110));
    QPainter painter(this);
    painter.fillRect(event->rect(), gradient);
    painter.end();
    QWidget::paintEvent(event);
}
