#include "AuditMirror.h"

#include "AuditNetworkAccessManager.h"
#include "CheckSigFunc.h"
#include "Configuration.h"
#include "CryptoHelper.h"
#include "CryptoSigning.h"
#include "DownloadTaskSpecification.h"
#include "FileHash.h"
#include "FileSpecifications.h"
#include "FileUnzipFunc.h"
#include "KeyFile.h"
#include "MakeDownloadReplaceListFunc.h"
#include "Mirrors.h"
#include "RsaKey.h"
#include "crypt_exception.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThreadPool>

#include <algorithm>
#include <memory>

namespace {
// The updater's engine ticks once a second; its transfers count stalls in ticks.
constexpr int tickMs = 1000;

QString hexDigest(const QString& path, QCryptographicHash::Algorithm algorithm)
{
    QByteArray digest;
    if (fileHash(path, algorithm, digest) != FileReadStatus::Ok)
        return QStringLiteral("(unreadable)");
    return QString::fromLatin1(digest.toHex());
}

// The check of one downloaded file, off the main thread: size, MD5, and for a packed file the
// unpacked size and MD5, each with the updater's own code.
AuditMirror::Row checkDownloaded(const FileDownloadSpecification& download,
                                 const FileReplaceSpecification* packed, const QString& local)
{
    AuditMirror::Row row;
    row.path = download.section + QLatin1Char('/') + download.fileName;
    row.size = qint64(download.size);
    const qint64 size = QFileInfo(local).size();
    if (size != qint64(download.size)) {
        row.status = AuditMirror::Status::WrongSize;
        row.detail = QStringLiteral("%1 bytes, listed %2").arg(size).arg(download.size);
        return row;
    }
    if (!CheckSigFunc(local, download.md5).run()) {
        row.status = AuditMirror::Status::WrongMd5;
        row.detail =
            QStringLiteral("MD5 %1, listed %2").arg(hexDigest(local, QCryptographicHash::Md5), download.md5);
        return row;
    }
    if (!packed)
        return row;
    const QString unpacked = local + QStringLiteral(".unpacked");
    FileUnzipFunc unzip(local, unpacked);
    const bool unpackedOk = unzip.run();
    const qint64 unpackedSize = QFileInfo(unpacked).size();
    if (!unpackedOk) {
        row.status = AuditMirror::Status::WrongMd5;
        row.detail = QStringLiteral("listed as packed, but cannot be unpacked");
    } else if (!CheckSigFunc(unpacked, packed->unzipMd5).run()) {
        row.status = AuditMirror::Status::WrongMd5;
        row.detail = QStringLiteral("unpacked MD5 %1, listed %2")
                         .arg(hexDigest(unpacked, QCryptographicHash::Md5), packed->unzipMd5);
    } else if (unpackedSize != qint64(packed->unzipSize)) {
        row.status = AuditMirror::Status::WrongSize;
        row.detail = QStringLiteral("unpacked %1 bytes, listed %2").arg(unpackedSize).arg(packed->unzipSize);
    } else {
        row.detail = QStringLiteral("unpacks to %1").arg(packed->unzipFileName);
    }
    QFile::remove(unpacked);
    return row;
}
} // namespace

AuditMirror::AuditMirror(const FTPSiteAccessData& mirror, const QString& clientType, const QString& publicKey,
                         const QString& workDir, AuditNetworkAccessManager* manager, QObject* parent)
    : QObject(parent)
    , m_mirror(mirror)
    , m_clientType(clientType)
    , m_publicKey(publicKey)
    , m_workDir(workDir)
    , m_manager(manager)
{
    m_ticker.setInterval(tickMs);
    connect(&m_ticker, &QTimer::timeout, this, &AuditMirror::tick);
}

AuditMirror::~AuditMirror() = default;

bool AuditMirror::isComplete() const
{
    if (m_rows.isEmpty())
        return false;
    for (const Row& row : m_rows) {
        if (row.status != Status::Ok)
            return false;
    }
    return true;
}

QString AuditMirror::statusText(Status status)
{
    switch (status) {
    case Status::Ok:
        return QStringLiteral("ok");
    case Status::Missing:
        return QStringLiteral("missing");
    case Status::WrongSize:
        return QStringLiteral("wrong size");
    case Status::WrongMd5:
        return QStringLiteral("wrong MD5");
    case Status::Redirect:
        return QStringLiteral("redirect");
    case Status::Error:
        break;
    }
    return QStringLiteral("error");
}

void AuditMirror::start()
{
    QDir().mkpath(m_workDir + QStringLiteral("/temp"));
    QDir().mkpath(m_workDir + QStringLiteral("/install"));
    m_ticker.start();
    const QString ini = m_clientType + QStringLiteral(".ini");
    fetch(ini, m_workDir + QStringLiteral("/temp/") + ini, -1, [this, ini](bool ok, const Row& failure) {
        if (!ok) {
            m_rows.append(failure);
            finish();
            return;
        }
        m_rows.append(
            {Status::Ok, ini, QFileInfo(m_workDir + QStringLiteral("/temp/") + ini).size(), QString()});
        fetchSignature();
    });
}

void AuditMirror::fetchSignature()
{
    const QString sig = m_clientType + QStringLiteral(".ini.sig");
    fetch(sig, m_workDir + QStringLiteral("/temp/") + sig, -1, [this, sig](bool ok, const Row& failure) {
        if (!ok) {
            m_rows.append(failure);
            finish();
            return;
        }
        Row row {Status::Ok, sig, QFileInfo(m_workDir + QStringLiteral("/temp/") + sig).size(), QString()};
        QString problem;
        if (verifySignature(&problem)) {
            row.detail = m_publicKey.isEmpty() ? QStringLiteral("signature valid (compiled-in key)")
                                               : QStringLiteral("signature valid (%1)").arg(m_publicKey);
            m_rows.append(row);
            compilePlan();
        } else {
            row.status = Status::Error;
            row.detail = problem;
            m_rows.append(row);
            finish();
        }
    });
}

bool AuditMirror::verifySignature(QString* problem)
{
    const QString ini = m_workDir + QStringLiteral("/temp/") + m_clientType + QStringLiteral(".ini");
    const qint64 sigSize = QFileInfo(ini + QStringLiteral(".sig")).size();
    if (sigSize != qint64(kSignatureSize)) {
        *problem = QStringLiteral("%1 bytes; a signature is %2").arg(sigSize).arg(kSignatureSize);
        return false;
    }
    if (m_publicKey.isEmpty()) {
        if (CheckSigFunc(ini, QString()).run())
            return true;
        *problem = QStringLiteral("the product ini's signature does not verify with the compiled-in key");
        return false;
    }
    try {
        RsaKey key;
        if (!KeyFile::load(m_publicKey, KeyFile::Need::PublicHalf, key, problem))
            return false;
        QByteArray hash;
        QByteArray signature;
        if (fileHash(ini, QCryptographicHash::Sha1, hash) != FileReadStatus::Ok
            || !KeyFile::read(ini + QStringLiteral(".sig"), signature, problem)) {
            *problem = QStringLiteral("cannot read the downloaded product ini or signature");
            return false;
        }
        if (verify_hash(key.get(), reinterpret_cast<const unsigned char*>(hash.constData()),
                        static_cast<unsigned long>(hash.size()),
                        reinterpret_cast<unsigned char*>(signature.data()),
                        static_cast<unsigned long>(signature.size())))
            return true;
    } catch (const crypt_exception& e) {
        // A signature made with another key often fails as malformed rather than as a mismatch.
        *problem = QStringLiteral("the product ini's signature does not verify with %1 (%2)")
                       .arg(m_publicKey, QString::fromUtf8(e.what()));
        return false;
    }
    *problem = QStringLiteral("the product ini's signature does not verify with %1").arg(m_publicKey);
    return false;
}

void AuditMirror::compilePlan()
{
    // The updater's own plan compiler, against an empty installation and an empty temporary
    // folder (the product ini aside): it validates the ini as the updater does and plans the
    // download of every file the ini lists.
    Configuration configuration;
    configuration.clientType = m_clientType;
    configuration.tempDir = m_workDir + QStringLiteral("/temp");
    FileSpecifications plan;
    QString problem;
    Configuration::setAppRootPathOverride(m_workDir + QStringLiteral("/install"));
    bool ok = false;
    {
        MakeDownloadReplaceListFunc compiler(&configuration, plan);
        connect(&compiler, &ASyncFunc::message, this, [&problem](const QString& text) { problem = text; });
        ok = compiler.run();
    }
    Configuration::setAppRootPathOverride(QString());
    if (!ok) {
        m_rows.append({Status::Error, m_clientType + QStringLiteral(".ini"), -1,
                       QStringLiteral("the updater refuses it: %1").arg(problem)});
        finish();
        return;
    }
    for (const FileReplaceSpecification& replace : std::as_const(plan.replaces)) {
        if (replace.hasUnzip())
            m_packed.insert(replace.section + QLatin1Char('/') + replace.fileName, replace);
    }
    m_queue = plan.downloads;
    startNextFiles();
}

void AuditMirror::startNextFiles()
{
    const int parallel = qMax(1, m_mirror.maxUse);
    while (m_busy < parallel && !m_queue.isEmpty()) {
        const FileDownloadSpecification download = m_queue.takeFirst();
        const QString remote = download.section + QLatin1Char('/') + download.fileName;
        const QString local = m_workDir + QStringLiteral("/temp/") + download.fileName;
        QDir().mkpath(QFileInfo(local).absolutePath());
        ++m_busy;
        fetch(remote, local, qint64(download.size), [this, download, local](bool ok, const Row& failure) {
            if (!ok) {
                QFile::remove(local);
                fileDone(failure);
                return;
            }
            checkFile(download, local);
        });
    }
    if (m_busy == 0 && m_queue.isEmpty())
        finish();
}

void AuditMirror::checkFile(const FileDownloadSpecification& download, const QString& local)
{
    const auto packed = m_packed.constFind(download.section + QLatin1Char('/') + download.fileName);
    std::shared_ptr<FileReplaceSpecification> unzip;
    if (packed != m_packed.constEnd())
        unzip = std::make_shared<FileReplaceSpecification>(*packed);
    // The audit waits for every check before it finishes, so `this` outlives the job.
    QThreadPool::globalInstance()->start([this, download, unzip, local] {
        const Row row = checkDownloaded(download, unzip.get(), local);
        QFile::remove(local);
        QMetaObject::invokeMethod(
            this, [this, row] { fileDone(row); }, Qt::QueuedConnection);
    });
}

void AuditMirror::fileDone(const Row& row)
{
    m_rows.append(row);
    --m_busy;
    startNextFiles();
}

void AuditMirror::fetch(const QString& remote, const QString& local, qint64 expectedSize, Fetched done)
{
    // A pool of this mirror alone: the transfer's retries and its giving up are the updater's, and
    // a file that fails removes the mirror from this pool only.
    auto* pool = new Mirrors(this);
    FTPSiteAccessData entry = m_mirror;
    entry.errors = 0;
    entry.inUse = 0;
    pool->mirrors.append(entry);
    auto* task = new DownloadTaskSpecification(m_manager, pool, remote, local, expectedSize, this, 1.0);
    m_transfers.append(task);
    auto lastMessage = std::make_shared<QString>();
    connect(task, &TaskSpecification::message, this,
            [lastMessage](const QString& text) { *lastMessage = text; });
    connect(task, &TaskSpecification::error, this,
            [lastMessage](const QString& text) { *lastMessage = text; });
    const auto release = [this, task, pool] {
        m_transfers.removeAll(task);
        task->deleteLater();
        pool->deleteLater();
    };
    connect(task, &TaskSpecification::finished, this, [release, done] {
        release();
        done(true, Row());
    });
    connect(task, &TaskSpecification::canceled, this,
            [this, release, done, remote, expectedSize, lastMessage] {
                release();
                done(false, classifyFailure(remote, expectedSize, *lastMessage));
            });
    task->execute();
}

AuditMirror::Row AuditMirror::classifyFailure(const QString& remote, qint64 expectedSize,
                                              const QString& lastMessage) const
{
    // The same URL the transfer task requested.
    QUrl url(m_mirror.url);
    url.setPath(url.path(QUrl::FullyDecoded) + QLatin1Char('/') + remote, QUrl::DecodedMode);
    const AuditNetworkAccessManager::Response response = m_manager->lastResponse(url);
    Row row;
    row.path = remote;
    row.size = expectedSize;
    if (response.status >= 300 && response.status < 400) {
        row.status = Status::Redirect;
        row.detail = QStringLiteral("HTTP %1 to %2 (the updater follows no redirect)")
                         .arg(response.status)
                         .arg(response.location.isEmpty() ? QStringLiteral("nowhere") : response.location);
    } else if (response.status == 404 || response.status == 410) {
        row.status = Status::Missing;
        row.detail = QStringLiteral("HTTP %1").arg(response.status);
    } else if (response.status != 0 && response.status != 200) {
        row.status = Status::Error;
        row.detail = QStringLiteral("HTTP %1").arg(response.status);
    } else if (response.status == 200 && expectedSize > 0 && response.length > expectedSize) {
        row.status = Status::WrongSize;
        row.detail = QStringLiteral("%1 bytes, listed %2").arg(response.length).arg(expectedSize);
    } else if (expectedSize > 0 && lastMessage.contains(QLatin1String("larger than expected"))) {
        row.status = Status::WrongSize;
        row.detail = QStringLiteral("more than the listed %1 bytes").arg(expectedSize);
    } else {
        row.status = Status::Error;
        row.detail = lastMessage.isEmpty() ? QStringLiteral("transfer failed") : lastMessage;
    }
    return row;
}

void AuditMirror::tick()
{
    // A copy: a tick may end a transfer, which takes it off the list.
    const QList<QPointer<DownloadTaskSpecification>> transfers = m_transfers;
    for (const QPointer<DownloadTaskSpecification>& task : transfers) {
        if (!task)
            continue;
        quint64 done = 0;
        quint64 total = 0;
        quint64 speed = 0;
        bool downloading = false;
        task->timeTick(done, total, speed, downloading);
    }
}

void AuditMirror::finish()
{
    if (m_finished)
        return;
    m_finished = true;
    m_ticker.stop();
    // Files finish in any order; the table lists the product ini and its signature first, then the
    // files by path.
    std::stable_sort(m_rows.begin(), m_rows.end(), [](const Row& a, const Row& b) {
        const bool aListed = a.path.contains(QLatin1Char('/'));
        const bool bListed = b.path.contains(QLatin1Char('/'));
        if (aListed != bListed)
            return !aListed;
        return aListed && a.path < b.path;
    });
    Q_EMIT finished();
}
