#include "screenshot/screenshotpaths.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryFile>

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

QString uniquePNG(const QString& folder, const QString& stem)
{
    const QDir dir(folder);
    QString candidate = dir.filePath(stem + QStringLiteral(".png"));
    for (int counter = 2; QFileInfo::exists(candidate); ++counter)
        candidate =
            dir.filePath(QStringLiteral("%1_%2.png").arg(stem).arg(counter, 2, 10, QChar('0')));
    return candidate;
}

QString writeNewFile(const QString& path, const QByteArray& bytes, QString& error)
{
    const QFileInfo target(path);
    const QString name = target.fileName();
    QTemporaryFile file(target.dir().filePath(QStringLiteral(".vellori-XXXXXX")));
    if (!file.open() || file.write(bytes) != bytes.size() || !file.flush()) {
        error = QStringLiteral("无法写入“%1”：%2").arg(name, file.errorString());
        return {};
    }
    file.close();
    // Temporary files are private; a screenshot is an ordinary document.
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
    const QString stem = target.completeBaseName();
    QString destination = path;
    // QFile::rename never replaces an existing file; a name taken meanwhile moves us on.
    for (int attempt = 0; attempt < 1000; ++attempt) {
        QFile temporary(file.fileName());
        if (temporary.rename(destination)) {
            file.setAutoRemove(false);
            return destination;
        }
        if (!QFileInfo::exists(destination)) {
            error = QStringLiteral("无法写入“%1”：%2").arg(name, temporary.errorString());
            return {};
        }
        destination = uniquePNG(target.path(), stem);
    }
    error = QStringLiteral("无法写入“%1”：%2").arg(name, file.errorString());
    return {};
}

} // namespace ScreenshotPaths
