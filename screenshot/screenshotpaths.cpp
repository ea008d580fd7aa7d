#include "screenshot/screenshotpaths.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace ScreenshotPaths
{

QString screenshotRoot()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::DesktopLocation))
        .filePath(QStringLiteral("Vellori截图"));
}

QString dayName(const QDateTime& when)
{
    return when.toString(QStringLiteral("yyyy-MM-dd"));
}

QString fileStem(const QDateTime& when)
{
    return QStringLiteral("截图_") + when.toString(QStringLiteral("yyyy-MM-dd_HH-mm-ss"));
}

namespace
{

// stem.png for the first, stem_02.png, stem_03.png … after it.
QString numbered(const QDir& dir, const QString& stem, int counter)
{
    if (counter < 2)
        return dir.filePath(stem + QStringLiteral(".png"));
    return dir.filePath(QStringLiteral("%1_%2.png").arg(stem).arg(counter, 2, 10, QChar('0')));
}

QString firstFree(const QDir& dir, const QString& stem, int counter)
{
    QString candidate = numbered(dir, stem, counter);
    while (QFileInfo::exists(candidate))
        candidate = numbered(dir, stem, ++counter);
    return candidate;
}

// The name after a taken one: _02 moves on to _03, not to _02_02.
QString nextFree(const QFileInfo& taken)
{
    static const QRegularExpression counted(QStringLiteral("^(.*)_(\\d{2,})$"));
    const QRegularExpressionMatch match = counted.match(taken.completeBaseName());
    if (!match.hasMatch())
        return firstFree(taken.dir(), taken.completeBaseName(), 2);
    return firstFree(taken.dir(), match.captured(1), match.captured(2).toInt() + 1);
}

// Without this the rename can reach the disk before the data does, and a power cut leaves an
// empty file under the final name.
bool syncFolder(const QString& folder)
{
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

} // namespace

QString uniquePNG(const QString& folder, const QString& stem)
{
    return firstFree(QDir(folder), stem, 1);
}

QString writeNewFile(const QString& path, const QByteArray& bytes, QString& error)
{
    const QFileInfo target(path);
    const QString name = target.fileName();
    const auto fail = [&](const QString& reason) {
        error = QStringLiteral("无法写入“%1”：%2").arg(name, reason);
        return QString();
    };
    // Created with 0666 less the umask, as any new file of the user's; a screenshot may hold
    // private content, so the user's umask decides who else can read it.
    QFile file;
    for (int attempt = 0; !file.isOpen() && attempt < 100; ++attempt) {
        file.setFileName(target.dir().filePath(
            QStringLiteral(".vellori-%1.tmp")
                .arg(QRandomGenerator::global()->generate64(), 16, 16, QChar('0'))));
        constexpr auto everyone = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup |
                                  QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther;
        if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly, everyone) && !file.exists())
            return fail(file.errorString());
    }
    if (!file.isOpen())
        return fail(file.errorString());
    auto removeTemporary = qScopeGuard([&file] { file.remove(); });
    if (file.write(bytes) != bytes.size() || !file.flush())
        return fail(file.errorString());
    if (::fsync(file.handle()) != 0)
        return fail(QString::fromLocal8Bit(std::strerror(errno)));
    file.close();
    QString destination = path;
    // QFile::rename never replaces an existing file; a name taken meanwhile moves us on.
    for (int attempt = 0; attempt < 1000; ++attempt) {
        if (file.rename(destination)) {
            removeTemporary.dismiss();
            if (!syncFolder(target.path()))
                qWarning("could not flush the folder of %s", qPrintable(destination));
            return destination;
        }
        if (!QFileInfo::exists(destination))
            return fail(file.errorString());
        destination = nextFree(QFileInfo(destination));
    }
    return fail(file.errorString());
}

} // namespace ScreenshotPaths
