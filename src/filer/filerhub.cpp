#include "filer/filerhub.h"

#include "filer/filer.h"
#include "filer/filerpane.h"

FilerHub::FilerHub(QObject *parent)
    : QObject(parent)
    , m_shared(std::make_unique<FilerSharedRecord>())
{
}

FilerHub::~FilerHub() = default;

Filer *FilerHub::activeFiler() const
{
    return m_activePane ? m_activePane->currentFiler() : nullptr;
}

void FilerHub::setActiveFiler(FilerPane *filerPane, Filer *activeFiler)
{
    if (!m_activePane || filerPane != m_activePane)
        return;
    announceActiveFiler(activeFiler);
}

FilerPane *FilerHub::activeFilerPane() const
{
    return m_activePane;
}

void FilerHub::setActiveFilerPane(FilerPane *activeFilerPane)
{
    if (activeFilerPane == m_activePane)
        return;
    m_activePane = activeFilerPane;
    Q_EMIT activeFilerPaneChanged();
    announceActiveFiler(activeFiler());
}

void FilerHub::announceActiveFiler(Filer *filer)
{
    if (filer == m_activeFiler)
        return;
    m_activeFiler = filer;
    Q_EMIT activeFilerChanged();
}
