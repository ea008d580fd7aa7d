#include "app/singleinstance.h"

#include <QDir>
#include <QLocalSocket>

namespace
{

constexpr int kTimeoutMs = 1000;
const QByteArray kRequest = QByteArrayLiteral("show\n");

} // namespace

SingleInstance::SingleInstance(const QString& name, QObject* parent) : QObject(parent), m_name(name)
{
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&m_server, &QLocalServer::newConnection, this, &SingleInstance::readRequest);
}

QString SingleInstance::defaultName()
{
    // Per user, so two people on one machine each get their own copy.
    return QStringLiteral("vellori-") + QDir::home().dirName();
}

bool SingleInstance::claim()
{
    QLocalSocket socket;
    socket.connectToServer(m_name);
    if (socket.waitForConnected(kTimeoutMs)) {
        socket.write(kRequest);
        socket.waitForBytesWritten(kTimeoutMs);
        socket.disconnectFromServer();
        return false;
    }
    // Nobody answered: a socket file left by a crashed run must not block this start.
    QLocalServer::removeServer(m_name);
    // Failing to listen only means later starts cannot find this one; it still runs.
    m_server.listen(m_name);
    return true;
}

void SingleInstance::readRequest()
{
    while (QLocalSocket* socket = m_server.nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        const auto read = [this, socket] {
            if (!socket->canReadLine())
                return;
            if (socket->readLine() == kRequest && onActivate)
                onActivate();
            socket->disconnectFromServer();
        };
        connect(socket, &QLocalSocket::readyRead, this, read);
        read();
    }
}
