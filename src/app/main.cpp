// The updater's entry function: prepares the process, builds the configuration and the window,
// reads the command line and runs the event loop.
#include "Configuration.h"
#include "MainWindow.h"
#include "SingleInstanceChecker.h"
#include "UpdateEngine.h"

#include <QApplication>
#include <QLocale>
#include <QTimer>
#include <QTranslator>

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);

    // Set-aside copies of the updater and its libraries from an earlier self-update can only go
    // now that nothing runs from them any more. A second instance that is about to exit does this
    // too.
    const QString root = Configuration::getAppRootPath();
    UpdateEngine::removeOldFiles(root);
    UpdateEngine::removeOldFiles(root + QStringLiteral("/imageformats"));
    UpdateEngine::removeOldFiles(root + QStringLiteral("/accessible"));

    if (SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")))
        return 0;

    const QString localeName = QLocale::system().name();
    // A missing catalogue leaves the texts untranslated; installing the empty translator is
    // harmless.
    QTranslator ownTexts;
    const bool ownLoaded = ownTexts.load(QStringLiteral(":/i18n/update_") + localeName);
    application.installTranslator(&ownTexts);
    QTranslator toolkitTexts;
    const bool toolkitLoaded = toolkitTexts.load(QStringLiteral("translations/qt_") + localeName);
    application.installTranslator(&toolkitTexts);
    Q_UNUSED(ownLoaded);
    Q_UNUSED(toolkitLoaded);

    // The window exists before the command line is read, so that it shows every fatal error of
    // the configuration.
    Configuration configuration;
    MainWindow window(configuration);
    if (!configuration.parseCommandLineOptions())
        return 1;

    if (configuration.noUser == 1)
        QTimer::singleShot(2000, &window, &MainWindow::onAutoStartUpdate);
    window.setUIToConfigSpecs();
    window.show();
    window.setNews();
    return application.exec();
}
