#pragma once

#include "desktop/deletelater.h"
#include "overlay/stroke.h"
#include "screenshot/screencapturer.h"

#include <QObject>
#include <QRect>
#include <QTimer>

#include <functional>
#include <memory>
#include <vector>

class DrawingView;
class OverlayWindow;
class QScreen;
class QWidget;
class SettingsStore;
class UndoBudget;

// Opens the pen overlay on every display as a whole, carries out pen, eraser and clear on every
// canvas at once, and reports leaving to its owner. One history of changes serves every display,
// so undo and redo act wherever the change was.
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
    // also clears the callbacks. A moment later, once the windows are gone, the memory they
    // used is given back (releaseTimer()).
    void hide();
    void setPreset(int index);
    void useEraser();
    void clearAll();
    // Do nothing while a drag is open, or when there is nothing to undo or redo.
    void undo();
    void redo();

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

    // Tests shorten it instead of waiting.
    QTimer& releaseTimer() { return m_release; }

    std::function<void()> exitCallback;
    std::function<void()> settingsCallback;
    // Run whenever open windows have closed, however they were closed. Kept across openings.
    std::function<void()> onHidden;
    // The stills to open on were refused or failed, so the overlay did not open. Kept across
    // openings.
    std::function<void(const StillsResult&)> onStillsFailed;

private:
    // What one change did to each canvas it touched.
    struct CanvasEdits {
        DrawingView* canvas;
        StrokeEdits edits;
    };
    using Change = std::vector<CanvasEdits>;

    void record(Change change);
    // Moves the newest change from one history to the other, undoing or redoing it.
    void replay(std::vector<Change>& from, std::vector<Change>& to, bool undo);
    void setActiveTool(int tool);
    // Drops a canvas that is going away from both histories.
    void forget(const DrawingView* canvas);
    void open(const std::vector<ScreenStill>& stills);
    // One window over the screen, its canvas wired to this manager.
    void addWindow(QScreen* screen, const QImage& backdrop);
    QWidget* toolbar() const;
    // Moves the toolbar to the first display, as displays come and go.
    void placeToolbar();
    void leave(std::function<void()> OverlayManager::*callback);
    void screenRemoved(QScreen* screen);
    void screenAdded(QScreen* screen);
    // A display added while open: its window, with the tool in use and the keyboard.
    void cover(QScreen* screen, const QImage& backdrop);
    // Where the capturer cannot tell whether translucent windows show what lies below, the
    // first window shows a probe in its still and the screen is read: seen live, every still
    // goes and later openings need none.
    void learnCompositing(int attempt);

    SettingsStore& m_settings;
    ScreenCapturer* m_capturer;
    std::vector<LaterPtr<OverlayWindow>> m_windows;
    std::vector<DrawingView*> m_drawingViews;
    QTimer m_release;
    std::shared_ptr<UndoBudget> m_undoBudget;
    int m_activeTool = 0;
    bool m_toolbarHidden = false;
    std::vector<Change> m_done;
    std::vector<Change> m_undone;
    // The number of the opening that waits for stills; 0 when none does.
    int m_opening = 0;
    int m_openings = 0;
};
