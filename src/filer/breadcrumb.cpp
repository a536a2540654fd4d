#include "filer/breadcrumb.h"

#include <QDir>
#include <QPalette>
#include <QQuickItem>
#include <QUrl>

TopNavigation::TopNavigation(QQmlEngine *engine, QWidget *parent)
    : QQuickWidget(engine, parent)
{
    setResizeMode(QQuickWidget::SizeViewToRootObject);
    setSizePolicy(QSizePolicy());
    setAutoFillBackground(false);
    setClearColor(palette().color(QPalette::Current, QPalette::Window));
    setContentsMargins(0, 0, 0, 0);
    // Not the parent's width: that may be 0 while the browser is being built, and would
    // otherwise keep the window from ever getting narrower.
    setMinimumSize(kMinimumWidth, kMinimumHeight);
    setSource(QUrl(QStringLiteral("qrc:/qml/BreadCrumb.qml")));
    // A path joined as "file:/" + "/home/x" would name the host "home"; the URL is built here.
    if (QObject *root = rootObject())
        root->setProperty("homeUrl", QUrl::fromLocalFile(QDir::homePath()).toString());
}

void TopNavigation::paintEvent(QPaintEvent *event)
{
    QQuickWidget::paintEvent(event);
}
