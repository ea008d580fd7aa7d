#pragma once

#include "desktop/deletelater.h"
#include "screenshot/screencapturer.h"
#include "screenshot/screenselection.h"

#include <QObject>

#include <functional>
#include <optional>
#include <vector>

class SelectionWindow;

// Runs one region selection over stills of the screens and delivers exactly one result: the
// selection, or none when the user cancelled.
class SelectionManager : public QObject
{
    Q_OBJECT

public:
    using Completion = std::function<void(const std::optional<ScreenSelection>&)>;

    explicit SelectionManager(QObject* parent = nullptr);
    ~SelectionManager() override;

    // One window over each still's screen, showing the still. Returns at once; the completion
    // runs later, once, on the main thread (at once when there is no still).
    void select(const std::vector<ScreenStill>& stills, Completion completion);
    // Ends the selection and runs the completion; later calls do nothing.
    void finish(const std::optional<ScreenSelection>& selection);

    bool isRunning() const { return bool(m_completion); }
    std::vector<SelectionWindow*> windows() const;
    // Escape must reach the selection even when another application has the focus, or after a
    // layer of ours above it closed.
    void grabKeyboard();

private:
    static void closeWindows(std::vector<LaterPtr<SelectionWindow>>& windows);

    std::vector<LaterPtr<SelectionWindow>> m_windows;
    Completion m_completion;
};
