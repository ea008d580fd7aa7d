#pragma once

#include <QColor>
#include <QMap>
#include <QSettings>
#include <QString>

// The eleven persisted settings and their defaults.
namespace SettingsKeys
{
inline const QString markerFunctionKey = QStringLiteral("markerFunctionKey");
inline const QString screenshotFunctionKey = QStringLiteral("screenshotFunctionKey");
inline const QString redKey = QStringLiteral("redKey");
inline const QString blueKey = QStringLiteral("blueKey");
inline const QString greenKey = QStringLiteral("greenKey");
inline const QString eraserKey = QStringLiteral("eraserKey");
inline const QString clearKey = QStringLiteral("clearKey");
inline const QString redColor = QStringLiteral("redColor");
inline const QString blueColor = QStringLiteral("blueColor");
inline const QString greenColor = QStringLiteral("greenColor");
inline const QString lineWidth = QStringLiteral("lineWidth");
} // namespace SettingsKeys

namespace SettingsDefaults
{
inline constexpr int markerFunctionKey = 8;
inline constexpr int screenshotFunctionKey = 9;
inline const QString redKey = QStringLiteral("q");
inline const QString blueKey = QStringLiteral("w");
inline const QString greenKey = QStringLiteral("e");
inline const QString eraserKey = QStringLiteral("z");
inline const QString clearKey = QStringLiteral("c");
inline const QColor systemRed = QColor(255, 59, 48);
inline const QColor systemBlue = QColor(0, 122, 255);
inline const QColor systemGreen = QColor(52, 199, 89);
inline constexpr double lineWidth = 4.0;
} // namespace SettingsDefaults

// Typed reads and writes over the user's settings file. Nothing is cached: every read goes to
// the store, so a save is seen by the next read anywhere in the process. Reads never fail;
// unusable values give the caller's fallback as described per method.
class SettingsStore
{
public:
    SettingsStore();

    // Absent key: fallback. Anything stored that is not an integer: 0.
    qint64 value(const QString& key, qint64 fallback) const;
    // The stored text exactly as stored; fallback when absent or not text.
    QString string(const QString& key, const QString& fallback) const;
    // The stored colour; fallback when absent, not bytes, or not a colour we encoded.
    QColor color(const QString& key, const QColor& fallback) const;
    // The stored number when it is finite and greater than 0; fallback otherwise.
    double positiveDouble(const QString& key, double fallback) const;

    void setInteger(qint64 value, const QString& key);
    void setString(const QString& value, const QString& key);
    void setDouble(double value, const QString& key);
    // A colour that cannot be encoded is not written; the key keeps its value.
    void setColor(const QColor& color, const QString& key);

    // Why the settings file cannot be written now (a folder in its place, a read-only file or
    // folder), in Chinese and naming the file; empty when it can. Asked before anything is set,
    // so that a refused save leaves no value behind that the file does not hold.
    QString unwritableReason() const;
    // Writes what was set to the settings file. Empty when it reached the disk; otherwise the
    // reason, as unwritableReason() gives it, and every key set since the last sync reads as
    // the file holds it again.
    QString sync();

private:
    void write(const QString& key, const QVariant& value);

    mutable QSettings m_defaults;
    // What each key set since the last sync held before (invalid: absent).
    QMap<QString, QVariant> m_unsynced;
};
