#pragma once

#include "UpdateChannel.h"

#include <QObject>
#include <QPair>
#include <QString>
#include <QStringList>

// What is to be updated and how: the client type and version to install, its display name, the
// release channel, the unattended flag, the news text, the session's temporary directory, the proxy
// and the number of parallel downloads.
//
// Created empty at start-up on the main thread and filled by parseCommandLineOptions() (command line,
// update.ini and, when no version was given, the version service). Every later consumer gets a
// pointer or reference to the one instance; it is never copied. All members run on the main thread.
//
// Failures are reported once through fatalError() and make the operation return false. The version
// query blocks the calling thread; its retry box runs a modal event loop.
class Configuration : public QObject
{
    Q_OBJECT

public:
    // 1 after a successful start with "--nouser"; 0 otherwise.
    int noUser = 0;
    UpdateChannel channel = Stable;
    QString clientType;
    // Version number to install; 0 while it is not known.
    int clientVersion = 0;
    QString versionName;
    QString news;
    QString tempDir;
    QString proxy;
    int downloadStreams = 6;

    // The default version service: the compiled-in server name and UDP port 17384.
    static QString defaultVersionServerHost();
    static constexpr quint16 DefaultVersionServerPort = 17384;
    static constexpr int DefaultVersionReceiveTimeoutMs = 5000;

    Configuration() = default;

    bool parseCommandLineOptions();
    // The same on an explicit argument list (program name first), for callers that do not parse
    // the process's own arguments.
    bool parseCommandLineOptions(const QStringList& arguments);
    bool getDefaultParameters();
    bool getClientTypeVersion(const QStringList& arguments, int index);
    bool getClientVersionFromString(const QString& text, const QString& errorFormat);
    // Fixes tempDir for an update run: a resumed session's directory, or a new one when empty.
    bool initalizeStart(const QString& sessionDirectory);

    // update.ini, group "Channel": sets channel and clientVersion (the pinned alpha revision).
    void getUpdateChannel();
    // update.ini, group "update": sets proxy and downloadStreams (at least 1).
    void getProxyAndDownloadConcurrency();
    // Creates a new session directory "kelvaro_temp_<n>" (mode 0700, never shared with another
    // process) below the system's temporary directory and stores it in tempDir.
    bool createTempDir();
    // The folder in which createTempDir() makes session directories: the system's temporary folder
    // (TMPDIR, else /tmp), absolute and cleaned. Empty when there is none.
    static QString getTempBasePath();

    // Asks the version service for the (version, name) pair of channel; on success stores the news
    // text in news. Shows a Retry/Abort box while the query fails; two empty texts and news
    // untouched when the user aborts, or when the box ends without an answer (the application is
    // quitting).
    QPair<QString, QString> getLatestClientVersion(UpdateChannel channel, QString& news);

    // Where the version query goes; the compiled-in service unless set otherwise.
    void setVersionService(const QString& host, quint16 port,
                           int receiveTimeoutMs = DefaultVersionReceiveTimeoutMs);

    // True when fileName is one of getSpecialFileNames(), compared whole and case-sensitively.
    static bool isSpecialFileName(const QString& fileName);

    // The directory of the running executable: absolute, no trailing slash.
    static QString getAppRootPath();
    static QString getUpdateType();
    static QString getClientBinaryName();
    static const QString& getSpecialFileRenamePrefix();
    static QStringList getSpecialFileNames();

    // Test seam: makes getAppRootPath() return path instead of the executable's directory, for
    // the whole process. An empty path restores the executable's directory.
    static void setAppRootPathOverride(const QString& path);

Q_SIGNALS:
    void fatalError(QString errorMessage);
    void message(QString message);

private:
    QString m_versionHost = defaultVersionServerHost();
    quint16 m_versionPort = DefaultVersionServerPort;
    int m_versionTimeoutMs = DefaultVersionReceiveTimeoutMs;
};
