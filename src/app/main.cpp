// The updater's entry function: prepares the process, builds the configuration and the window,
// reads the command line and runs the event loop.
#include "Configuration.h"
#include "MainWindow.h"
#include "SingleInstanceChecker.h"
#include "Translations.h"
#include "UpdateEngine.h"

#include <QApplication>
#include <QLocale>
#include <QTimer>
#include <QTranslator>

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);

    // Asked first: while another instance runs, its set-aside copies are its rollback and must
    // stay.
    if (SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")))
        return 0;

    // Set-aside copies of the updater and its libraries from an earlier self-update can only go
    // now that nothing runs from them any more.
    const QString root = Configuration::getAppRootPath();
    UpdateEngine::removeOldFiles(root);
    UpdateEngine::removeOldFiles(root + QStringLiteral("/imageformats"));
    UpdateEngine::removeOldFiles(root + QStringLiteral("/accessible"));

    const QString localeName = QLocale::system().name();
    QTranslator ownTexts;
    QTranslator toolkitTexts;
    Translations::install(application, ownTexts, toolkitTexts, localeName);

    // The window exists before the command line is read, so that it shows every fatal error of
    // the configuration.
    Configuration configuration;
    MainWindow window(configuration);
    if (!configuration.parseCommandLineOptions())
        return 1;

    if (configuration.noUser == 1)
        QTimer::singleShot(MainWindow::AutoStartDelayMs, Qt::PreciseTimer, &window,
                           &MainWindow::onAutoStartUpdate);
    window.setUIToConfigSpecs();
    window.show();
    window.setNews();
    return application.exec();
}
