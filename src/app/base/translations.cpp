#include "app/base/translations.h"

#include "app/base/log.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

Translations::Translations(const QString& directory)
    : m_directory(directory)
{
}

Translations::~Translations()
{
    remove();
}

void Translations::remove()
{
    for (QTranslator** t : {&m_app, &m_qt}) {
        if (*t) {
            QCoreApplication::removeTranslator(*t);
            delete *t;
            *t = nullptr;
        }
    }
}

bool Translations::install(const QLocale& locale)
{
    remove();

    auto* app = new QTranslator;
    bool ok = app->load(locale, QStringLiteral("nusk"), QStringLiteral("_"), m_directory);
    if (!ok) {
        logPrintf(LogNfo1, "no catalogue for %s, using en-US", qUtf8Printable(locale.name()));
        ok = app->load(QLocale(QStringLiteral("en_US")), QStringLiteral("nusk"),
                       QStringLiteral("_"), m_directory);
    }
    if (ok) {
        QCoreApplication::installTranslator(app);
        m_app = app;
    } else {
        logPrintf(LogErr1, "failed to load a catalogue from %s", qUtf8Printable(m_directory));
        delete app;
    }

    auto* qt = new QTranslator;
    if (qt->load(locale, QStringLiteral("qtbase"), QStringLiteral("_"),
                 QLibraryInfo::location(QLibraryInfo::TranslationsPath))) {
        QCoreApplication::installTranslator(qt);
        m_qt = qt;
    } else {
        delete qt;
    }
    return ok;
}

QString Translations::catalogueFile() const
{
    return m_app ? m_app->filePath() : QString();
}
