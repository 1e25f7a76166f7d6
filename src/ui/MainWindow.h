#pragma once

#include <QString>
#include <QWidget>

class Configuration;
class QLabel;
class QPlainTextEdit;

// The program's window. This is a place-holder until the real window with its form, engine,
// banner and buttons exists: it shows the version, the channel, the news and a log, turns fatal
// errors of the configuration into the error box that ends the program with exit code 1, and
// listens for a second start (SingleInstanceChecker, a child). It cannot run an update.
//
// Top-level window without a parent; the configuration is not owned and must outlive the window.
// GUI thread only.
class MainWindow : public QWidget
{
    Q_OBJECT

public:
    explicit MainWindow(Configuration& configuration);

    // Shows the version to install and the release channel.
    void setUIToConfigSpecs();
    // Shows the configuration's news text.
    void setNews();

public Q_SLOTS:
    // Would start the update without a click; the update engine is not part of this build yet,
    // so it only says so in the log.
    void onAutoStartUpdate();

private Q_SLOTS:
    // Shows the text in a modal error box without parent, then asks the event loop to end with
    // exit code 1 (no effect while the loop does not run yet).
    void onFatalConfigError(QString errorMessage);
    // Appends a line to the log (and to standard error).
    void onAppendText(QString text);
    // A second start sent message: "#" brings this window to the front, anything else is ignored.
    void onOtherInstanceActivate(QString message);

private:
    Configuration* configuration;
    QLabel* m_versionLabel;
    QLabel* m_newsLabel;
    QPlainTextEdit* m_log;
};
