#pragma once

#include "desktop/deletelater.h"
#include "screenshot/screencapturer.h"
#include "screenshot/screenselection.h"

#include <QDateTime>
#include <QObject>
#include <QRegion>

#include <functional>
#include <optional>

class Alerts;
class CaptureSound;
class SelectionManager;

// What the flow needs from the desktop; its owner keeps every part alive.
struct ScreenshotDesktop {
    Alerts& alerts;
    ScreenCapturer& capturer;
    CaptureSound& sound;
    std::function<QDateTime()> clock;
};

// The region screenshot from the request to the file: file name, our windows out of the way, a
// still of every screen, the selection over the stills, then the region cut from its still,
// encoded and written. One at a time: a request while one runs is turned down.
class ScreenshotFlow : public QObject
{
    Q_OBJECT

public:
    explicit ScreenshotFlow(ScreenshotDesktop desktop, QObject* parent = nullptr);
    ~ScreenshotFlow() override;

    // False when it was turned down, as a request while another runs is; the status says so.
    bool captureScreenshot();

    // From the request until the file is written, or the request ended otherwise.
    bool isBusy() const { return m_busy; }
    // Set from the request until the selection has ended.
    SelectionManager* selectionManager() const { return m_selectionManager.get(); }
    // Gives the keyboard back to an open selection, after a layer of ours above it closed.
    void grabKeyboard();

    std::function<void(const QString& message, double resetAfterSeconds)> onStatus;
    // Hides whatever of ours must not be in the stills; returns where it was, in global
    // coordinates.
    std::function<QRegion()> onHideWindows;
    // The stills are taken: what was hidden only for them may show again.
    std::function<void()> onStillsTaken;
    // No usable still came: what was hidden for the request shows again.
    std::function<void()> onStillsFailed;
    // The selection has ended; its windows close right after.
    std::function<void()> onSelectionClosed;

private:
    void stillsTaken(const StillsResult& result, const QString& target);
    void selectionFinished(const std::optional<ScreenSelection>& selection, const QString& target);
    // Crops, encodes and writes the file, then the clipboard; why not, when it could not.
    QString writeSelection(const ScreenSelection& selection, const QString& target);
    void fail(const QString& description);
    void status(const QString& message, double resetAfterSeconds);

    ScreenshotDesktop m_desktop;
    LaterPtr<SelectionManager> m_selectionManager;
    bool m_busy = false;
};
