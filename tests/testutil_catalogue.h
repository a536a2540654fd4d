#pragma once

// A message catalogue installed for the length of a scope, on top of the one a test starts
// with: the texts a person reads in another language.

#include <QCoreApplication>
#include <QString>
#include <QTranslator>

namespace testutil {

class ScopedCatalogue
{
public:
    // `file` names a compiled catalogue (":/i18n/nusk_de.qm"); empty installs nothing.
    explicit ScopedCatalogue(const QString &file)
    {
        if (!file.isEmpty() && m_translator.load(file))
            m_installed = QCoreApplication::installTranslator(&m_translator);
        m_ok = file.isEmpty() || m_installed;
    }
    ~ScopedCatalogue()
    {
        if (m_installed)
            QCoreApplication::removeTranslator(&m_translator);
    }
    ScopedCatalogue(const ScopedCatalogue &) = delete;
    ScopedCatalogue &operator=(const ScopedCatalogue &) = delete;

    bool isValid() const { return m_ok; }

private:
    QTranslator m_translator;
    bool m_installed = false;
    bool m_ok = false;
};

} // namespace testutil
