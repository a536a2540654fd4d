#include "ui/panepage.h"

#include "ui/themeimageprovider.h"

#include <QLabel>
#include <QVBoxLayout>

PanePage::PanePage(const QString &iconName, const QString &title, const QString &text, QWidget *parent)
    : QWidget(parent)
    , m_iconName(iconName)
{
    setObjectName(QStringLiteral("PanePage"));
    setAttribute(Qt::WA_StyledBackground, true);
    setFocusPolicy(Qt::StrongFocus);
    auto *layout = new QVBoxLayout(this);
    layout->setSpacing(8);
    layout->addStretch(1);
    m_icon = new QLabel(this);
    m_icon->setAlignment(Qt::AlignCenter);
    layout->addWidget(m_icon);
    auto *titleLabel = new QLabel(title, this);
    titleLabel->setObjectName(QStringLiteral("PanePageTitle"));
    titleLabel->setTextFormat(Qt::PlainText);
    titleLabel->setAlignment(Qt::AlignCenter);
    layout->addWidget(titleLabel);
    auto *textLabel = new QLabel(text, this);
    textLabel->setObjectName(QStringLiteral("PanePageText"));
    textLabel->setTextFormat(Qt::PlainText);
    textLabel->setAlignment(Qt::AlignCenter);
    textLabel->setWordWrap(true);
    layout->addWidget(textLabel);
    layout->addStretch(2);
    refreshIcon();
}

void PanePage::refreshIcon()
{
    if (ThemeImageProvider *provider = ThemeImageProvider::instance())
        m_icon->setPixmap(provider->requestPixmap(QStringLiteral("icon/") + m_iconName + QStringLiteral(".svg"), nullptr,
                                                  QSize(48, 48)));
}
