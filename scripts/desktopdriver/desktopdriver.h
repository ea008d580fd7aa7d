#pragma once

// What the Wayland tests do to the desktop they run on, done from outside as a user or another
// program would. One driver per kind of desktop runs beside it as a service on its session bus
// (org.vellori.TestDesktop), started by scripts/waylanddesktop.sh, so that the tests speak to
// every desktop the same way and input devices and sessions live as long as the desktop.

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPoint>
#include <QRect>
#include <QString>
#include <QStringList>

#include <memory>

class DesktopDriver
{
public:
    virtual ~DesktopDriver() = default;

    // The outputs in the desktop's layout, left to right, in logical pixels.
    virtual QList<QRect> outputs() = 0;
    // Where the mapped windows of a process are, in the desktop's layout, left to right; only
    // the fullscreen ones, which cover an output each, when asked.
    virtual QList<QRect> windows(qint64 pid, bool fullscreenOnly) = 0;
    // Closes every window of the process, as its close button would.
    virtual bool close(qint64 pid) = 0;
    // Puts the newest window of the process over the whole output of that name.
    virtual bool place(qint64 pid, const QString& output) = 0;
    // What the outputs show of `area` (the whole layout when empty), at the highest scale of
    // the outputs it touches, in any format QImage reads; empty when it could not be taken.
    virtual QByteArray picture(const QRect& area) = 0;
    // The pointer to a point of the layout, and a button (linux/input-event-codes.h) on it.
    virtual bool moveTo(QPoint point) = 0;
    virtual bool button(uint button, bool pressed) = 0;
    // Key presses by xkb name, each pressed and released in turn.
    virtual bool keys(const QStringList& names) = 0;
    // Holds a modifier ("shift", "ctrl") down for `ms` milliseconds; returns once it is down.
    virtual bool hold(const QString& modifier, int ms) = 0;
    // The clipboard's content of that type; empty when none.
    virtual QByteArray clipboard(const QString& type) = 0;
};

std::unique_ptr<DesktopDriver> createSwayDriver();
std::unique_ptr<DesktopDriver> createGnomeDriver();
std::unique_ptr<DesktopDriver> createKWinDriver();

// The driver on the bus; every call is answered once the desktop has taken it in.
class DesktopService : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.vellori.TestDesktop")

public:
    explicit DesktopService(DesktopDriver& driver) : m_driver(driver) {}

public slots:
    QList<QRect> Outputs() { return m_driver.outputs(); }
    QList<QRect> Windows(qint64 pid, bool fullscreenOnly)
    {
        return m_driver.windows(pid, fullscreenOnly);
    }
    bool Close(qint64 pid) { return m_driver.close(pid); }
    bool Place(qint64 pid, const QString& output) { return m_driver.place(pid, output); }
    QByteArray Picture(const QRect& area) { return m_driver.picture(area); }
    bool MoveTo(const QPoint& point) { return m_driver.moveTo(point); }
    bool Button(uint button, bool pressed) { return m_driver.button(button, pressed); }
    bool Keys(const QStringList& names) { return m_driver.keys(names); }
    bool Hold(const QString& modifier, int ms) { return m_driver.hold(modifier, ms); }
    QByteArray Clipboard(const QString& type) { return m_driver.clipboard(type); }

private:
    DesktopDriver& m_driver;
};

// Runs a program to its end: whether it succeeded, and its output.
bool runTool(const QString& program, const QStringList& arguments, QByteArray* out = nullptr);
