#pragma once

// The program's message catalogues (id-based, looked up with qtTrId) and Qt's own texts.

#include <QLocale>
#include <QString>

class QTranslator;

class Translations
{
public:
    // Directory of the program's catalogues "nusk_<lang>.qm" (compiled-in resources).
    explicit Translations(const QString& directory = QStringLiteral(":/i18n"));
    ~Translations();

    Translations(const Translations&) = delete;
    Translations& operator=(const Translations&) = delete;

    // Installs the catalogue of the locale, falling back to "en-US", and Qt's own catalogue
    // of the locale when one is installed. Replaces what an earlier call installed.
    // False when not even the fallback catalogue could be loaded.
    bool install(const QLocale& locale);
    void remove();

    // The file of the program catalogue in use; empty when none.
    QString catalogueFile() const;

private:
    QString m_directory;
    QTranslator* m_app = nullptr;
    QTranslator* m_qt = nullptr;
};
