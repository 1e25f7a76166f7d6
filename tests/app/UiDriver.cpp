// Preloaded (LD_PRELOAD) into the real program by the start-up tests, to stand in for the user of
// a headless run:
// - every modal message box is answered (KV3_TEST_BOX_ANSWERS: comma-separated standard button
//   names such as "Retry,Abort"; when none is left the box is closed) and reported on standard
//   error as "[ui-driver] box: <title> | <text>";
// - the first top-level window that is shown is reported as "[ui-driver] window: <object name> |
//   <title>" and closed, which ends the program normally (left open when KV3_TEST_KEEP_WINDOW is
//   set);
// - with KV3_TEST_COVER_WINDOW set as well, a small window is then put in front of it ("[ui-driver]
//   covered: <object name>"), and every later activation of the first window is reported as
//   "[ui-driver] activated: <object name>": a test sees that something brought it forward.
// The program itself knows nothing of this; the variables are read only here.
#include "ModalBoxAnswerer.h"

#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QHash>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <cstdio>

namespace {

void report(const QString& line)
{
    QString text = line;
    text.replace(QLatin1Char('\n'), QLatin1String("\\n"));
    std::fprintf(stderr, "[ui-driver] %s\n", text.toLocal8Bit().constData());
    std::fflush(stderr);
}

QList<QMessageBox::StandardButton> scriptedAnswers()
{
    static const QHash<QByteArray, QMessageBox::StandardButton> byName {
        {"Ok", QMessageBox::Ok},         {"Retry", QMessageBox::Retry}, {"Abort", QMessageBox::Abort},
        {"Cancel", QMessageBox::Cancel}, {"Yes", QMessageBox::Yes},     {"No", QMessageBox::No},
        {"Close", QMessageBox::Close}};
    QList<QMessageBox::StandardButton> answers;
    const QList<QByteArray> names = qgetenv("KV3_TEST_BOX_ANSWERS").split(',');
    for (const QByteArray& name : names) {
        const auto found = byName.constFind(name.trimmed());
        if (found != byName.constEnd())
            answers.append(found.value());
    }
    return answers;
}

// Reports the activations of the window it watches.
class ActivationReporter : public QObject
{
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::WindowActivate)
            report(QStringLiteral("activated: %1").arg(watched->objectName()));
        return QObject::eventFilter(watched, event);
    }
};

// Puts a window of its own in front of window and reports once window has lost the focus.
void cover(QWidget* window)
{
    auto* coverWindow = new QWidget;
    coverWindow->setObjectName(QStringLiteral("kv3TestCover"));
    coverWindow->setAttribute(Qt::WA_DeleteOnClose);
    coverWindow->setAttribute(Qt::WA_QuitOnClose, false);
    coverWindow->resize(50, 50);
    coverWindow->show();
    coverWindow->raise();
    coverWindow->activateWindow();

    auto* wait = new QTimer(coverWindow);
    wait->setInterval(20);
    const QPointer<QWidget> watched(window);
    QObject::connect(wait, &QTimer::timeout, coverWindow, [wait, watched] {
        if (!watched || watched->isActiveWindow())
            return;
        wait->stop();
        watched->installEventFilter(new ActivationReporter(watched));
        report(QStringLiteral("covered: %1").arg(watched->objectName()));
    });
    wait->start();
}

void startDriver()
{
    auto* answerer = new ModalBoxAnswerer(scriptedAnswers(), QCoreApplication::instance());
    QObject::connect(answerer, &ModalBoxAnswerer::answered, answerer, [](const ModalBoxAnswerer::Seen& box) {
        report(QStringLiteral("box: %1 | %2").arg(box.title, box.text));
    });

    auto* windowWatch = new QTimer(QCoreApplication::instance());
    windowWatch->setInterval(20);
    QObject::connect(windowWatch, &QTimer::timeout, windowWatch, [windowWatch] {
        const QWidgetList windows = QApplication::topLevelWidgets();
        for (QWidget* window : windows) {
            if (!window->isVisible() || qobject_cast<QMessageBox*>(window)
                || QApplication::activeModalWidget())
                continue;
            report(QStringLiteral("window: %1 | %2").arg(window->objectName(), window->windowTitle()));
            windowWatch->stop();
            if (qEnvironmentVariableIsEmpty("KV3_TEST_KEEP_WINDOW"))
                window->close();
            else if (!qEnvironmentVariableIsEmpty("KV3_TEST_COVER_WINDOW"))
                cover(window);
            return;
        }
    });
    windowWatch->start();
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(startDriver)
