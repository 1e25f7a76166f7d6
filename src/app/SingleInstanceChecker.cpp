#include "SingleInstanceChecker.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStringList>

#include <cerrno>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The name lies in the shared temp folder and is a checksum that anybody can work out, so another
// local user can listen under it first. Only a peer of this user counts: the kernel's record of
// the connecting (or listening) process, not anything it says.
bool peerIsThisUser(qintptr descriptor)
{
    struct ucred credentials = {};
    socklen_t length = sizeof credentials;
    if (descriptor < 0 || ::getsockopt(int(descriptor), SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0)
        return false;
    return credentials.uid == ::geteuid();
}

// Only this user can reach into it: a real directory (not a link) of this user, closed to others.
bool isPrivateDirectory(const QString& path)
{
    struct stat info;
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISDIR(info.st_mode)
        && info.st_uid == ::geteuid() && (info.st_mode & (S_IRWXG | S_IRWXO)) == 0;
}

// $XDG_RUNTIME_DIR when it is set and this user's private directory.
QString runtimeDirectory()
{
    const QString dir = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (dir.isEmpty() || !QDir::isAbsolutePath(dir) || !isPrivateDirectory(dir))
        return QString();
    return QDir::cleanPath(dir);
}

// "kv3-update-<uid>" in the temp folder, whether or not it exists; empty without a temp folder.
QString privateTempDirectoryPath()
{
    const QString temp = QDir::tempPath();
    if (temp.isEmpty())
        return QString();
    return QDir(temp).filePath(QStringLiteral("kv3-update-%1").arg(::geteuid()));
}

// Creates the private temp folder unless it exists; empty unless it is this user's private one
// (another user may have put a folder, or a link, under the name first).
QString makePrivateTempDirectory()
{
    const QString path = privateTempDirectoryPath();
    if (path.isEmpty())
        return QString();
    if (::mkdir(QFile::encodeName(path).constData(), S_IRWXU) != 0 && errno != EEXIST)
        return QString();
    return isPrivateDirectory(path) ? path : QString();
}

// Where the listening side goes when the name in the temp folder belongs to another user.
QString fallbackDirectory()
{
    const QString runtime = runtimeDirectory();
    return runtime.isEmpty() ? makePrivateTempDirectory() : runtime;
}

// Every place an instance of this user may listen at, in the order the checking side tries them:
// the name itself (in the temp folder), then the per-user places that exist.
QStringList serverPlaces()
{
    const QString name = SingleInstanceChecker::getLocalServerName();
    QStringList places {name};
    const QString runtime = runtimeDirectory();
    if (!runtime.isEmpty())
        places << runtime + QLatin1Char('/') + name;
    const QString temp = privateTempDirectoryPath();
    if (!temp.isEmpty() && isPrivateDirectory(temp))
        places << temp + QLatin1Char('/') + name;
    return places;
}

// The socket file of a name, as QLocalServer places it.
QString socketPath(const QString& place)
{
    if (QDir::isAbsolutePath(place))
        return place;
    return QDir::cleanPath(QDir::tempPath()) + QLatin1Char('/') + place;
}

enum class ListenResult { Listening, OwnInstanceThere, TakenByOtherUser, Failed };

ListenResult listenAt(QLocalServer* server, const QString& place)
{
    if (server->listen(place))
        return ListenResult::Listening;
    if (server->serverError() != QAbstractSocket::AddressInUseError)
        return ListenResult::Failed;
    // The name is taken. An instance of this user is left alone; if nobody answers, it is the
    // socket file of an instance that was killed: replace it, or this instance could never be
    // found. What belongs to another user cannot be replaced and is not ours to use.
    QLocalSocket probe;
    probe.connectToServer(place);
    if (probe.waitForConnected(1000))
        return peerIsThisUser(probe.socketDescriptor()) ? ListenResult::OwnInstanceThere
                                                        : ListenResult::TakenByOtherUser;
    struct stat info;
    if (::lstat(QFile::encodeName(socketPath(place)).constData(), &info) == 0 && info.st_uid != ::geteuid())
        return ListenResult::TakenByOtherUser;
    QLocalServer::removeServer(place);
    return server->listen(place) ? ListenResult::Listening : ListenResult::Failed;
}

} // namespace

SingleInstanceChecker::SingleInstanceChecker(QObject* parent)
    : QObject(parent)
{
    server = new QLocalServer(this);
    connect(server, &QLocalServer::newConnection, this, &SingleInstanceChecker::onNewConnection);

    const QString name = getLocalServerName();
    if (listenAt(server, name) != ListenResult::TakenByOtherUser)
        return;
    // Another user holds the name: listen in a place of this user's own, where the checking side
    // looks as well.
    const QString dir = fallbackDirectory();
    if (!dir.isEmpty())
        listenAt(server, dir + QLatin1Char('/') + name);
}

SingleInstanceChecker::~SingleInstanceChecker()
{
    server->close();
    if (connection)
        connection->close();
}

QString SingleInstanceChecker::getLocalServerName()
{
    QString key = QCoreApplication::applicationFilePath().toLower() + QDir::homePath();
    key.remove(QLatin1Char('/'));
    key.remove(QLatin1Char(':'));
    const QByteArray bytes = key.toUtf8();
    return QStringLiteral("KV3ClientUpdate") + QString::number(qChecksum(bytes), 16);
}

bool SingleInstanceChecker::checkExistingInstance(const QString& message)
{
    const QStringList places = serverPlaces();
    for (const QString& place : places) {
        QLocalSocket socket;
        socket.connectToServer(place, QIODevice::ReadWrite);
        if (!socket.waitForConnected(1000))
            continue;
        // Another user's listener is no instance of ours and gets nothing.
        if (!peerIsThisUser(socket.socketDescriptor()))
            continue;
        if (socket.write(message.toLatin1()) <= 0)
            return false;
        return socket.waitForBytesWritten(1000);
    }
    return false;
}

void SingleInstanceChecker::onNewConnection()
{
    QLocalSocket* next = server->nextPendingConnection();
    if (!next)
        return;
    // Another user may reach the socket (a shared group, a umask of 0): what it sends does not
    // bring the window forward, nor does it displace a connection being served.
    if (!peerIsThisUser(next->socketDescriptor())) {
        next->abort();
        next->deleteLater();
        return;
    }
    if (connection) {
        // Deleted later, so its readyRead may still come in this pass of the event loop: it must
        // not reach onReadyRead, which would read (and release) the new connection instead.
        disconnect(connection, nullptr, this, nullptr);
        connection->deleteLater();
    }
    connection = next;
    connect(connection, &QLocalSocket::readyRead, this, &SingleInstanceChecker::onReadyRead);
}

void SingleInstanceChecker::onReadyRead()
{
    if (!connection)
        return;
    const QByteArray bytes = connection->readAll();
    const QString message =
        QString::fromLatin1(bytes.constData(), int(qstrnlen(bytes.constData(), size_t(bytes.size()))));
    Q_EMIT otherInstanceActivate(message);
    // This runs inside the connection's own signal.
    connection->deleteLater();
    connection = nullptr;
}
