#include "app/singleinstance.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace
{

using Clock = std::chrono::steady_clock;

constexpr int kRequestTimeoutMs = 2000;
constexpr auto kRetry = std::chrono::milliseconds(5);

// Ours, not a symlink, and closed to everyone else.
bool isPrivateFolder(const QByteArray& path)
{
    struct stat info {
    };
    return !path.isEmpty() && path.startsWith('/') && ::lstat(path.constData(), &info) == 0 &&
           S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() && (info.st_mode & 077) == 0;
}

QByteArray privateCacheFolder(const QProcessEnvironment& environment)
{
    QByteArray cache = QFile::encodeName(environment.value(QStringLiteral("XDG_CACHE_HOME")));
    if (!cache.startsWith('/')) {
        const QByteArray home = QFile::encodeName(environment.value(QStringLiteral("HOME")));
        if (!home.startsWith('/'))
            return {};
        cache = home + "/.cache";
    }
    QDir().mkpath(QFile::decodeName(cache));
    const QByteArray folder = cache + "/vellori";
    ::mkdir(folder.constData(), 0700);
    struct stat info {
    };
    // Made by an earlier version or by hand with a looser mode; ours, so it is closed again.
    if (::lstat(folder.constData(), &info) == 0 && S_ISDIR(info.st_mode) &&
        info.st_uid == ::geteuid() && (info.st_mode & 077) != 0)
        ::chmod(folder.constData(), 0700);
    return isPrivateFolder(folder) ? folder : QByteArray();
}

// The display as a file name: letters, digits, '.' and '-' kept, every other byte as %XX, so
// two displays never share a name. ":0" and ":0.0" are one display.
QByteArray displayName(const QProcessEnvironment& environment)
{
    QByteArray kind = "wayland";
    QByteArray display = environment.value(QStringLiteral("WAYLAND_DISPLAY")).toUtf8();
    if (display.isEmpty()) {
        kind = "x11";
        display = environment.value(QStringLiteral("DISPLAY")).toUtf8();
        if (display.endsWith(".0") && display.lastIndexOf('.') > display.lastIndexOf(':'))
            display.chop(2);
    }
    QByteArray name = "vellori-" + kind + '-';
    for (const char c : display) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            c == '.' || c == '-')
            name += c;
        else
            name += '%' + QByteArray::number(static_cast<unsigned char>(c), 16)
                              .rightJustified(2, '0')
                              .toUpper();
    }
    return name;
}

// Something at `path` that only our user could have put there.
bool isOurSocket(const QByteArray& path)
{
    struct stat info {
    };
    return ::lstat(path.constData(), &info) == 0 && S_ISSOCK(info.st_mode) &&
           info.st_uid == ::geteuid();
}

int connectTo(const QByteArray& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (std::size_t(path.size()) >= sizeof(address.sun_path))
        return -1;
    std::copy(path.begin(), path.end(), address.sun_path);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
        return fd;
    if (fd >= 0)
        ::close(fd);
    return -1;
}

int msLeft(Clock::time_point deadline)
{
    return int(std::max<long long>(
        0, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count()));
}

// Sends the request and reads the one-line answer.
SingleInstance::Claim exchange(int fd, InstanceAction action, Clock::time_point deadline)
{
    using Claim = SingleInstance::Claim;
    const std::string request = InstanceMessage::request(action);
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size()))
        return Claim::NoAnswer;
    std::string answer;
    while (answer.find('\n') == std::string::npos && answer.size() <= InstanceMessage::kMaxLength) {
        pollfd wait{fd, POLLIN, 0};
        const int ready = ::poll(&wait, 1, msLeft(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return Claim::NoAnswer;
        char buffer[InstanceMessage::kMaxLength + 1];
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return answer.empty() ? Claim::NoAnswer : Claim::Refused;
        answer.append(buffer, std::size_t(got));
    }
    return InstanceMessage::isAcceptance(answer) ? Claim::Delivered : Claim::Refused;
}

} // namespace

SingleInstance::SingleInstance(const QString& socketPath, QObject* parent)
    : QObject(parent), m_path(socketPath)
{
}

SingleInstance::~SingleInstance()
{
    // The server removes its socket while the lock still keeps later starts waiting.
    m_server.reset();
    if (m_lock >= 0)
        ::close(m_lock);
}

QString SingleInstance::socketPath(const QProcessEnvironment& environment)
{
    QByteArray folder = QFile::encodeName(environment.value(QStringLiteral("XDG_RUNTIME_DIR")));
    if (!isPrivateFolder(folder))
        folder = privateCacheFolder(environment);
    if (folder.isEmpty())
        return {};
    return QFile::decodeName(folder + '/' + displayName(environment));
}

QString SingleInstance::defaultPath()
{
    return socketPath(QProcessEnvironment::systemEnvironment());
}

SingleInstance::Claim SingleInstance::claim(InstanceAction action, int answerMs, int startMs)
{
    if (m_path.isEmpty())
        return Claim::Primary;
    const Clock::time_point startDeadline = Clock::now() + std::chrono::milliseconds(startMs);
    const QByteArray path = QFile::encodeName(m_path);
    const QByteArray lockPath = path + ".lock";
    for (;;) {
        // The common case first: a running copy answers at once.
        if (isOurSocket(path)) {
            if (const int fd = connectTo(path); fd >= 0) {
                const Claim claim =
                    exchange(fd, action, Clock::now() + std::chrono::milliseconds(answerMs));
                ::close(fd);
                return claim;
            }
        }
        if (m_lock < 0)
            m_lock = ::open(lockPath.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (m_lock < 0)
            return Claim::Primary; // no lock to be had: run alone rather than not at all
        if (::flock(m_lock, LOCK_EX | LOCK_NB) == 0)
            return Claim::Primary;
        // Another copy holds the lock and is still launching, or is quitting.
        if (Clock::now() >= startDeadline) {
            ::close(m_lock);
            m_lock = -1;
            return Claim::NoAnswer;
        }
        std::this_thread::sleep_for(kRetry);
    }
}

void SingleInstance::listen()
{
    if (m_path.isEmpty())
        return;
    m_server = std::make_unique<QLocalServer>();
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_server.get(), &QLocalServer::newConnection, this, &SingleInstance::readRequests);
    // Quitting, nothing is answered any more; later starts wait on the lock until this one is gone.
    connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, this,
            [this] { m_server.reset(); });
    // Whatever is in the way was left by a copy that no longer holds the lock, or was never ours.
    ::unlink(QFile::encodeName(m_path).constData());
    // Failing to listen only means later starts cannot find this one; it still runs.
    m_server->listen(m_path);
}

void SingleInstance::readRequests()
{
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        // A peer that never finishes its request is dropped.
        QTimer::singleShot(kRequestTimeoutMs, socket, &QLocalSocket::abort);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { answer(socket); });
        answer(socket);
    }
}

void SingleInstance::answer(QLocalSocket* socket)
{
    const bool whole = socket->canReadLine();
    if (!whole && socket->bytesAvailable() <= qint64(InstanceMessage::kMaxLength))
        return;
    // Only the first request of a connection is answered.
    socket->disconnect(this);
    const QByteArray request = socket->readAll();
    const std::optional<InstanceAction> action =
        whole ? InstanceMessage::parseRequest(std::string_view(request.data(), request.size()))
              : std::nullopt;
    const std::string reply = InstanceMessage::reply(action.has_value());
    socket->write(reply.data(), qint64(reply.size()));
    socket->flush();
    socket->disconnectFromServer();
    if (action) {
        QTimer::singleShot(0, this, [this, action] {
            if (onAction)
                onAction(*action);
        });
    }
}
