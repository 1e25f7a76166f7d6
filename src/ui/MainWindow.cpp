#include "MainWindow.h"

#include "ChangeLogViewer.h"
#include "Configuration.h"
#include "LogCategory.h"
#include "ProcessTools.h"
#include "ProxySetting.h"
#include "SingleInstanceChecker.h"
#include "UpdateEngine.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFontMetrics>
#include <QImage>
#include <QMessageBox>
#include <QPixmap>
#include <QScrollBar>
#include <QTextCursor>
#include <QTimer>
#include <QUrl>

const char MainWindow::MakerWebSite[] = "https://www.kelvaro.com/";

MainWindow::MainWindow(Configuration& configuration)
    : QWidget(nullptr)
    , configuration(&configuration)
    , engine(new UpdateEngine(configuration, this))
{
    connect(engine, &UpdateEngine::error, this, &MainWindow::onError);
    connect(engine, &UpdateEngine::fatalError, this, &MainWindow::onFatalError);
    connect(engine, &UpdateEngine::updateProgress, this, &MainWindow::onProgressUpdate);
    connect(engine, &UpdateEngine::downloadProgress, this, &MainWindow::onDownloadProgress);
    connect(engine, &UpdateEngine::message, this, &MainWindow::onAppendText);
    connect(engine, &UpdateEngine::updateFinished, this, &MainWindow::onUpdateFinished);
    connect(engine, &UpdateEngine::updateCanceled, this, &MainWindow::onUpdateCanceled);
    connect(engine, &UpdateEngine::bannerFound, this, &MainWindow::onBannerFound);

    form.setupUi(this);
    // Queued, so that the log has been shown or hidden by the button's toggled() before.
    connect(form.detailsButton, &QPushButton::clicked, this, &MainWindow::onDetailsPressed,
            Qt::QueuedConnection);
    form.kelvaroLabel->setUrl(QString::fromLatin1(MakerWebSite));
    form.outputTextEdit->hide();
    reserveFigureSpace();
    onDownloadProgress(0, 0, 0, false);

    auto* instanceChecker = new SingleInstanceChecker(this);
    connect(instanceChecker, &SingleInstanceChecker::otherInstanceActivate, this,
            &MainWindow::onOtherInstanceActivate);
    connect(&configuration, &Configuration::fatalError, this, &MainWindow::onFatalConfigError);

    engine->getBanner();
}

void MainWindow::reserveFigureSpace()
{
    // The window takes the size of its contents: figures that appear, vanish or grow during a run
    // would make it jump in width. Their room is kept while they are hidden, and the two that
    // change every second are wide enough for ten gigabytes and a hundred megabytes a second (the
    // total, which stays put, sits right after the "/").
    const QFontMetrics metrics(form.totalSizeLabel->font());
    form.totalSizeLabel->setMinimumWidth(metrics.horizontalAdvance(tr("%1 KB").arg(9999999)));
    form.downloadSpeedLabel->setMinimumWidth(metrics.horizontalAdvance(tr("%1 KB/s").arg(99999)));
    for (QWidget* figure :
         {static_cast<QWidget*>(form.totalSizeLabel), static_cast<QWidget*>(form.totalTotalSizeLabel),
          static_cast<QWidget*>(form.downloadSpeedLabel), static_cast<QWidget*>(form.label_6)}) {
        QSizePolicy policy = figure->sizePolicy();
        policy.setRetainSizeWhenHidden(true);
        figure->setSizePolicy(policy);
    }
}

void MainWindow::setUIToConfigSpecs()
{
    QString channelName;
    switch (configuration->channel) {
    case Stable:
        channelName = tr("Stable");
        break;
    case Beta:
        channelName = tr("Beta");
        break;
    case Alpha:
        channelName = tr("Alpha");
        break;
    }
    QString text;
    // The display name comes from the command line or the version service: shown as it reads.
    if (!configuration->versionName.isEmpty()) {
        text = QStringLiteral("<div style=\"font-weight:bold;font-size:14px\">")
            + tr("Update to Kelvaro %1.").arg(configuration->versionName.toHtmlEscaped())
            + QStringLiteral("</div>");
    }
    text += QStringLiteral("<div style=\"margin-top:8px\">")
        + tr("You are currently on <strong>%1 channel</strong>.").arg(channelName) + QStringLiteral("</div>");
    form.versionLabel->setText(text);

    if (configuration->noUser == 1)
        form.startButton->setEnabled(false);
}

void MainWindow::setNews()
{
    form.newsBanner->setNews(configuration->news);
}

void MainWindow::on_startButton_clicked()
{
    if (finished) {
        startClientAndClose();
        return;
    }
    startRunIfIdle();
}

void MainWindow::onAutoStartUpdate()
{
    on_startButton_clicked();
}

void MainWindow::startRunIfIdle()
{
    if (engine->busy())
        return;
    if (!engine->initialize())
        return;
    // A close question answered during an earlier run concerns that run only.
    closing = false;
    form.startButton->setEnabled(false);
    engine->startUpdate();
}

void MainWindow::startClientAndClose()
{
    QString reason;
    if (ProcessTools::startKv3Client(&reason)) {
        close();
        return;
    }
    // Closing would tell whoever waits for the updater that all went well.
    onAppendText(reason);
    form.detailsButton->setChecked(true);
}

void MainWindow::onProgressUpdate(qreal doneFrac)
{
    const qreal thousandths = qBound(qreal(0), doneFrac, qreal(1)) * 1000;
    form.totalProgressBar->setValue(int(thousandths));
}

void MainWindow::onDownloadProgress(quint64 downloadDone, quint64 downloadTotal, quint64 speed,
                                    bool downloading)
{
    form.totalSizeLabel->setVisible(downloading);
    form.totalTotalSizeLabel->setVisible(downloading);
    form.downloadSpeedLabel->setVisible(downloading);
    form.label_6->setVisible(downloading);
    if (!downloading)
        return;
    form.totalSizeLabel->setText(tr("%1 KB").arg(downloadDone / 1000));
    form.totalTotalSizeLabel->setText(tr("%1 KB").arg(downloadTotal / 1000));
    form.downloadSpeedLabel->setText(tr("%1 KB/s").arg(speed / 1000));
}

void MainWindow::onAppendText(QString text)
{
    logUpdateLine(text);
    // Log lines carry texts of mirrors and files: inserted as plain text, never guessed as HTML.
    QTextEdit* log = form.outputTextEdit;
    QScrollBar* scrollBar = log->verticalScrollBar();
    const bool atEnd = scrollBar->value() == scrollBar->maximum();
    QTextCursor cursor(log->document());
    cursor.movePosition(QTextCursor::End);
    if (!log->document()->isEmpty())
        cursor.insertBlock();
    cursor.insertText(text);
    if (atEnd)
        scrollBar->setValue(scrollBar->maximum());
}

void MainWindow::showError(QWidget* parent, const QString& title, const QString& text)
{
    QMessageBox box(QMessageBox::Critical, title, text, QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

void MainWindow::onError(QString errorMessage)
{
    onAppendText(errorMessage);
    showError(this, QObject::tr("Error"), errorMessage);
}

void MainWindow::onFatalError(QString errorMessage)
{
    logUpdateLine(errorMessage);
    showError(this, QObject::tr("Error"), errorMessage);
    QCoreApplication::exit(2);
}

void MainWindow::onFatalConfigError(QString errorMessage)
{
    logUpdateLine(errorMessage);
    showError(nullptr, QObject::tr("Error"), errorMessage);
    // Ends a running event loop; during start-up, before the loop runs, this does nothing and the
    // failed parse ends the program instead.
    QCoreApplication::exit(1);
}

void MainWindow::onUpdateFinished()
{
    finished = true;
    form.startButton->setText(tr("Start Kelvaro"));
    form.startButton->setEnabled(true);
    form.startButton->setFocus(Qt::OtherFocusReason);
    if (closing) {
        // The user asked to leave and the run was already past the point of no return.
        closing = false;
        close();
        return;
    }
    if (configuration->noUser == 1 && !ChangeLogViewer::instance())
        QTimer::singleShot(AutoClientStartDelayMs, Qt::PreciseTimer, this,
                           &MainWindow::on_startButton_clicked);
}

void MainWindow::onUpdateCanceled()
{
    if (closing) {
        // exit(0) rather than quit(): it ends whichever event loop runs, not only exec()'s.
        QCoreApplication::exit(0);
        return;
    }
    finished = false;
    engine->reset();
    form.startButton->setText(tr("Restart"));
    form.startButton->setEnabled(true);
    onAppendText(tr("Update cancelled"));
    form.totalProgressBar->setValue(0);
    QMessageBox box(QMessageBox::Critical, tr("Update"),
                    tr("Update cancelled. Push \"Details\" to check reasons."), QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

void MainWindow::onDetailsPressed()
{
    if (!form.outputTextEdit->isVisible())
        return;
    QScrollBar* scrollBar = form.outputTextEdit->verticalScrollBar();
    scrollBar->setValue(scrollBar->maximum());
}

void MainWindow::on_changelogButton_clicked()
{
    const QNetworkProxy proxy =
        ProxySetting::parse(configuration->proxy).value_or(QNetworkProxy(QNetworkProxy::NoProxy));
    ChangeLogViewer::showRemoteChangeLogDialog(this, QString::number(configuration->clientVersion), proxy);
}

void MainWindow::onBannerFound(QByteArray bannerImage, QString clickUrl)
{
    const QImage image = QImage::fromData(bannerImage);
    if (image.isNull())
        return;
    const QUrl url(clickUrl);
    form.banner->setToolTip(tr("Click to open \"%1://%2\"").arg(url.scheme(), url.host()));
    form.banner->setUrl(clickUrl);
    form.banner->setPixmap(QPixmap::fromImage(image));
}

void MainWindow::onOtherInstanceActivate(QString message)
{
    if (message != QLatin1String("#"))
        return;
    raise();
    activateWindow();
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (!engine->busy()) {
        event->accept();
        return;
    }
    event->ignore();
    if (closing)
        return;
    QMessageBox question(QMessageBox::Question, tr("Question"),
                         tr("<p>Update in progress.</p><p>Are you sure you want to abort?</p>"),
                         QMessageBox::Yes | QMessageBox::No, this);
    question.setTextFormat(Qt::RichText);
    if (question.exec() != QMessageBox::Yes)
        return;
    if (!engine->busy()) {
        // The run ended while the question was open: nothing is left to cancel.
        event->accept();
        return;
    }
    closing = true;
    engine->cancelUpdate();
}
