#pragma once

// Helpers shared by the tests: private settings, mouse input with the button held, a private
// session bus.

#include <QApplication>
#include <QFile>
#include <QList>
#include <QMouseEvent>
#include <QPointF>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QWidget>

#include <csignal>
#include <sys/prctl.h>

namespace TestSupport
{

// The settings file the program reads and writes.
inline QString settingsFile()
{
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, "Vellori", "vellori")
        .fileName();
}

// Points QSettings and QStandardPaths at ~/.qttest, never the user's own files. Call first.
inline bool isolateSettings()
{
    QStandardPaths::setTestModeEnabled(true);
    return settingsFile().contains(".qttest");
}

inline void clearSettings()
{
    QSettings(QSettings::NativeFormat, QSettings::UserScope, "Vellori", "vellori").clear();
}

inline void sendMouse(QWidget* w, QEvent::Type type, QPointF p, Qt::MouseButton button,
                      Qt::MouseButtons held)
{
    QMouseEvent event(type, p, w->mapToGlobal(p), button, held, Qt::NoModifier);
    QApplication::sendEvent(w, &event);
}

inline void press(QWidget* w, QPointF p, Qt::MouseButton button = Qt::LeftButton)
{
    sendMouse(w, QEvent::MouseButtonPress, p, button, button);
}

// QTest::mouseMove does not carry the held button, so drags are sent by hand.
inline void drag(QWidget* w, QPointF p)
{
    sendMouse(w, QEvent::MouseMove, p, Qt::NoButton, Qt::LeftButton);
}

inline void release(QWidget* w, QPointF p)
{
    sendMouse(w, QEvent::MouseButtonRelease, p, Qt::LeftButton, Qt::NoButton);
}

// Press at the first point, drag through the rest, release at the last.
inline void drawStroke(QWidget* w, const QList<QPointF>& points)
{
    press(w, points.first());
    for (qsizetype i = 1; i < points.size(); ++i)
        drag(w, points[i]);
    release(w, points.last());
}

// A dbus-daemon of our own, gone with the test even when it crashes. Nothing is activated on it,
// so a name nobody owns stays absent.
struct PrivateBus {
    QTemporaryDir folder;
    QProcess daemon;
    QString address = start(); // empty when the daemon did not start

    QString start()
    {
        QFile config(folder.filePath("bus.conf"));
        config.open(QIODevice::WriteOnly);
        config.write(
            QStringLiteral("<busconfig><type>session</type><listen>unix:path=%1/bus</listen>"
                           "<auth>EXTERNAL</auth><policy context=\"default\"><allow "
                           "send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop="
                           "\"true\"/><allow own=\"*\"/></policy></busconfig>")
                .arg(folder.path())
                .toUtf8());
        config.close();
        daemon.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });
        daemon.start("dbus-daemon", {"--nofork", "--nopidfile", "--print-address",
                                     "--config-file=" + config.fileName()});
        return daemon.waitForReadyRead(10000) ? QString::fromUtf8(daemon.readLine()).trimmed()
                                              : QString();
    }
};

} // namespace TestSupport
