#pragma once

#include <QDateTime>
#include <QString>

// Where screenshots go: Desktop/Vellori截图/<day>/截图_<time>.png, with _02, _03 … when the
// name is taken.
namespace ScreenshotPaths
{

// The desktop folder plus "Vellori截图". Creates nothing.
QString screenshotRoot();

// "yyyy-MM-dd" and "截图_yyyy-MM-dd_HH-mm-ss", both from the same clock reading, local time.
QString dayName(const QDateTime& when);
QString fileStem(const QDateTime& when);

// The first name in stem.png, stem_02.png, stem_03.png … that nothing (file or folder) in the
// folder has. Creates nothing.
QString uniquePNG(const QString& folder, const QString& stem);

// Writes the bytes to a new file with the mode any new file of the user's gets (0666 less the
// umask): on the disk complete or not at all, never replacing anything. When the name was taken
// after it was chosen, the next free one is used (_02 taken: _03). Returns the path written, or
// an empty string with the reason in error.
QString writeNewFile(const QString& path, const QByteArray& bytes, QString& error);

} // namespace ScreenshotPaths
