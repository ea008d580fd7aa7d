#pragma once

#include "screenshot/stillbackend.h"

#include <QObject>

#include <optional>

class QScreen;

// KWin's own screenshot interface (org.kde.KWin.ScreenShot2): every output at its native pixels,
// raw through a pipe, without the pointer and without a file. KWin serves a program only when its
// installed .desktop file names the interface and, in Exec=, the running executable; otherwise it
// refuses, and the next backend takes over.
class KWinStills : public QObject, public StillBackend
{
    Q_OBJECT

public:
    using DisplayID = std::function<std::optional<quint32>(const QScreen*)>;
    explicit KWinStills(DisplayID displayID, QObject* parent = nullptr);

    QString name() const override { return QStringLiteral("kwin-screenshot"); }
    // Where KWin's interface is on the session bus.
    bool available() const override;
    void grab(std::function<void(StillsResult)> done) override;

private:
    DisplayID m_displayID;
};
