#pragma once

// Helpers shared by the tests: private settings and mouse input with the button held.

#include <QApplication>
#include <QList>
#include <QMouseEvent>
#include <QPointF>
#include <QSettings>
#include <QStandardPaths>
#include <QWidget>

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

} // namespace TestSupport
