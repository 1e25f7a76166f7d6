#include "Translations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

void Translations::install(QCoreApplication& application, QTranslator& ownTexts, QTranslator& toolkitTexts,
                           const QString& localeName)
{
    // A failed load is not worth a word: the texts stay English.
    (void)ownTexts.load(QStringLiteral(":/i18n/update_") + localeName);
    application.installTranslator(&ownTexts);
    (void)toolkitTexts.load(QStringLiteral("qt_") + localeName,
                            QLibraryInfo::path(QLibraryInfo::TranslationsPath));
    application.installTranslator(&toolkitTexts);
}
