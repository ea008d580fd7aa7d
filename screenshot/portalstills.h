#pragma once

#include "screenshot/stillbackend.h"

#include <QObject>
#include <QScreen>
#include <QSize>

#include <deque>
#include <optional>

class PortalScreenshot;

// The desktop's screenshot portal (org.freedesktop.portal.Screenshot) on the session bus: one
// picture of the whole desktop per request, cut into a still per screen. Works on every desktop
// that has the portal, slowly: the picture comes as a PNG file.
class PortalStills : public QObject, public StillBackend
{
    Q_OBJECT

public:
    using DisplayID = std::function<std::optional<quint32>(const QScreen*)>;
    // nativeSize gives a screen's pixels as the compositor reports them, or an empty size.
    PortalStills(DisplayID displayID, std::function<QSize(const QScreen*)> nativeSize,
                 QObject* parent = nullptr);
    ~PortalStills() override;

    QString name() const override { return QStringLiteral("portal"); }
    bool available() const override { return true; }
    // One request at a time: some portals write every picture to one fixed file, which a second
    // request would overwrite while the first is read.
    void grab(std::function<void(StillsResult)> done) override;

    // How long the portal may take to answer; a permission dialog may be waiting for the user.
    void setAnswerTimeout(int milliseconds) { m_answerTimeout = milliseconds; }

private:
    friend class PortalScreenshot;
    void next();
    StillsResult stillsFrom(const QString& path) const;

    DisplayID m_displayID;
    std::function<QSize(const QScreen*)> m_nativeSize;
    std::deque<std::function<void(StillsResult)>> m_waiting;
    PortalScreenshot* m_current = nullptr;
    int m_answerTimeout = 30000;
    // The last request ended on a 'no' the desktop keeps.
    bool m_storedDenial = false;
};
