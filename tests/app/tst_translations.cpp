// The catalogues: the program's German texts are compiled in, and the toolkit's catalogue comes
// from Qt's own translations folder, never from the working directory.
#include "Translations.h"

#include <QCoreApplication>
#include <QDir>
#include <QLibraryInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTranslator>
#include <QtTest>

class tst_Translations : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup();
    void germanTexts_data();
    void germanTexts();
    void englishWithoutCatalogue();
    void toolkitCatalogueNotFromWorkingDirectory();

private:
    void install(const QString& locale);
    QScopedPointer<QTranslator> m_own;
    QScopedPointer<QTranslator> m_toolkit;
};

void tst_Translations::install(const QString& locale)
{
    cleanup();
    m_own.reset(new QTranslator);
    m_toolkit.reset(new QTranslator);
    Translations::install(*QCoreApplication::instance(), *m_own, *m_toolkit, locale);
}

void tst_Translations::cleanup()
{
    if (m_own)
        QCoreApplication::removeTranslator(m_own.get());
    if (m_toolkit)
        QCoreApplication::removeTranslator(m_toolkit.get());
    m_own.reset();
    m_toolkit.reset();
}

void tst_Translations::germanTexts_data()
{
    QTest::addColumn<QString>("context");
    QTest::addColumn<QString>("english");
    QTest::addColumn<QString>("german");

    const QList<QStringList> rows {
        {"ChangeLogViewer", "Failed to load changelog.", "Konnte Changelog nicht laden."},
        {"ChangeLogViewer", "Loading...", "Lade..."},
        {"MainWindow", "<p>Update in progress.</p><p>Are you sure you want to abort?</p>",
         "<p>Aktualisierung läuft momentan.</p><p>Wirklich abbrechen?</p>"},
        {"MainWindow", "Click to open \"%1://%2\"", "Klick zum Öffnen von \"%1://%2\""},
        {"MainWindow", "Question", "Frage"},
        {"MainWindow", "Restart", "Neu starten"},
        {"MainWindow", "Start Kelvaro", "Kelvaro starten"},
        {"MainWindow", "Start Update", "Update starten"},
        {"MainWindow", "Update", "Aktualisierung"},
        {"MainWindow", "Update cancelled", "Aktualisierung abgebrochen"},
        {"MainWindow", "Update cancelled. Push \"Details\" to check reasons.",
         "Aktualisierung abgebrochen. Drücken Sie \"Details\" für weitere Informationen."},
        {"MainWindow", "Update to Kelvaro %1.", "Update auf Kelvaro %1."},
        {"MainWindow", "View Changes", "Änderungen"},
        {"MainWindow", "You are currently on <strong>%1 channel</strong>.",
         "Sie benutzen den <strong>%1 Channel</strong>."},
        {"Mirrors", "Mirror %1 failed too many times, removing", "Mirror %1 zu oft fehlgeschlagen, entferne"},
        {"Mirrors", "There are no (more) known working mirrors available",
         "Es gibt keine weiteren bekannten Mirrors"},
        {"QObject", "Error", "Fehler"},
        {"QObject", "Failed to query latest client\nversion from update server.",
         "Konnte aktuelle Client Version nicht\nvom Aktualisierungsserver abfragen."},
        {"QObject", "Invalid version nr (%1)", "Ungültige Versionsnummer (%1)"},
        {"QObject", "Update server returned invalid version nr (%1)",
         "Update Server meldete ungültige Versionsnummer (%1)"},
        // Not in the catalogue: stays English.
        {"MainWindow", "Details", "Details"},
        {"MainWindow", "Stable", "Stable"},
    };
    for (const QStringList& row : rows)
        QTest::newRow(qPrintable(row.at(0) + QLatin1Char('/') + row.at(1)))
            << row.at(0) << row.at(1) << row.at(2);
}

void tst_Translations::germanTexts()
{
    QFETCH(QString, context);
    QFETCH(QString, english);
    QFETCH(QString, german);
    QVERIFY2(QFile::exists(QStringLiteral(":/i18n/update_de.qm")), "the catalogue is not compiled in");
    // de_DE falls back to the de catalogue.
    install(QStringLiteral("de_DE"));
    QCOMPARE(QCoreApplication::translate(context.toLatin1().constData(), english.toUtf8().constData()),
             german);
}

void tst_Translations::englishWithoutCatalogue()
{
    install(QStringLiteral("fr_FR"));
    QCOMPARE(QCoreApplication::translate("MainWindow", "Start Update"), QStringLiteral("Start Update"));
}

void tst_Translations::toolkitCatalogueNotFromWorkingDirectory()
{
    // A catalogue planted in translations/ below the working directory relabels the buttons of the
    // close question.
    QTemporaryDir work;
    QVERIFY2(work.isValid(), qPrintable(work.errorString()));
    QVERIFY(QDir(work.path()).mkpath(QStringLiteral("translations")));
    const QString ts = work.filePath(QStringLiteral("planted.ts"));
    QFile source(ts);
    QVERIFY(source.open(QIODevice::WriteOnly));
    source.write("<?xml version=\"1.0\" encoding=\"utf-8\"?><!DOCTYPE TS><TS version=\"2.1\" language=\"de\">"
                 "<context><name>QPlatformTheme</name><message><source>&amp;Yes</source>"
                 "<translation>&amp;No</translation></message></context></TS>\n");
    source.close();
    const QString qm = work.filePath(QStringLiteral("translations/qt_de.qm"));
    QProcess lrelease;
    lrelease.start(QStringLiteral(KV3_LRELEASE), {ts, QStringLiteral("-qm"), qm});
    QVERIFY2(lrelease.waitForFinished(30000) && lrelease.exitCode() == 0,
             qPrintable(QString::fromLocal8Bit(lrelease.readAllStandardError())));
    QTranslator planted;
    QVERIFY2(planted.load(qm), "the planted catalogue does not load");

    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(work.path()));
    install(QStringLiteral("de_DE"));
    QVERIFY(QDir::setCurrent(previous));

    const QString yes = QCoreApplication::translate("QPlatformTheme", "&Yes");
    QVERIFY2(yes != QLatin1String("&No"), "the planted catalogue was loaded");
    const QString installed = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    if (!QFile::exists(installed + QStringLiteral("/qtbase_de.qm")))
        QSKIP("Qt's German catalogue is not installed (Debian package qt6-translations-l10n)");
    QCOMPARE(yes, QStringLiteral("&Ja"));
}

QTEST_MAIN(tst_Translations)
#include "tst_translations.moc"
