#pragma once

#include "app/deletelater.h"
#include "screenshot/screencapturer.h"

#include <QObject>
#include <QRect>

#include <functional>
#include <memory>
#include <vector>

class DrawingView;
class OverlayWindow;
class QScreen;
class QWidget;
class SettingsStore;

// Opens the pen overlay on every display as a whole, carries out pen, eraser and clear on every
// canvas at once, and reports leaving to its owner.
class OverlayManager : public QObject
{
    Q_OBJECT

public:
    // Without a capturer, or when translucent windows blend, the overlay opens at once over the
    // live screen; otherwise it opens once stills of the screens have come, and draws on them.
    explicit OverlayManager(SettingsStore& settings, ScreenCapturer* capturer = nullptr,
                            QObject* parent = nullptr);
    ~OverlayManager() override;

    // Does nothing while the overlay is open or opening.
    void show(std::function<void()> onExit, std::function<void()> onSettings);
    // Closes every window and drops their strokes, or drops an opening that waits for stills;
    // also clears the callbacks.
    void hide();
    void setPreset(int index);
    void useEraser();
    void clearAll();

    // Takes the keyboard back, e.g. after a region selection over the open overlay had it.
    void grabKeyboard();

    // Hides the toolbar, e.g. out of a screenshot; returns where it was, in global coordinates.
    QRect hideToolbar();
    void showToolbar();

    bool isShowing() const { return !m_windows.empty(); }
    // Waiting for the stills to open on.
    bool isOpening() const { return m_opening != 0; }
    std::vector<OverlayWindow*> windows() const;
    const std::vector<DrawingView*>& drawingViews() const { return m_drawingViews; }

    std::function<void()> exitCallback;
    std::function<void()> settingsCallback;
    // Run whenever open windows have closed, however they were closed. Kept across openings.
    std::function<void()> onHidden;

private:
    void open(const std::vector<ScreenStill>& stills);
    QWidget* toolbar() const;
    void leave(std::function<void()> OverlayManager::*callback);
    void screenRemoved(QScreen* screen);

    SettingsStore& m_settings;
    ScreenCapturer* m_capturer;
    std::vector<LaterPtr<OverlayWindow>> m_windows;
    std::vector<DrawingView*> m_drawingViews;
    // The number of the opening that waits for stills; 0 when none does.
    int m_opening = 0;
    int m_openings = 0;
};
