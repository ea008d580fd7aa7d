#include "settings/settingsstore.h"

#include "settings/colorcodec.h"

#include <QFileInfo>

#include <cmath>
#include <limits>
#include <utility>

namespace
{

bool isText(const QVariant& v)
{
    return v.typeId() == QMetaType::QString;
}

bool isNumber(const QVariant& v)
{
    switch (v.typeId()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
    case QMetaType::Float:
    case QMetaType::Bool:
        return true;
    default:
        return false;
    }
}

QSettings openSettings()
{
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Vellori"),
                     QStringLiteral("vellori"));
}

QString reasonNotWritten(const QString& path)
{
    const QFileInfo file(path), folder(file.absolutePath());
    if (file.isDir())
        return QStringLiteral("“%1”是一个文件夹，设置无法写入。").arg(path);
    if (file.exists() && !file.isWritable())
        return QStringLiteral("设置文件“%1”是只读的。").arg(path);
    if (folder.exists() && !folder.isWritable())
        return QStringLiteral("没有写入文件夹“%1”的权限，设置文件“%2”无法保存。")
            .arg(folder.filePath(), path);
    return QStringLiteral("无法写入设置文件“%1”，磁盘可能已满。").arg(path);
}

} // namespace

SettingsStore::SettingsStore() : m_defaults(openSettings()) {}

qint64 SettingsStore::value(const QString& key, qint64 fallback) const
{
    const QVariant v = m_defaults.value(key);
    if (!v.isValid())
        return fallback;
    if (!isText(v) && !isNumber(v))
        return 0;
    bool ok = false;
    const qint64 whole = v.toString().trimmed().toLongLong(&ok);
    if (ok)
        return whole;
    // A stored fraction counts by its whole part, as an integer read of a number does.
    const double d = v.toString().trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(d) || std::abs(d) >= 9.2e18)
        return 0;
    return static_cast<qint64>(d);
}

QString SettingsStore::string(const QString& key, const QString& fallback) const
{
    const QVariant v = m_defaults.value(key);
    if (isText(v))
        return v.toString();
    if (isNumber(v))
        return v.toString();
    return fallback;
}

QColor SettingsStore::color(const QString& key, const QColor& fallback) const
{
    const QVariant v = m_defaults.value(key);
    if (v.typeId() != QMetaType::QByteArray)
        return fallback;
    return ColorCodec::decode(v.toByteArray()).value_or(fallback);
}

double SettingsStore::positiveDouble(const QString& key, double fallback) const
{
    const QVariant v = m_defaults.value(key);
    if (!isText(v) && !isNumber(v))
        return fallback;
    bool ok = false;
    const double d = v.toString().trimmed().toDouble(&ok);
    // Infinity would make strokes unpaintable and the eraser remove everything.
    if (!ok || !std::isfinite(d) || !(d > 0.0))
        return fallback;
    return d;
}

void SettingsStore::setInteger(qint64 value, const QString& key)
{
    write(key, value);
}

void SettingsStore::setString(const QString& value, const QString& key)
{
    write(key, value);
}

void SettingsStore::setDouble(double value, const QString& key)
{
    write(key, value);
}

void SettingsStore::setColor(const QColor& color, const QString& key)
{
    const QByteArray bytes = ColorCodec::encode(color);
    if (!bytes.isEmpty())
        write(key, bytes);
}

QString SettingsStore::unwritableReason() const
{
    return m_defaults.isWritable() ? QString() : reasonNotWritten(m_defaults.fileName());
}

QString SettingsStore::sync()
{
    // QSettings keeps the first error it met for good; a fresh object on the same file shares
    // the pending values and reports on this write alone.
    QSettings file = openSettings();
    file.sync();
    const QMap<QString, QVariant> previous = std::exchange(m_unsynced, {});
    if (file.status() == QSettings::NoError && QFileInfo(file.fileName()).isFile())
        return {};
    // The program goes on with what the file holds, not with values the user was told are lost.
    for (auto it = previous.begin(); it != previous.end(); ++it) {
        if (it.value().isValid())
            m_defaults.setValue(it.key(), it.value());
        else
            m_defaults.remove(it.key());
    }
    return reasonNotWritten(file.fileName());
}

void SettingsStore::write(const QString& key, const QVariant& value)
{
    if (!m_unsynced.contains(key))
        m_unsynced.insert(key, m_defaults.value(key));
    m_defaults.setValue(key, value);
}
