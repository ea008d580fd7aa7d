#pragma once

#include "app/deletelater.h"
#include "screenshot/screenselection.h"

#include <QObject>

#include <functional>
#include <optional>
#include <vector>

class ScreenCapturer;
class SelectionWindow;

// Runs one region selection over every screen that has a display identifier and delivers
// exactly one result: the selection, or none when the user cancelled.
class SelectionManager : public QObject
{
    Q_OBJECT

public:
    using Completion = std::function<void(const std::optional<ScreenSelection>&)>;

    explicit SelectionManager(ScreenCapturer& capturer, QObject* parent = nullptr);
    ~SelectionManager() override;

    // Returns at once; the completion runs later, once, on the main thread.
    void select(Completion completion);
    // Ends the selection and runs the completion; later calls do nothing.
    void finish(const std::optional<ScreenSelection>& selection);

    bool isRunning() const { return bool(m_completion); }
    std::vector<SelectionWindow*> windows() const;

private:
    void closeWindows();

    ScreenCapturer& m_capturer;
    std::vector<LaterPtr<SelectionWindow>> m_windows;
    Completion m_completion;
};
