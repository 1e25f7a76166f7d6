#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class Configuration;
class MainTaskSpecification;
class Mirrors;
class QNetworkAccessManager;
class QNetworkProxy;
class QNetworkReply;
class QTimer;

// One update run from its preparation to the removal of its temporary files, and the only thing
// the window talks to about the update. Owns the program's one network access manager (with the
// proxy of update.ini applied), the run's mirror pool and main task, the once-a-second transfer
// report, and the banner image download.
//
// The window's calling order: construct, connect, getBanner(); on start (busy() false)
// initialize() and, when it returns true, startUpdate(); cancelUpdate() to stop a run; reset()
// after updateCanceled(). Exactly one of updateFinished() and updateCanceled() ends every started
// run, each preceded by one all-zero downloadProgress().
//
// Lives on the GUI thread, a child of the window; the configuration is not owned and must outlive
// the engine.
class UpdateEngine : public QObject
{
    Q_OBJECT

public:
    enum EngineState { Idle = 0, Ready = 1, Running = 2, Finished = 3, Canceled = 4 };

    // Reads the proxy and download concurrency of update.ini. An empty proxy means direct
    // connections (neither an application-wide nor the desktop's proxy); "host", "host:port" or a
    // URL means an HTTP proxy at that host, port 3128 when none is given, without user or
    // password; a setting that names no host is the fatalError() "'<setting>' is an invalid proxy
    // specification", delivered from the event loop after construction.
    UpdateEngine(Configuration& configuration, QObject* parent);

    // Prepares a run: crypto library, mirrors.ini, seeded mirror choice, resume or discard of an
    // earlier session, the temporary directory, the session record and a new mirror pool. False,
    // after a fatalError() or a message() that says why, when no run can start.
    bool initialize();
    // Creates and executes the run's main task; the engine is Running afterwards.
    bool startUpdate();
    // True while a run is being prepared or runs (Ready, Running).
    bool busy();
    // Back to Idle; a task that still exists is disconnected and released.
    void reset();
    // Asks the banner service for the banner, unless a picture download is under way. The picture
    // is fetched only from an http or https URL with a host; bannerFound() follows when it has
    // arrived (whatever arrived when the download failed), never for more than MaxBannerBytes,
    // announced or received.
    void getBanner();
    // Removes the run's own temporary directory (Configuration::tempDir) and the session record.
    void cleanup();
    // Empties the directory tree at path, depth first. Symbolic links are removed as links and
    // never followed; a path that is itself a link is left alone. Failures are ignored.
    void cleanupDirectory(const QString& path);

    // Deletes, in directory, the set-aside copies of the special files: for every name of
    // Configuration::getSpecialFileNames(), the file named the old-file prefix ("_old_") followed
    // by that name. Only plain files and symbolic links are removed (a link itself, never its
    // target); absent files, other kinds of entries and failures are passed over silently, because
    // this runs at every start and must never stop it. Other files are not touched.
    static void removeOldFiles(const QString& directory);

    // Where getBanner() asks: the compiled-in banner service unless set otherwise (for tests).
    void setBannerService(const QString& host, quint16 port, int retryIntervalMs);

    // Largest banner image accepted, announced or received; a larger one is dropped unread.
    static constexpr qint64 MaxBannerBytes = 270000;

    EngineState state = Idle;

Q_SIGNALS:
    // Preparation is impossible (crypto library, mirrors.ini missing, invalid proxy) or the mirror
    // pool reported a fatal error. An invalid proxy is reported after construction, from the event
    // loop, so that the window that connects right after constructing the engine receives it.
    void fatalError(QString errorMessage);
    void error(QString errorMessage);
    void updateProgress(qreal doneFrac);
    // Once a second while Running, and once with all four values zero when a run ends.
    void downloadProgress(quint64 downloadDone, quint64 downloadTotal, quint64 speed, bool downloading);
    void message(QString message);
    void updateFinished();
    void updateCanceled();
    void bannerFound(QByteArray bannerImage, QString clickUrl);

public Q_SLOTS:
    // Only while Running: asks the main task to stop. updateCanceled() follows, unless every file
    // was already in place: the run then finishes its deletions and ends with updateFinished().
    void cancelUpdate();

private Q_SLOTS:
    void onTimer();
    void onTaskFinished();
    void onTaskCanceled();
    void onBannerFound(QString bannerUrl, QString clickUrl);
    void onBannerDownloadFinished();
    void onBannermetaDataChanged();
    void onBannerReadyRead();

private:
    // Reads the proxy setting into a proxy for the manager; false when it names no host.
    static bool parseProxy(const QString& setting, QNetworkProxy& proxy);
    // Removes the directory at path from its parent, when the parent can be entered; false when
    // it could not be removed or the parent not be entered (`entered` tells which).
    static bool removeDirectory(const QString& path, bool* entered);
    // Empties and removes a session directory, its marker last (see UpdateIniData::sessionMarkerName),
    // so that a clean-up cut short is finished by the next start. True when the directory is gone.
    static bool removeSessionDirectory(const QString& path, bool* entered);
    static void emptyDirectory(const QString& path, const QString& keptName);
    void releaseBannerReply();

    Configuration* configuration;
    Mirrors* mirrors = nullptr;
    MainTaskSpecification* task = nullptr;
    QTimer* timer = nullptr;
    QNetworkAccessManager* networkManager = nullptr;
    QString clickUrl;
    QNetworkReply* bannerReply = nullptr;

    // What has arrived of the banner image so far.
    QByteArray m_bannerData;
    QString m_bannerHost;
    quint16 m_bannerPort;
    int m_bannerRetryIntervalMs;
};
