#include "MainWindow.h"

#include "Configuration.h"
#include "LogCategory.h"
#include "SingleInstanceChecker.h"

#include <QCoreApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QVBoxLayout>

MainWindow::MainWindow(Configuration& configuration)
    : configuration(&configuration)
    , m_versionLabel(new QLabel(this))
    , m_newsLabel(new QLabel(this))
    , m_log(new QPlainTextEdit(this))
{
    setObjectName(QStringLiteral("MainWindow"));
    setWindowTitle(QStringLiteral("Kelvaro 3 Client Update"));
    m_versionLabel->setTextFormat(Qt::RichText);
    m_versionLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_newsLabel->setTextFormat(Qt::PlainText);
    m_newsLabel->setWordWrap(true);
    m_log->setReadOnly(true);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_versionLabel);
    layout->addWidget(m_newsLabel);
    layout->addWidget(m_log);

    auto* instanceChecker = new SingleInstanceChecker(this);
    connect(instanceChecker, &SingleInstanceChecker::otherInstanceActivate, this,
            &MainWindow::onOtherInstanceActivate);
    connect(&configuration, &Configuration::fatalError, this, &MainWindow::onFatalConfigError);
    connect(&configuration, &Configuration::message, this, &MainWindow::onAppendText);
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
    if (!configuration->versionName.isEmpty()) {
        text = QStringLiteral("<div style=\"font-weight:bold;font-size:14px\">")
            + tr("Update to Kelvaro %1.").arg(configuration->versionName.toHtmlEscaped())
            + QStringLiteral("</div>");
    }
    text += QStringLiteral("<div style=\"margin-top:8px\">")
        + tr("You are currently on <strong>%1 channel</strong>.").arg(channelName) + QStringLiteral("</div>");
    m_versionLabel->setText(text);
}

void MainWindow::setNews()
{
    m_newsLabel->setText(configuration->news);
}

void MainWindow::onAutoStartUpdate()
{
    onAppendText(QStringLiteral("Unattended start requested, but this build has no update engine "
                                "yet: nothing was updated."));
}

void MainWindow::onFatalConfigError(QString errorMessage)
{
    logUpdateLine(errorMessage);
    QMessageBox::critical(nullptr, QObject::tr("Error"), errorMessage, QMessageBox::Ok);
    // Ends a running event loop; during start-up, before the loop runs, this does nothing and the
    // failed parse ends the program instead.
    QCoreApplication::exit(1);
}

void MainWindow::onOtherInstanceActivate(QString message)
{
    if (message != QLatin1String("#"))
        return;
    raise();
    activateWindow();
}

void MainWindow::onAppendText(QString text)
{
    logUpdateLine(text);
    m_log->appendPlainText(text);
}
