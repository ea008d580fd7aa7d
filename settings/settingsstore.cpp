#include "settings/settingsstore.h"

#include "settings/colorcodec.h"

#include <cmath>
#include <limits>

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

} // namespace

SettingsStore::SettingsStore()
    : m_defaults(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Vellori"),
                 QStringLiteral("vellori"))
{
}

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

void SettingsStore::write(const QString& key, const QVariant& value)
{
    m_defaults.setValue(key, value);
    // Written at once so that a crash or kill right after a save loses nothing.
    m_defaults.sync();
}
