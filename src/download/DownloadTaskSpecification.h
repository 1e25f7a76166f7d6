#pragma once

#include "FTPSiteAccessData.h"
#include "TaskSpecification.h"

#include <QFile>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <array>

class Mirrors;
class QNetworkAccessManager;
class QNetworkReply;

// Fetches one file with an HTTP GET from a mirror of the pool into a local file.
//
// Every failed attempt (a transfer error, a status other than 200, a stall, a body larger than
// allowed) counts an error against the mirror or drops it, deletes the partial file and starts
// again from byte 0 on a newly chosen mirror. The next attempt starts from the event loop, never
// from inside the failed one. The task itself has no retry limit: it ends in error when the pool has
// no mirror left, or at a local failure, which no other mirror would mend and which is therefore
// not charged to any: the local file cannot be created or written (a full disk), it was removed or
// replaced while the body came in (the temporary folder went away), or no request can be made.
// Redirects are never followed, and the body is asked for and stored as the mirror
// holds it ("Accept-Encoding: identity"), never unpacked on the way.
//
// Stalls are measured in calls of timeTick(), which the engine makes once a second: a transfer
// that has received nothing for more than the mirror's `timeout` ticks is abandoned, and so is one
// that has received less than `slowestRate` bytes per tick on average over the last
// `slowWindowTicks` ticks (a mirror that trickles a byte now and then). Both count as a stall. When
// every use slot of the pool is taken, the task waits, without a time-out and without a transfer,
// until some reply of `manager` finishes.
//
// Ends with exactly one finished() or canceled() per execute(): StateFinished with the complete file
// closed on disk; StateErrorCanceled (after error() for the local failures); StateUserCanceled
// after userCanceled(). A cancelled or failed task leaves no partial file behind.
//
// GUI thread only: the reply's signals, the tick and the wait for a slot all arrive on the event
// loop of the thread that owns the task, the pool and the manager.
class DownloadTaskSpecification : public TaskSpecification
{
    Q_OBJECT

public:
    // A body larger than this fails the attempt when the caller gave no size (or 0), so that a
    // broken or hostile mirror cannot fill the disk with a file of unknown length. The default of
    // `sizeLimit`.
    static constexpr qint64 unknownSizeLimit = 64 * 1024 * 1024;
    // A transfer slower than `slowestRate` bytes per tick, averaged over `slowWindowTicks`
    // consecutive ticks of one attempt, has stalled.
    static constexpr qint64 slowestRate = 1024;
    static constexpr int slowWindowTicks = 60;

    // `manager` and `mirrors` are not owned and must outlive the task's transfers. `remoteFile` is
    // the path below the mirror's url, without a leading "/"; `localFile` the file to write;
    // `expectedSize` the length when the caller knows it (> 0), else -1.
    DownloadTaskSpecification(QNetworkAccessManager* manager, Mirrors* mirrors, const QString& remoteFile,
                              const QString& localFile, qint64 expectedSize, QObject* parent, double weight);
    // Drops an active reply. The use slot is not given back and the local file stays: a task is
    // destroyed only after it has ended or together with its whole cancelled tree.
    ~DownloadTaskSpecification() override;

    void execute() override;
    // Drops any attempt and returns the task to StateIdle with all counters 0.
    void reset() override;
    // Reports the transfer figures, and counts a tick without data while a transfer runs.
    void timeTick(quint64& downloadDone, quint64& downloadTotal, quint64& speed, bool& downloading) override;
    // A running task drops its attempt and ends as StateUserCanceled; otherwise only the request is
    // recorded.
    void userCanceled() override;
    // Another task of the tree was cancelled: drop the attempt and end as StateErrorCanceled.
    void handleOtherTaskCancelled(TaskSpecification* other) override;
    // The success step: gives the use slot back and finishes. `mirror` keeps naming the mirror that
    // served the file.
    virtual void downloadFinished();
    // The error() text for a downloaded file that is no longer at `path`.
    static QString localFileLostText(const QString& path);

    // The engine's network access manager, shared by all transfers. Not owned.
    QPointer<QNetworkAccessManager> manager;
    // The mirror pool. Not owned.
    Mirrors* mirrors;
    // The reply of the running attempt; null while no request is under way.
    QPointer<QNetworkReply> reply;
    // Ticks since the task last looked for received data.
    qint32 idleTicks = 0;
    QString remoteFile;
    // Largest body accepted when the caller gave no size; a larger one fails the attempt, charged
    // to the mirror, as soon as its first byte beyond the limit arrives. Set before execute().
    qint64 sizeLimit = unknownSizeLimit;
    QFile file;
    // bytesDone at the previous tick.
    qint64 lastTickBytes = 0;
    // Expected length; -1 while unknown. Learned from the response when the caller gave none.
    qint64 expectedSize;
    // expectedSize as given to the constructor; restored at every new attempt.
    qint64 initialExpectedSize;
    // Bytes written to the local file in the current attempt.
    qint64 bytesDone = 0;
    // Copy of the pool entry in use; `name` is empty while the task holds no mirror, and still names
    // the serving mirror after a successful transfer.
    FTPSiteAccessData mirror;

public Q_SLOTS:
    void onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void onReadyRead();
    void onDownloadFinished();
    void onMetaDataChanged();
    // A reply of the manager has finished while this task waits for a free use slot.
    void onOtherDownloadFinished(QNetworkReply* finishedReply);

private:
    void startDownload();
    bool readData();
    bool errorRetry(QString reason);
    void resetDownload();
    // Ends the task after a local failure, reported as error(); the pool is left alone.
    void failLocally(const QString& reason);
    // True while `file`'s path still names the file the open handle writes.
    bool fileInPlace() const;
    void giveSlotBack();
    // Drops a wait for a free slot and a retry not yet started.
    void stopWaitingForSlot();
    // Records the bytes of one tick; true when the last `slowWindowTicks` ticks of this attempt
    // brought less than `slowestRate` per tick.
    bool tooSlow(qint64 tickBytes);

    // True while the task holds a use slot on `mirror.name`. Kept apart from the name, which must
    // survive a successful transfer, so that a later reset() cannot give the slot back twice.
    bool m_holdsSlot = false;
    // Starts the next attempt from the event loop.
    QTimer m_retryTimer;
    // Bytes received at each of the last ticks of the attempt, oldest overwritten first.
    std::array<qint64, slowWindowTicks> m_tickBytes {};
    int m_nextTick = 0;
    bool m_windowFull = false;
    qint64 m_windowBytes = 0;
};
