#include "DownloadTaskSpecification.h"

#include "Mirrors.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

#include <sys/stat.h>

namespace {
constexpr qint64 chunkSize = 4096;
constexpr qint64 readBufferSize = 1024 * 1024;
} // namespace

DownloadTaskSpecification::DownloadTaskSpecification(QNetworkAccessManager* manager, Mirrors* mirrors,
                                                     const QString& remoteFile, const QString& localFile,
                                                     qint64 expectedSize, QObject* parent, double weight)
    : TaskSpecification(parent, weight)
    , manager(manager)
    , mirrors(mirrors)
    , remoteFile(remoteFile)
    , file(localFile)
    , expectedSize(expectedSize)
    , initialExpectedSize(expectedSize)
{
    m_retryTimer.setSingleShot(true);
    m_retryTimer.setInterval(0);
    connect(&m_retryTimer, &QTimer::timeout, this, [this] {
        if (state == StateRunning && !reply)
            startDownload();
    });
}

DownloadTaskSpecification::~DownloadTaskSpecification()
{
    if (reply) {
        disconnect(reply, nullptr, this, nullptr);
        reply->deleteLater();
    }
}

void DownloadTaskSpecification::execute()
{
    Q_EMIT message(QStringLiteral("Downloading %1").arg(remoteFile));
    state = StateRunning;
    startDownload();
}

void DownloadTaskSpecification::reset()
{
    resetDownload();
    TaskSpecification::reset();
}

void DownloadTaskSpecification::startDownload()
{
    const int result = mirrors->getRandomMirror(mirror);
    if (result == 1) {
        // The pool has said once that it is empty; the task adds nothing.
        errorCancel();
        return;
    }
    if (result == 2) {
        // Queued: by the time the wait ends, the finishing transfer has handled its reply and given
        // its slot back.
        if (manager)
            connect(manager, &QNetworkAccessManager::finished, this,
                    &DownloadTaskSpecification::onOtherDownloadFinished,
                    Qt::ConnectionType(Qt::QueuedConnection | Qt::UniqueConnection));
        return;
    }
    m_holdsSlot = true;

    // Unbuffered, so that a full disk fails the write that meets it instead of a later flush that
    // nobody checks.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        failLocally(QStringLiteral("Unable to create file %1 for saving").arg(file.fileName()));
        return;
    }

    // The mirror's url is URL text and keeps its escapes as written: decoded, "a%2Fb" would name
    // another resource. The remote path is a file name, not URL text: "#", "?" and "%" in it name
    // the file itself, so it alone is encoded.
    QUrl url(mirror.url);
    url.setPath(url.path(QUrl::FullyEncoded) + QLatin1Char('/')
                    + QString::fromLatin1(QUrl::toPercentEncoding(remoteFile, QByteArrayLiteral("/"))),
                QUrl::TolerantMode);
    QNetworkRequest request(url);
    // A redirect must reach onMetaDataChanged as a status other than 200 and drop the mirror.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    // Without it the client offers gzip and unpacks a body labelled "Content-Encoding: gzip", as
    // many servers label stored .gz files: the file's checksum is that of the stored bytes.
    request.setRawHeader("Accept-Encoding", "identity");
    reply = manager ? manager->get(request) : nullptr;
    if (!reply) {
        failLocally(QStringLiteral("Download failed to initialize"));
        return;
    }
    // Bounds what the client buffers ahead of the file: with the default unlimited buffer, a fast
    // mirror and several transfers at once hold hundreds of MiB in memory before they reach disk.
    reply->setReadBufferSize(readBufferSize);
    if (!reply->isRunning()) {
        // Replies of some schemes (a local file) are complete before get() returns and send no
        // further signals: take the result as it is. A failed one is retried with its error
        // string, a complete one is drained and finished.
        onDownloadFinished();
        return;
    }
    connect(reply, &QNetworkReply::downloadProgress, this, &DownloadTaskSpecification::onDownloadProgress);
    connect(reply, &QNetworkReply::readyRead, this, &DownloadTaskSpecification::onReadyRead);
    connect(reply, &QNetworkReply::finished, this, &DownloadTaskSpecification::onDownloadFinished);
    connect(reply, &QNetworkReply::metaDataChanged, this, &DownloadTaskSpecification::onMetaDataChanged);
}

void DownloadTaskSpecification::onMetaDataChanged()
{
    if (!reply)
        return;
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isNull())
        return;
    bool ok = false;
    const int code = status.toInt(&ok);
    if (ok && code == 200)
        return;
    // Any other answer, a redirect or a 206 included, means the mirror does not hold the release
    // the way it must: it is dropped for the rest of the run.
    mirrors->removeMirror(mirror.name);
    errorRetry(QStringLiteral("%1 returned %2")
                   .arg(mirror.url + QLatin1Char('/') + remoteFile, QString::number(ok ? code : 0)));
}

void DownloadTaskSpecification::onReadyRead()
{
    readData();
}

bool DownloadTaskSpecification::readData()
{
    char buffer[chunkSize];
    const qint64 limit = initialExpectedSize > 0 ? initialExpectedSize : sizeLimit;
    while (reply) {
        // Any look at the reply counts as a sign of life, whether or not data is there.
        idleTicks = 0;
        const qint64 available = reply->bytesAvailable();
        if (available <= 0)
            return true;
        const qint64 read = reply->read(buffer, qMin(available, chunkSize));
        if (read < 0) {
            errorRetry(reply->errorString());
            return false;
        }
        if (read == 0)
            return true;
        if (bytesDone + read > limit) {
            errorRetry(
                QStringLiteral("file %1 is larger than expected on mirror %2").arg(remoteFile, mirror.name));
            return false;
        }
        // A failed write is the local side's fault (a full disk, a broken device): another mirror
        // would meet it too, so the run ends here and the pool stays as it is.
        const qint64 written = file.write(buffer, read);
        if (written < 0) {
            failLocally(file.errorString());
            return false;
        }
        if (written != read) {
            failLocally(QStringLiteral("Error writing to file %1. Should write %2 bytes but wrote %3 bytes")
                            .arg(file.fileName(), QString::number(read), QString::number(written)));
            return false;
        }
        bytesDone += read;
        if (expectedSize > 0)
            setProgress(qMin(1.0, double(bytesDone) / double(expectedSize)));
    }
    return true;
}

void DownloadTaskSpecification::onDownloadFinished()
{
    if (!reply)
        return;
    if (reply->error() != QNetworkReply::NoError) {
        const QString reason = reply->errorString();
        if (reply->error() == QNetworkReply::AuthenticationRequiredError) {
            mirrors->removeMirror(mirror.name);
            reply->close();
        }
        errorRetry(reason);
        return;
    }
    if (!readData())
        return; // a new attempt is already under way, or the task has ended
    if (!fileInPlace()) {
        // Closed first: whatever now stands at the path is not this task's to delete.
        file.close();
        failLocally(localFileLostText(file.fileName()));
        return;
    }
    reply->close();
    reply->deleteLater();
    reply = nullptr;
    file.close();
    downloadFinished();
}

void DownloadTaskSpecification::downloadFinished()
{
    Q_EMIT message(QStringLiteral("Downloading %1 finished").arg(remoteFile));
    giveSlotBack();
    finish();
}

void DownloadTaskSpecification::onDownloadProgress(qint64, qint64 bytesTotal)
{
    // Only a length the caller did not know is learned; a planned size is never replaced.
    if (bytesTotal > 0 && expectedSize == -1)
        expectedSize = bytesTotal;
}

void DownloadTaskSpecification::timeTick(quint64& downloadDone, quint64& downloadTotal, quint64& speed,
                                         bool& downloading)
{
    downloadDone = quint64(bytesDone);
    downloadTotal = expectedSize >= 0 ? quint64(expectedSize) : 0;
    const qint64 tickBytes = bytesDone - lastTickBytes;
    speed = quint64(tickBytes);
    lastTickBytes = bytesDone;
    if (state == StateRunning && reply) {
        ++idleTicks;
        // Any byte resets the idle count, so a mirror that trickles is caught by its rate instead.
        const bool slow = tooSlow(tickBytes);
        if (idleTicks > mirror.timeout || slow)
            errorRetry(QStringLiteral("file %1 timed out on mirror %2").arg(remoteFile, mirror.name));
        else
            downloading = true;
    }
}

bool DownloadTaskSpecification::tooSlow(qint64 tickBytes)
{
    m_windowBytes += tickBytes - m_tickBytes[m_nextTick];
    m_tickBytes[m_nextTick] = tickBytes;
    m_nextTick = (m_nextTick + 1) % slowWindowTicks;
    if (m_nextTick == 0)
        m_windowFull = true;
    return m_windowFull && m_windowBytes < slowestRate * slowWindowTicks;
}

bool DownloadTaskSpecification::errorRetry(QString reason)
{
    // Counted before the slot is given back; a mirror already removed is simply not found.
    mirrors->addMirrorError(mirror.name);
    resetDownload();
    Q_EMIT message(reason);
    // Some replies (a local file) have failed before get() returns: started from here, every retry
    // would nest one call deeper, and a mirror with a large error allowance overflows the stack.
    m_retryTimer.start();
    return true;
}

void DownloadTaskSpecification::resetDownload()
{
    giveSlotBack();
    mirror.name.clear();
    stopWaitingForSlot();
    if (reply) {
        QNetworkReply* dropped = reply;
        reply = nullptr;
        disconnect(dropped, nullptr, this, nullptr);
        // The abort stops the data of a dropped attempt and makes the manager announce the end of
        // this transfer, which wakes tasks that wait for a slot (a reply that is merely deleted
        // ends silently). It is queued because the attempt is often dropped from inside one of
        // the reply's own signals, where the reply is still busy with the response.
        QMetaObject::invokeMethod(dropped, &QNetworkReply::abort, Qt::QueuedConnection);
        dropped->deleteLater();
    }
    idleTicks = 0;
    if (file.isOpen()) {
        file.close();
        file.remove();
    }
    lastTickBytes = 0;
    m_tickBytes.fill(0);
    m_nextTick = 0;
    m_windowFull = false;
    m_windowBytes = 0;
    expectedSize = initialExpectedSize;
    bytesDone = 0;
    setProgress(0.0);
}

void DownloadTaskSpecification::onOtherDownloadFinished(QNetworkReply*)
{
    stopWaitingForSlot();
    // A queued wake-up can still arrive after the task was cancelled or reset.
    if (state == StateRunning && !reply)
        startDownload();
}

void DownloadTaskSpecification::userCanceled()
{
    TaskSpecification::userCanceled();
    if (state != StateRunning)
        return;
    resetDownload();
    userCancel();
}

void DownloadTaskSpecification::handleOtherTaskCancelled(TaskSpecification*)
{
    if (reply) {
        Q_EMIT message(QStringLiteral("Abort downloading %1").arg(remoteFile));
        resetDownload();
    } else {
        stopWaitingForSlot();
    }
    errorCancel();
}

QString DownloadTaskSpecification::localFileLostText(const QString& path)
{
    return QStringLiteral("File %1 was removed or replaced while it was downloaded").arg(path);
}

bool DownloadTaskSpecification::fileInPlace() const
{
    // The handle writes on into a file that was unlinked, or whose folder was; only the path
    // tells whether the bytes can still be found where the caller will look.
    struct stat written = {};
    struct stat named = {};
    if (::fstat(file.handle(), &written) != 0)
        return false;
    if (::lstat(QFile::encodeName(file.fileName()).constData(), &named) != 0)
        return false;
    return written.st_dev == named.st_dev && written.st_ino == named.st_ino;
}

void DownloadTaskSpecification::failLocally(const QString& reason)
{
    // The window shows error() in a modal message box, so the emission can run an event loop for
    // as long as the user reads it. Meanwhile a sibling's cancellation may end this task and the
    // engine may release the whole tree: the attempt (slot, reply, partial file) is dropped first,
    // and after the emission the task ends only if it is still there and still running.
    resetDownload();
    const QPointer<DownloadTaskSpecification> self(this);
    Q_EMIT error(reason);
    if (self && state == StateRunning)
        errorCancel();
}

void DownloadTaskSpecification::giveSlotBack()
{
    if (!m_holdsSlot)
        return;
    m_holdsSlot = false;
    mirrors->releaseMirror(mirror.name);
}

void DownloadTaskSpecification::stopWaitingForSlot()
{
    m_retryTimer.stop();
    if (manager)
        disconnect(manager, nullptr, this, nullptr);
}
