#pragma once

#include "FTPSiteAccessData.h"
#include "FileDownloadSpecification.h"
#include "FileReplaceSpecification.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QVector>

#include <functional>

class AuditNetworkAccessManager;
class DownloadTaskSpecification;

/// Checks one mirror the way the updater will use it for one version: fetches the product ini
/// and its signature with the updater's transfer task, verifies the signature, reads the ini with
/// the updater's plan compiler, then fetches every listed file and checks its size and MD5 (and,
/// for a packed file, unpacks it and checks the unpacked file too). Every file gets one row.
///
/// Each file is fetched from a pool that holds only this mirror, so one bad file does not keep
/// the others from being checked; the transfer retries as the updater would (the mirror's
/// "retries") and never follows a redirect. Up to the mirror's use slots run at once. Checks run
/// on the global thread pool; every downloaded file is deleted once it is checked.
///
/// Main thread only; `manager` must outlive the audit. crypt_init() must have run.
class AuditMirror : public QObject
{
    Q_OBJECT

public:
    enum class Status { Ok, Missing, WrongSize, WrongMd5, Redirect, Error };

    struct Row
    {
        Status status = Status::Ok;
        /// The path below the version directory.
        QString path;
        /// The listed size (a product ini file), else the size fetched; -1 when unknown.
        qint64 size = -1;
        QString detail;
    };

    /// `publicKey` is the DER public key file to check the signature with; empty: the compiled-in
    /// key. `workDir` is an empty scratch folder that the audit owns while it runs.
    AuditMirror(const FTPSiteAccessData& mirror, const QString& clientType, const QString& publicKey,
                const QString& workDir, AuditNetworkAccessManager* manager, QObject* parent = nullptr);
    ~AuditMirror() override;

    /// Starts the audit; finished() follows exactly once.
    void start();

    const FTPSiteAccessData& mirror() const { return m_mirror; }
    const QVector<Row>& rows() const { return m_rows; }
    /// True when every row is Ok (and there are rows).
    bool isComplete() const;

    static QString statusText(Status status);

Q_SIGNALS:
    void finished();

private:
    using Fetched = std::function<void(bool ok, const Row& failure)>;

    void fetch(const QString& remote, const QString& local, qint64 expectedSize, Fetched done);
    Row classifyFailure(const QString& remote, qint64 expectedSize, const QString& lastMessage) const;
    void fetchSignature();
    bool verifySignature(QString* problem);
    void compilePlan();
    void startNextFiles();
    void checkFile(const FileDownloadSpecification& download, const QString& local);
    void fileDone(const Row& row);
    void tick();
    void finish();

    FTPSiteAccessData m_mirror;
    QString m_clientType;
    QString m_publicKey;
    QString m_workDir;
    AuditNetworkAccessManager* m_manager;

    QList<FileDownloadSpecification> m_queue;
    QHash<QString, FileReplaceSpecification> m_packed;
    int m_busy = 0;
    QList<QPointer<DownloadTaskSpecification>> m_transfers;
    QTimer m_ticker;
    QVector<Row> m_rows;
    bool m_finished = false;
};
