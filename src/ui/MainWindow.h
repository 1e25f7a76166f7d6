#pragma once

#include "ui_MainWindow.h"

#include <QByteArray>
#include <QString>
#include <QWidget>

class Configuration;
class QCloseEvent;
class UpdateEngine;

// The program's window: the version to install and the channel, the news line, the banner, the
// progress, the transfer figures, a log that can be folded away and three buttons. It owns the
// UpdateEngine and the listening SingleInstanceChecker (children), turns the engine's signals into
// what the user sees and the user's clicks and closing into calls on the engine.
//
// The start button follows the run: "Start Update" (ready), disabled (running), "Start Kelvaro"
// (finished: starts the client and closes the window), "Restart" (cancelled). Closing during a run
// asks first; Yes cancels the run and the cancellation then ends the application.
//
// Untrusted text (the version's display name, news, log lines, error texts) is never shown as rich
// text. Only web pages are handed to the desktop.
//
// Top-level window without a parent; the configuration is not owned and must outlive the window.
// GUI thread only.
class MainWindow : public QWidget
{
    Q_OBJECT

public:
    // The maker's web site, behind the logo and the copyright line.
    static const char MakerWebSite[];
    // Unattended mode: the update starts this long after start-up, the client this long after
    // success; never earlier (precise timers: a coarse one may fire 5 % early).
    static constexpr int AutoStartDelayMs = 2000;
    static constexpr int AutoClientStartDelayMs = 1000;

    explicit MainWindow(Configuration& configuration);

    // Shows the version to install and the release channel; disables the start button for an
    // unattended run.
    void setUIToConfigSpecs();
    // Shows the configuration's news text in the news line.
    void setNews();

public Q_SLOTS:
    // Starts the update as if the start button had been pressed, also while it is disabled.
    void onAutoStartUpdate();

protected:
    void closeEvent(QCloseEvent* event) override;

private Q_SLOTS:
    // Error box without parent, then the event loop ends with exit code 1.
    void onFatalConfigError(QString errorMessage);
    // Error box, then the event loop ends with exit code 2.
    void onFatalError(QString errorMessage);
    // Log line and error box; whether the run goes on is the engine's business.
    void onError(QString errorMessage);
    void on_startButton_clicked();
    // Appends text as one plain-text paragraph to the log (and to standard error).
    void onAppendText(QString text);
    // doneFrac of the whole run, 0 to 1, shown on the bar as a whole number of thousandths.
    void onProgressUpdate(qreal doneFrac);
    void onDownloadProgress(quint64 downloadDone, quint64 downloadTotal, quint64 speed, bool downloading);
    void onUpdateFinished();
    void onUpdateCanceled();
    // "#" from a second start brings this window to the front; anything else is ignored.
    void onOtherInstanceActivate(QString message);
    void onBannerFound(QByteArray bannerImage, QString clickUrl);
    void onDetailsPressed();
    void on_changelogButton_clicked();

private:
    // The start button's work when no client is to be started: a new run unless one is busy.
    void startRunIfIdle();
    // Starts the client; closes the window when it started, otherwise logs why and stays open.
    void startClientAndClose();
    void showError(QWidget* parent, const QString& title, const QString& text);
    // Keeps the window's width while the transfer figures come and go.
    void reserveFigureSpace();

    Ui_MainWindow form;
    Configuration* configuration;
    UpdateEngine* engine;
    bool finished = false;
    bool closing = false;
};
