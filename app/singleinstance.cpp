#include "app/singleinstance.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QLocalSocket>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
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
    // Clients find a relative name in XDG_RUNTIME_DIR: both spellings are one display.
    const QByteArray runtime = environment.value(QStringLiteral("XDG_RUNTIME_DIR")).toUtf8();
    if (!display.isEmpty() && !display.startsWith('/') && !runtime.isEmpty())
        display = runtime + (runtime.endsWith('/') ? "" : "/") + display;
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

// The address of a socket at `path`. A path too long for sun_path is reached through a
// descriptor of its folder, which stays open as long as the address is in use.
class SocketAddress
{
public:
    explicit SocketAddress(const QByteArray& path)
    {
        QByteArray reachable = path;
        if (std::size_t(path.size()) >= sizeof(m_address.sun_path)) {
            const qsizetype slash = path.lastIndexOf('/');
            m_folder = ::open(path.left(std::max<qsizetype>(slash, 1)).constData(),
                              O_PATH | O_DIRECTORY | O_CLOEXEC);
            if (m_folder < 0)
                return;
            reachable = "/proc/self/fd/" + QByteArray::number(m_folder) + path.mid(slash);
        }
        if (std::size_t(reachable.size()) >= sizeof(m_address.sun_path)) {
            errno = ENAMETOOLONG;
            return;
        }
        m_address.sun_family = AF_UNIX;
        std::copy(reachable.begin(), reachable.end(), m_address.sun_path);
    }
    ~SocketAddress()
    {
        if (m_folder >= 0)
            ::close(m_folder);
    }
    SocketAddress(const SocketAddress&) = delete;
    SocketAddress& operator=(const SocketAddress&) = delete;

    bool isValid() const { return m_address.sun_family == AF_UNIX; }
    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&m_address); }

private:
    sockaddr_un m_address{};
    int m_folder = -1;
};

int connectTo(const QByteArray& path)
{
    const SocketAddress address(path);
    if (!address.isValid())
        return -1;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, address.get(), sizeof(sockaddr_un)) == 0)
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

// Sends the request and reads the one-line answer. At the deadline the reading side is shut
// first, and then only what has already arrived is read: the running copy acts only on a reply it
// could hand over, so an answer that is not read here is a request that is dropped there.
SingleInstance::Claim exchange(int fd, InstanceAction action, Clock::time_point deadline)
{
    using Claim = SingleInstance::Claim;
    const std::string request = InstanceMessage::request(action);
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size()))
        return Claim::NoAnswer;
    std::string answer;
    bool late = false;
    while (answer.find('\n') == std::string::npos && answer.size() <= InstanceMessage::kMaxLength) {
        pollfd wait{fd, POLLIN, 0};
        const int ready = late ? 1 : ::poll(&wait, 1, msLeft(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return Claim::NoAnswer;
        if (ready == 0) {
            ::shutdown(fd, SHUT_RD);
            late = true;
        }
        char buffer[InstanceMessage::kMaxLength + 1];
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, late ? MSG_DONTWAIT : 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return answer.empty() ? Claim::NoAnswer : Claim::Refused;
        answer.append(buffer, std::size_t(got));
    }
    switch (InstanceMessage::parseReply(answer).value_or(InstanceMessage::Reply::refused)) {
    case InstanceMessage::Reply::accepted:
        return Claim::Delivered;
    case InstanceMessage::Reply::busy:
        return Claim::Busy;
    case InstanceMessage::Reply::refused:
        break;
    }
    return Claim::Refused;
}

} // namespace

SingleInstance::SingleInstance(const QString& socketPath, QObject* parent)
    : QObject(parent), m_path(socketPath)
{
}

SingleInstance::~SingleInstance()
{
    // The socket goes while the lock still keeps later starts waiting.
    stopListening();
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
    QByteArray path = folder + '/' + displayName(environment);
    // A socket's path has room for 107 bytes; a long display name is shortened to its digest.
    if (path.size() > 107)
        path = folder + "/vellori-" +
               QCryptographicHash::hash(path, QCryptographicHash::Sha256).toHex().left(32);
    return QFile::decodeName(path);
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
            return Claim::NotReady;
        }
        std::this_thread::sleep_for(kRetry);
    }
}

QString SingleInstance::listen()
{
    if (m_path.isEmpty())
        return QStringLiteral("没有只属于本用户的文件夹可放置通道");
    const QByteArray path = QFile::encodeName(m_path);
    // Whatever is in the way was left by a copy that no longer holds the lock, or was never ours.
    ::unlink(path.constData());
    const SocketAddress address(path);
    m_listener =
        address.isValid() ? ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0) : -1;
    if (m_listener < 0 || ::bind(m_listener, address.get(), sizeof(sockaddr_un)) != 0 ||
        ::listen(m_listener, SOMAXCONN) != 0) {
        const QString reason = QString::fromLocal8Bit(std::strerror(errno));
        if (m_listener >= 0)
            ::close(m_listener);
        m_listener = -1;
        return m_path + QStringLiteral("：") + reason;
    }
    // The folder is closed to others already; the socket is too, as Qt's own would be.
    ::chmod(path.constData(), S_IRWXU);
    m_notifier = std::make_unique<QSocketNotifier>(m_listener, QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &SingleInstance::readRequests);
    // Quitting, nothing is answered any more; later starts wait on the lock until this one is gone.
    connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, this,
            &SingleInstance::stopListening);
    return {};
}

void SingleInstance::stopListening()
{
    if (m_listener < 0)
        return;
    m_notifier.reset();
    ::close(m_listener);
    m_listener = -1;
    ::unlink(QFile::encodeName(m_path).constData());
}

void SingleInstance::readRequests()
{
    for (int fd; (fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
        auto* socket = new QLocalSocket(this);
        socket->setSocketDescriptor(fd);
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
    using InstanceMessage::Reply;
    const bool busy = action && isBusy && isBusy(*action);
    const std::string reply = InstanceMessage::reply(!action ? Reply::refused
                                                     : busy  ? Reply::busy
                                                             : Reply::accepted);
    // Straight to the socket, so that it fails when the client has given up and shut its side.
    const bool handedOver = ::send(socket->socketDescriptor(), reply.data(), reply.size(),
                                   MSG_NOSIGNAL | MSG_DONTWAIT) == ssize_t(reply.size());
    socket->disconnectFromServer();
    if (action && !busy && handedOver) {
        QTimer::singleShot(0, this, [this, action] {
            if (onAction)
                onAction(*action);
        });
    }
}
