#pragma once

#include "app/deletelater.h"

#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>
#include <vector>

class DrawingView;
class OverlayWindow;
class QScreen;
class ScreenCapturer;
class SettingsStore;

// Opens the pen overlay on every display as a whole, carries out pen, eraser and clear on every
// canvas at once, and reports leaving to its owner.
class OverlayManager : public QObject
{
    Q_OBJECT

public:
    // Without a capturer, or when translucent windows blend, the overlay shows the live screen;
    // otherwise it draws on a still of each screen taken as it opens.
    explicit OverlayManager(SettingsStore& settings, ScreenCapturer* capturer = nullptr,
                            QObject* parent = nullptr);
    ~OverlayManager() override;

    // Does nothing while the overlay is open.
    void show(std::function<void()> onExit, std::function<void()> onSettings);
    // Closes every window and drops their strokes; also clears the callbacks. A moment later,
    // once the windows are gone, the memory they used is given back (releaseTimer()).
    void hide();
    void setPreset(int index);
    void useEraser();
    void clearAll();

    // Takes the keyboard back, e.g. after a region selection over the open overlay had it.
    void grabKeyboard();

    bool isShowing() const { return !m_windows.empty(); }
    std::vector<OverlayWindow*> windows() const;
    const std::vector<DrawingView*>& drawingViews() const { return m_drawingViews; }

    // Tests shorten it instead of waiting.
    QTimer& releaseTimer() { return m_release; }

    std::function<void()> exitCallback;
    std::function<void()> settingsCallback;

private:
    void leave(std::function<void()> OverlayManager::*callback);
    void screenRemoved(QScreen* screen);

    SettingsStore& m_settings;
    ScreenCapturer* m_capturer;
    std::vector<LaterPtr<OverlayWindow>> m_windows;
    std::vector<DrawingView*> m_drawingViews;
    QTimer m_release;
};
