#pragma once

#include <QObject>
#include <QString>

class QLocalServer;
class QLocalSocket;

// Keeps one updater per installation and user: the first instance listens on a local socket whose
// name is derived from the updater's path and the user's home directory; a second instance hands
// it a short message through checkExistingInstance() and exits.
//
// Only this user's instances count (the peer's uid, SO_PEERCRED): another local user can listen
// under the name first, since it lies in the shared temp folder. The listening side then listens
// in a place of this user's own instead ($XDG_RUNTIME_DIR when it is this user's private
// directory, else the private folder "kv3-update-<uid>" in the temp folder, created with mode
// 0700), and the checking side looks there too. Connections from other users are dropped unread.
//
// The listening side is created as a child of the window and lives as long as it; everything runs
// on the GUI thread. All failures are silent: a checking side that cannot connect or write
// concludes that no other instance runs, and the listening side then emits nothing.
class SingleInstanceChecker : public QObject
{
    Q_OBJECT

public:
    // Creates the server and starts listening. A socket file of this user left behind by a killed
    // instance is replaced when nobody answers on it; a live instance of this user is left alone.
    explicit SingleInstanceChecker(QObject* parent = nullptr);
    ~SingleInstanceChecker() override;

    // "KV3ClientUpdate" and the 16-bit qChecksum (ISO 3309) in lower-case hexadecimal of the UTF-8
    // bytes of: the executable's absolute path in lower case, then the home directory, with every
    // "/" and ":" removed.
    static QString getLocalServerName();
    // True when another instance of this user listens and message (as Latin-1) has been handed
    // to it. Blocks for at most one second per place tried (connecting to a local socket fails at
    // once when nobody listens) and one for the write. An empty message is never handed over.
    static bool checkExistingInstance(const QString& message);

Q_SIGNALS:
    // Another instance has sent message: the bytes of its first read, up to the first zero byte.
    void otherInstanceActivate(QString message);

private Q_SLOTS:
    void onNewConnection();
    void onReadyRead();

private:
    QLocalServer* server = nullptr;
    // The connection being served, at most one at a time.
    QLocalSocket* connection = nullptr;
};
