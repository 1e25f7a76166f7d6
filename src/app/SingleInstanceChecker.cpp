#include "SingleInstanceChecker.h"

#include <QCoreApplication>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>

SingleInstanceChecker::SingleInstanceChecker(QObject* parent)
    : QObject(parent)
{
    server = new QLocalServer(this);
    connect(server, &QLocalServer::newConnection, this, &SingleInstanceChecker::onNewConnection);

    const QString name = getLocalServerName();
    if (server->listen(name))
        return;
    // The name is taken. If nobody answers on it, it is the socket file of an instance that was
    // killed: replace it, or this instance could never be found. A live instance is left alone.
    if (server->serverError() != QAbstractSocket::AddressInUseError)
        return;
    QLocalSocket probe;
    probe.connectToServer(name);
    if (probe.waitForConnected(1000))
        return;
    QLocalServer::removeServer(name);
    server->listen(name);
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
    QLocalSocket socket;
    socket.connectToServer(getLocalServerName(), QIODevice::ReadWrite);
    if (!socket.waitForConnected(1000))
        return false;
    if (socket.write(message.toLatin1()) <= 0)
        return false;
    return socket.waitForBytesWritten(1000);
}

void SingleInstanceChecker::onNewConnection()
{
    if (connection) {
        // Deleted later, so its readyRead may still come in this pass of the event loop: it must
        // not reach onReadyRead, which would read (and release) the new connection instead.
        disconnect(connection, nullptr, this, nullptr);
        connection->deleteLater();
    }
    connection = server->nextPendingConnection();
    if (connection)
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
