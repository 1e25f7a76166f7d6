#include "ChangeLogViewer.h"

#include "Configuration.h"
#include "RandomGenerator.h"
#include "SettingsText.h"
#include "WebUrl.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QFontDatabase>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QScreen>
#include <QSettings>
#include <QTextEdit>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

ChangeLogViewer* ChangeLogViewer::m_instance = nullptr;

namespace {

const char BodyMovedMarker[] = "document has moved";

} // namespace

ChangeLogViewer::ChangeLogViewer(QWidget* parent, const QNetworkProxy& proxy)
    : QDialog(parent, Qt::Dialog | Qt::WindowSystemMenuHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
    , m_textEdit(new QTextEdit(this))
    , m_proxy(proxy)
{
    setObjectName(QStringLiteral("ChangeLogViewer"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(tr("Changelog"));

    m_textEdit->setObjectName(QStringLiteral("changeLogTextEdit"));
    m_textEdit->setReadOnly(true);
    m_textEdit->setAcceptRichText(false);
    m_textEdit->setLineWrapMode(QTextEdit::NoWrap);
    QFont font = m_textEdit->font();
    font.setStyleHint(QFont::TypeWriter);
    font.setFamily(font.defaultFamily());
    m_textEdit->setFont(font);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, Qt::Horizontal, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::close);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_textEdit);
    layout->addWidget(buttons);
}

ChangeLogViewer::~ChangeLogViewer()
{
    if (m_instance == this)
        m_instance = nullptr;
    if (m_reply) {
        // The reply goes with the manager, a child; its finished() must not reach this half-gone
        // object.
        disconnect(m_reply, nullptr, this, nullptr);
        m_reply = nullptr;
    }
}

void ChangeLogViewer::showRemoteChangeLogDialog(QWidget* parent, const QString& version,
                                                const QNetworkProxy& proxy)
{
    if (!m_instance) {
        m_instance = new ChangeLogViewer(parent, proxy);
        m_instance->requestRemote(version);
    }
    m_instance->show();
    m_instance->raise();
    m_instance->activateWindow();
}

QString ChangeLogViewer::text() const
{
    return m_textEdit->toPlainText();
}

void ChangeLogViewer::requestRemote(QString version)
{
    if (m_reply)
        return;
    m_textEdit->setPlainText(tr("Loading..."));
    if (!version.isEmpty())
        m_version = version;

    QUrl address;
    do {
        QString base = getRemoteUrl();
        if (base.isEmpty()) {
            m_textEdit->setPlainText(tr("Failed to load changelog."));
            return;
        }
        if (!base.endsWith(QLatin1Char('/')))
            base += QLatin1Char('/');
        address = QUrl(base + m_version + QStringLiteral("/changelog_client.txt"));
        // The settings files are not trusted either: a file: URL could name a FIFO or /dev/zero.
    } while (!WebUrl::isWebPage(address));

    if (!m_network) {
        m_network = new QNetworkAccessManager(this);
        m_network->setProxy(m_proxy);
    }
    QNetworkRequest request(address);
    // A redirect answer is a failed mirror, like the redirect page of an old server.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    m_body.clear();
    m_tooLarge = false;
    QNetworkReply* reply = m_network->get(request);
    m_reply = reply;
    connect(reply, &QNetworkReply::readyRead, this, [this, reply] { onReadyRead(reply); });
    connect(reply, &QNetworkReply::finished, this, [this, reply] { onRequestFinished(reply); });

    if (!m_timeout) {
        m_timeout = new QTimer(this);
        m_timeout->setSingleShot(true);
        m_timeout->setInterval(AttemptTimeoutMs);
        connect(m_timeout, &QTimer::timeout, this, &ChangeLogViewer::onRequestTimeout);
    }
    m_timeout->start();
}

QString ChangeLogViewer::getRemoteUrl()
{
    if (m_sourcesRead || !m_mirrorUrls.isEmpty())
        return getRandomMirror();
    m_sourcesRead = true;

    const QDir root(Configuration::getAppRootPath());
    const QString updateIni = root.filePath(QStringLiteral("update.ini"));
    if (QFileInfo::exists(updateIni)) {
        const QSettings settings(updateIni, QSettings::IniFormat);
        const QString alpha = SettingsText::value(settings, QStringLiteral("Channel/alpha"));
        if (!alpha.isEmpty())
            return alpha;
    }
    const QString mirrorsIni = root.filePath(QStringLiteral("mirrors.ini"));
    if (!QFileInfo::exists(mirrorsIni))
        return QString();
    QSettings settings(mirrorsIni, QSettings::IniFormat);
    QStringList names;
    const int count = settings.beginReadArray(QStringLiteral("mirrors"));
    for (int i = 0; i < count; ++i) {
        settings.setArrayIndex(i);
        names.append(SettingsText::value(settings, QStringLiteral("mirror")));
    }
    settings.endArray();
    for (const QString& name : std::as_const(names)) {
        const QString url = SettingsText::value(settings, name + QStringLiteral("/url"));
        if (!url.isEmpty())
            m_mirrorUrls.append(url);
    }
    return getRandomMirror();
}

QString ChangeLogViewer::getRandomMirror()
{
    if (m_mirrorUrls.isEmpty())
        return QString();
    const int index = int(RandomGenerator::program().next() % quint32(m_mirrorUrls.size()));
    return m_mirrorUrls.takeAt(index);
}

void ChangeLogViewer::onReadyRead(QNetworkReply* reply)
{
    if (reply != m_reply || m_tooLarge)
        return;
    const QVariant declared = reply->header(QNetworkRequest::ContentLengthHeader);
    if (declared.isValid() && declared.toLongLong() > MaxBodyBytes) {
        m_tooLarge = true;
        reply->abort(); // emits finished() at once; see below
        return;
    }
    const qint64 room = MaxBodyBytes + 1 - m_body.size();
    m_body += reply->read(std::min(room, reply->bytesAvailable()));
    if (m_body.size() <= MaxBodyBytes)
        return;
    m_tooLarge = true;
    // abort() emits finished() at once, which moves on to the next mirror: nothing may touch the
    // reply after it.
    reply->abort();
}

void ChangeLogViewer::onRequestFinished(QNetworkReply* reply)
{
    if (reply != m_reply) {
        reply->deleteLater();
        return;
    }
    if (m_timeout)
        m_timeout->stop();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    bool ok = reply->error() == QNetworkReply::NoError && !m_tooLarge && status >= 200 && status < 300;
    if (ok) {
        m_body += reply->read(MaxBodyBytes + 1 - m_body.size());
        ok = m_body.size() <= MaxBodyBytes && reply->bytesAvailable() == 0;
    }
    // Change logs are written in UTF-8; the locale's encoding has no say in what a server sends.
    const QString body = ok ? QString::fromUtf8(m_body) : QString();
    reply->deleteLater();
    m_reply = nullptr;
    m_body.clear();
    if (ok && !body.contains(QLatin1String(BodyMovedMarker))) {
        load(body);
        return;
    }
    requestRemote(QString());
}

void ChangeLogViewer::onRequestTimeout()
{
    if (!m_reply)
        return;
    // finished() arrives inside abort() and starts the next attempt; m_reply already names that
    // one when abort() returns.
    m_reply->abort();
}

void ChangeLogViewer::load(const QString& text)
{
    m_textEdit->setPlainText(text);
    if (text.isEmpty())
        return;

    const QFontMetrics metrics(m_textEdit->font());
    int widest = 0;
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (const QString& line : lines)
        widest = std::max(widest, metrics.horizontalAdvance(line));
    int width = widest == 0 ? 500 : widest + 50;
    int height = 500;

    const QScreen* where = screen();
    const QRect available = where ? where->availableGeometry() : QRect();
    if (available.isValid()) {
        width = std::min(width, available.width());
        height = available.height() <= 499 ? available.height() : 500;
    }
    resize(width, height);
}
