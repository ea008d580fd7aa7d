#include "screenshot/selectionmanager.h"

#include "screenshot/screencapturer.h"
#include "screenshot/selectionview.h"
#include "screenshot/selectionwindow.h"

#include <QGuiApplication>
#include <QPointer>
#include <QScreen>

SelectionManager::SelectionManager(ScreenCapturer& capturer, QObject* parent)
    : QObject(parent), m_capturer(capturer)
{
}

SelectionManager::~SelectionManager()
{
    // Never leave a dimmed screen or a pushed cursor behind.
    if (isRunning()) {
        m_completion = nullptr;
        closeWindows();
    }
}

void SelectionManager::select(Completion completion)
{
    m_completion = std::move(completion);
    QGuiApplication::setOverrideCursor(Qt::CrossCursor);

    struct Target {
        QScreen* screen;
        quint32 id;
        QImage still;
    };
    std::vector<Target> targets;
    const bool live = m_capturer.compositing();
    for (QScreen* screen : QGuiApplication::screens()) {
        if (const auto id = m_capturer.displayID(screen)) {
            // Stills are taken before any window of ours covers a screen.
            QImage still;
            if (!live)
                still = m_capturer.capture(screen, QRectF(QPointF(0, 0), screen->size())).image;
            targets.push_back({screen, *id, still});
        }
    }
    if (targets.empty()) {
        // Nothing can be selected; end at once rather than wait for a result that never comes.
        finish(std::nullopt);
        return;
    }

    const QPointer<SelectionManager> self(this);
    for (const Target& target : targets) {
        auto* window = new SelectionWindow(target.screen, target.still);
        m_windows.emplace_back(window);
        SelectionView* view = window->view();
        view->onComplete = [self, screen = QPointer<QScreen>(target.screen), id = target.id,
                            still = target.still](const QRectF& rect) {
            if (self)
                self->finish(ScreenSelection{screen, id, rect, still});
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
    // Escape must reach a selection window even when another application has the focus.
    m_windows.back()->view()->grabKeyboard();
}

void SelectionManager::finish(const std::optional<ScreenSelection>& selection)
{
    if (!m_completion)
        return;
    closeWindows();
    const Completion completion = std::move(m_completion);
    m_completion = nullptr;
    // The completion may delete this manager; nothing touches members after it.
    completion(selection);
}

void SelectionManager::closeWindows()
{
    for (auto& window : m_windows) {
        window->view()->releaseKeyboard();
        window->hide();
    }
    m_windows.clear();
    QGuiApplication::restoreOverrideCursor();
}

std::vector<SelectionWindow*> SelectionManager::windows() const
{
    std::vector<SelectionWindow*> result;
    for (const auto& window : m_windows)
        result.push_back(window.get());
    return result;
}
