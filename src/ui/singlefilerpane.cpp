#include "ui/singlefilerpane.h"

#include "filer/filer.h"

#include <QVBoxLayout>

SingleFilerPane::SingleFilerPane(QQmlEngine *engine, IDatabase *database, QWidget *parent)
    : QWidget(parent)
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_filer = new Filer(engine, database, nullptr, this);
    layout->addWidget(m_filer);
    setFocusProxy(m_filer);
    connect(m_filer, &Filer::activated, this, &SingleFilerPane::activated);
    connect(m_filer, &Filer::selectionChanged, this, &SingleFilerPane::selectionChanged);
    connect(m_filer, &Filer::peerClicked, this, &SingleFilerPane::peerClicked);
}

Filer *SingleFilerPane::currentFiler() const
{
    return m_filer;
}

void SingleFilerPane::setPeer(IPeer *peer)
{
    if (!m_filer)
        return;
    m_filer->setPeer(peer);
    m_filer->showPeerView();
}
