#pragma once

#include <QString>

class QCoreApplication;
class QTranslator;

// Loads and installs the two catalogues of a locale: the program's own (compiled in as
// ":/i18n/update_<locale>") and the toolkit's ("qt_<locale>" from Qt's installed translations,
// QLibraryInfo::TranslationsPath). Never from the working directory, where anyone could plant a
// catalogue that relabels the buttons of a question. A name such as de_DE falls back to de; a
// missing catalogue leaves the texts untranslated. Both translators are installed either way and
// must outlive their use.
class Translations
{
public:
    static void install(QCoreApplication& application, QTranslator& ownTexts, QTranslator& toolkitTexts,
                        const QString& localeName);
};
