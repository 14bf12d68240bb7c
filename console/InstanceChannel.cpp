#include "console/InstanceChannel.h"

#include <QLocalServer>
#include <QLocalSocket>

#include <sys/stat.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr int kWaitMs = 1000;

QString SocketPath(const std::string& storeDirectory)
{
    return QString::fromStdString(storeDirectory + "/" + CInstanceChannel::kSocketName);
}

}  // namespace

bool CInstanceChannel::AskToShow(const std::string& storeDirectory)
{
    QLocalSocket socket;
    socket.connectToServer(SocketPath(storeDirectory));
    if (!socket.waitForConnected(kWaitMs))
        return false;
    socket.write(kShowRequest);
    const bool sent = socket.waitForBytesWritten(kWaitMs);
    socket.disconnectFromServer();
    return sent;
}

bool CInstanceChannel::Listen(const std::string& storeDirectory)
{
    const QString path = SocketPath(storeDirectory);
    // Only a dead instance can have left it: the lock is this one's.
    QLocalServer::removeServer(path);
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(path)) {
        std::fprintf(stderr, "orma-broadcast-server: a second start cannot show this window: %s: %s\n",
                     qPrintable(path), qPrintable(m_server->errorString()));
        return false;
    }
    // Read and written by its user only; nobody runs it.
    (void)::chmod(path.toLocal8Bit().constData(), S_IRUSR | S_IWUSR);
    connect(m_server, &QLocalServer::newConnection, this, &CInstanceChannel::OnConnection);
    return true;
}

void CInstanceChannel::OnConnection()
{
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            const qint64 size = std::strlen(kShowRequest);
            if (socket->bytesAvailable() < size)
                return;
            // One request per connection; anything else is dropped with it.
            if (socket->read(size) == kShowRequest)
                emit ShowRequested();
            socket->disconnectFromServer();
        });
    }
}
