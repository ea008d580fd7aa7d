#include "screenshot/selectionmanager.h"

#include "screenshot/selectionview.h"
#include "screenshot/selectionwindow.h"

#include <QGuiApplication>
#include <QPointer>
#include <QScreen>

SelectionManager::SelectionManager(QObject* parent) : QObject(parent) {}

SelectionManager::~SelectionManager()
{
    // Never leave a dimmed screen or a pushed cursor behind.
    if (isRunning()) {
        m_completion = nullptr;
        closeWindows(m_windows);
    }
}

void SelectionManager::select(const std::vector<ScreenStill>& stills, Completion completion)
{
    m_completion = std::move(completion);
    QGuiApplication::setOverrideCursor(Qt::CrossCursor);
    const QPointer<SelectionManager> self(this);
    for (const ScreenStill& still : stills) {
        if (!still.screen)
            continue;
        auto* window = new SelectionWindow(still.screen, still.image);
        m_windows.emplace_back(window);
        SelectionView* view = window->view();
        view->onComplete = [self, screen = still.screen, id = still.displayID,
                            image = still.image](const QRectF& rect) {
            if (self)
                self->finish(ScreenSelection{screen, id, rect, image});
        };
        view->onCancel = [self] {
            if (self)
                self->finish(std::nullopt);
        };
        window->show();
        window->raise();
        window->activateWindow();
        view->setFocus();
    }
    if (m_windows.empty()) {
        // Nothing can be selected; end at once rather than wait for a result that never comes.
        finish(std::nullopt);
        return;
    }
    grabKeyboard();
}

void SelectionManager::grabKeyboard()
{
    if (!m_windows.empty())
        m_windows.back()->view()->grabKeyboard();
}

void SelectionManager::finish(const std::optional<ScreenSelection>& selection)
{
    if (!m_completion)
        return;
    const Completion completion = std::move(m_completion);
    m_completion = nullptr;
    // The windows stay up while the completion runs: a Wayland compositor takes the clipboard
    // only from a client that has the keyboard. The completion may delete this manager, so the
    // windows are closed from here, not through members.
    std::vector<LaterPtr<SelectionWindow>> windows = std::move(m_windows);
    m_windows.clear();
    completion(selection);
    closeWindows(windows);
}

void SelectionManager::closeWindows(std::vector<LaterPtr<SelectionWindow>>& windows)
{
    for (auto& window : windows) {
        window->view()->releaseKeyboard();
        window->hide();
    }
    windows.clear();
    QGuiApplication::restoreOverrideCursor();
}

std::vector<SelectionWindow*> SelectionManager::windows() const
{
    std::vector<SelectionWindow*> result;
    for (const auto& window : m_windows)
        result.push_back(window.get());
    return result;
}
