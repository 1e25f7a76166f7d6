#include "UpdateEngine.h"

#include "Banner.h"
#include "Configuration.h"
#include "CryptoHelper.h"
#include "MainTaskSpecification.h"
#include "Mirrors.h"
#include "RandomGenerator.h"
#include "UpdateIniData.h"
#include "crypt_exception.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

#include <sys/stat.h>

namespace {

// lstat(), so that a link is seen as the link it is and never as what it points to.
bool isRealDirectory(const QString& path)
{
    struct stat info;
    return ::lstat(QFile::encodeName(QDir::cleanPath(path)).constData(), &info) == 0 && S_ISDIR(info.st_mode);
}

} // namespace

UpdateEngine::UpdateEngine(Configuration& configuration, QObject* parent)
    : QObject(parent)
    , configuration(&configuration)
    , m_bannerHost(Configuration::defaultVersionServerHost())
    , m_bannerPort(Banner::DefaultPort)
    , m_bannerRetryIntervalMs(Banner::DefaultRetryIntervalMs)
{
    connect(&configuration, &Configuration::message, this, &UpdateEngine::message);

    timer = new QTimer(this);
    timer->setInterval(1000);
    connect(timer, &QTimer::timeout, this, &UpdateEngine::onTimer);

    networkManager = new QNetworkAccessManager(this);

    configuration.getProxyAndDownloadConcurrency();
    QNetworkProxy proxy(QNetworkProxy::NoProxy);
    if (configuration.proxy.isEmpty() || parseProxy(configuration.proxy, proxy)) {
        // An explicit NoProxy for an empty setting: neither an application-wide nor the desktop's
        // proxy is used.
        networkManager->setProxy(proxy);
    } else {
        // Nobody is connected yet while the engine is being built; the report waits in the event
        // loop until the window that creates the engine has connected to it.
        const QString text =
            QStringLiteral("'%1' is an invalid proxy specification").arg(configuration.proxy);
        QMetaObject::invokeMethod(
            this, [this, text] { Q_EMIT fatalError(text); }, Qt::QueuedConnection);
    }
}

bool UpdateEngine::parseProxy(const QString& setting, QNetworkProxy& proxy)
{
    // "host:port" would parse as a URL of scheme "host" without any host, and every transfer
    // would then fail; a setting without a scheme is taken for an HTTP proxy.
    QString text = setting;
    if (!text.contains(QLatin1String("://")))
        text.prepend(QLatin1String("http://"));
    const QUrl url(text, QUrl::TolerantMode);
    if (!url.isValid() || url.host().isEmpty())
        return false;
    // A user name or password in the URL is not used.
    proxy = QNetworkProxy(QNetworkProxy::HttpProxy, url.host(), quint16(url.port(3128)));
    return true;
}

bool UpdateEngine::initialize()
{
    try {
        crypt_init();
    } catch (const crypt_exception& exception) {
        Q_EMIT fatalError(QString::fromLocal8Bit(exception.what()));
        return false;
    }

    const QDir root(Configuration::getAppRootPath());
    const QString mirrorsIni = QStringLiteral("mirrors.ini");
    // Checked for every channel, also for Alpha, whose mirror comes from update.ini.
    if (!QFileInfo(root.absoluteFilePath(mirrorsIni)).isFile()) {
        Q_EMIT fatalError(QStringLiteral("%1 is missing, cannot proceed.").arg(mirrorsIni));
        return false;
    }

    RandomGenerator::program().seed(quint32(QDateTime::currentSecsSinceEpoch()));

    int version = 0;
    QString dir;
    if (UpdateIniData::get(&version, nullptr, &dir)) {
        if (version == configuration->clientVersion) {
            // The product ini and every file already fetched with the right sum are used as they
            // are in this directory.
            Q_EMIT message(QStringLiteral("Previous update session for v. %1 found").arg(version));
        } else {
            Q_EMIT message(
                QStringLiteral("Cleanup previous session (v. %1, %2) files...").arg(version).arg(dir));
            bool entered = false;
            const bool removed = removeSessionDirectory(dir, &entered);
            if (entered)
                Q_EMIT message(removed ? QStringLiteral("Ok") : QStringLiteral("Failed to remove directory"));
            dir.clear();
            UpdateIniData::cleanup();
        }
    }

    if (!configuration->initalizeStart(dir))
        return false;
    // The mark tells the next start this directory from anything that may carry its name by then;
    // without it the next start cannot resume here and begins afresh, so the run itself goes on.
    if (!UpdateIniData::markSessionDirectory(configuration->tempDir))
        Q_EMIT message(QStringLiteral("Failed to mark the session directory %1").arg(configuration->tempDir));
    UpdateIniData::modify(configuration->clientVersion, configuration->tempDir, configuration->clientType);

    // The pool of an earlier run may still be referenced by its task, whose deletion is already
    // posted; this one goes after it.
    if (mirrors)
        mirrors->deleteLater();
    mirrors = new Mirrors(this);
    connect(mirrors, &Mirrors::fatalError, this, &UpdateEngine::fatalError);
    connect(mirrors, &Mirrors::message, this, &UpdateEngine::message);
    const bool filled = configuration->channel == Alpha
        ? mirrors->initAlpha(UpdateIniData::filename(), configuration->clientVersion)
        : mirrors->initDefault(root.absoluteFilePath(mirrorsIni), configuration->clientVersion);
    if (!filled)
        return false;

    state = Ready;
    return true;
}

bool UpdateEngine::startUpdate()
{
    task = new MainTaskSpecification(networkManager, mirrors, configuration, this, 1.0);
    connect(task, &TaskSpecification::finished, this, &UpdateEngine::onTaskFinished);
    connect(task, &TaskSpecification::canceled, this, &UpdateEngine::onTaskCanceled);
    connect(task, &TaskSpecification::error, this, &UpdateEngine::error);
    connect(task, &TaskSpecification::updateProgress, this, &UpdateEngine::updateProgress);
    connect(task, &TaskSpecification::message, this, &UpdateEngine::message);
    state = Running;
    timer->start(1000);
    task->execute();
    return true;
}

bool UpdateEngine::busy()
{
    return state == Ready || state == Running;
}

void UpdateEngine::reset()
{
    state = Idle;
    timer->stop();
    if (task) {
        disconnect(task, nullptr, this, nullptr);
        task->deleteLater();
        task = nullptr;
    }
}

void UpdateEngine::cancelUpdate()
{
    if (state == Running && task)
        task->userCanceled();
}

void UpdateEngine::onTimer()
{
    if (state != Running || !task)
        return;
    quint64 downloadDone = 0;
    quint64 downloadTotal = 0;
    quint64 speed = 0;
    bool downloading = false;
    // Also the clock of the transfers' stall detection.
    task->timeTick(downloadDone, downloadTotal, speed, downloading);
    Q_EMIT downloadProgress(downloadDone, downloadTotal, speed, downloading);
}

void UpdateEngine::onTaskFinished()
{
    timer->stop();
    cleanup();
    state = Finished;
    Q_EMIT message(QStringLiteral("Update successfully finished"));
    disconnect(task, nullptr, this, nullptr);
    task->deleteLater();
    task = nullptr;
    Q_EMIT downloadProgress(0, 0, 0, false);
    Q_EMIT updateFinished();
}

void UpdateEngine::onTaskCanceled()
{
    timer->stop();
    state = Canceled;
    if (task->state == StateUserCanceled)
        Q_EMIT message(QStringLiteral("User aborted update"));
    disconnect(task, nullptr, this, nullptr);
    task->deleteLater();
    task = nullptr;
    // The temporary directory and the session record stay for the next run.
    Q_EMIT downloadProgress(0, 0, 0, false);
    Q_EMIT updateCanceled();
}

void UpdateEngine::cleanup()
{
    Q_EMIT message(QStringLiteral("Remove temporary files..."));
    // The run's own directory, which this process created or verified as its session's, and never
    // whatever update.ini may name by now.
    const QString dir = configuration->tempDir;
    if (!dir.isEmpty() && isRealDirectory(dir))
        removeSessionDirectory(dir, nullptr);
    UpdateIniData::cleanup();
    Q_EMIT message(QStringLiteral("Temporary files removed."));
}

void UpdateEngine::cleanupDirectory(const QString& path)
{
    emptyDirectory(path, QString());
}

void UpdateEngine::emptyDirectory(const QString& path, const QString& keptName)
{
    if (!isRealDirectory(path))
        return;
    const QDir dir(path);
    const QFileInfoList entries =
        dir.entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo& entry : entries) {
        if (!keptName.isEmpty() && entry.fileName() == keptName)
            continue;
        const QString entryPath = entry.absoluteFilePath();
        // A link is removed as the link it is, whatever it points to: following one could empty a
        // folder anywhere.
        if (!entry.isSymLink() && isRealDirectory(entryPath)) {
            emptyDirectory(entryPath, QString());
            dir.rmdir(entry.fileName());
        } else {
            QFile::remove(entryPath);
        }
    }
}

bool UpdateEngine::removeSessionDirectory(const QString& path, bool* entered)
{
    const QString marker = UpdateIniData::sessionMarkerName();
    emptyDirectory(path, marker);
    // Only once nothing else is left: a directory that could not be emptied keeps its marker, so
    // the record still leads the next start to it.
    const QStringList left =
        QDir(path).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    if (left.isEmpty() || left == QStringList {marker})
        QFile::remove(QDir(path).filePath(marker));
    return removeDirectory(path, entered);
}

bool UpdateEngine::removeDirectory(const QString& path, bool* entered)
{
    const QFileInfo info(QDir::cleanPath(path));
    QDir parent;
    const bool canEnter = parent.cd(info.absolutePath());
    if (entered)
        *entered = canEnter;
    return canEnter && parent.rmdir(info.fileName());
}

void UpdateEngine::setBannerService(const QString& host, quint16 port, int retryIntervalMs)
{
    m_bannerHost = host;
    m_bannerPort = port;
    m_bannerRetryIntervalMs = retryIntervalMs;
}

void UpdateEngine::getBanner()
{
    if (bannerReply)
        return;
    auto* banner = new Banner(this, m_bannerHost, m_bannerPort, m_bannerRetryIntervalMs);
    connect(banner, &Banner::bannerFound, this, &UpdateEngine::onBannerFound);
    // One exchange per Banner; its socket is not needed afterwards.
    connect(banner, &Banner::exchangeEnded, banner, &QObject::deleteLater);
    banner->run();
}

void UpdateEngine::onBannerFound(QString bannerUrl, QString clickUrl)
{
    // The URL comes in an unauthenticated datagram: only a web address is fetched, never a local
    // file or another scheme the manager happens to know.
    const QUrl url(bannerUrl);
    const QString scheme = url.scheme();
    if (!url.isValid() || url.host().isEmpty()
        || (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
        return;
    if (bannerReply)
        return;
    this->clickUrl = clickUrl;
    m_bannerData.clear();
    bannerReply = networkManager->get(QNetworkRequest(url));
    // Read as it arrives and counted; the buffer never needs to hold more than the limit.
    bannerReply->setReadBufferSize(MaxBannerBytes + 1);
    connect(bannerReply, &QNetworkReply::finished, this, &UpdateEngine::onBannerDownloadFinished);
    connect(bannerReply, &QNetworkReply::metaDataChanged, this, &UpdateEngine::onBannermetaDataChanged);
    connect(bannerReply, &QNetworkReply::readyRead, this, &UpdateEngine::onBannerReadyRead);
}

void UpdateEngine::onBannermetaDataChanged()
{
    if (!bannerReply)
        return;
    const QVariant length = bannerReply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid() && length.toLongLong() > MaxBannerBytes)
        releaseBannerReply();
}

void UpdateEngine::onBannerReadyRead()
{
    if (!bannerReply)
        return;
    // A body without a length, or longer than announced, is counted as it arrives.
    m_bannerData += bannerReply->read(MaxBannerBytes + 1 - m_bannerData.size());
    if (m_bannerData.size() > MaxBannerBytes)
        releaseBannerReply();
}

void UpdateEngine::onBannerDownloadFinished()
{
    if (!bannerReply)
        return;
    onBannerReadyRead();
    if (!bannerReply)
        return;
    const QByteArray data = m_bannerData;
    disconnect(bannerReply, nullptr, this, nullptr);
    bannerReply->deleteLater();
    bannerReply = nullptr;
    m_bannerData.clear();
    // The reply's error is not examined: whatever arrived, possibly nothing, goes to the window,
    // which shows only a picture it can read.
    Q_EMIT bannerFound(data, clickUrl);
}

void UpdateEngine::releaseBannerReply()
{
    // Disconnected first: abort() emits finished() at once.
    disconnect(bannerReply, nullptr, this, nullptr);
    bannerReply->abort();
    bannerReply->deleteLater();
    bannerReply = nullptr;
    m_bannerData.clear();
}

void UpdateEngine::removeOldFiles(const QString& directory)
{
    const QDir dir(directory);
    const QString& prefix = Configuration::getSpecialFileRenamePrefix();
    const QStringList names = Configuration::getSpecialFileNames();
    for (const QString& name : names) {
        // QFile::remove() deletes a link, not what it points to; a directory of that name is
        // nothing this program set aside and stays.
        const QString path = dir.filePath(prefix + name);
        const QFileInfo info(path);
        if (info.isSymLink() || info.isFile())
            QFile::remove(path);
    }
}
