#include "overlay/overlaymanager.h"

#include "overlay/canvascommands.h"
#include "overlay/drawingview.h"
#include "overlay/liveprobe.h"
#include "overlay/memoryrelease.h"
#include "overlay/overlaycontentview.h"
#include "overlay/overlaywindow.h"
#include "overlay/undobudget.h"
#include "screenshot/screencapturer.h"

#include <QGuiApplication>
#include <QPointer>
#include <QScreen>
#include <QTimer>

#include <algorithm>

OverlayManager::OverlayManager(SettingsStore& settings, ScreenCapturer* capturer, QObject* parent)
    : QObject(parent), m_settings(settings), m_capturer(capturer)
{
    connect(qGuiApp, &QGuiApplication::screenRemoved, this, &OverlayManager::screenRemoved);
    connect(qGuiApp, &QGuiApplication::screenAdded, this, &OverlayManager::screenAdded);
    // Late enough for the windows' deferred deletion, and once for a quick close and reopen.
    m_release.setSingleShot(true);
    m_release.setInterval(1000);
    connect(&m_release, &QTimer::timeout, this, [this] {
        if (!isShowing())
            releaseFreedMemory();
    });
}

OverlayManager::~OverlayManager()
{
    hide();
}

void OverlayManager::show(std::function<void()> onExit, std::function<void()> onSettings)
{
    if (isShowing() || isOpening())
        return;
    exitCallback = std::move(onExit);
    settingsCallback = std::move(onSettings);
    if (!m_capturer || m_capturer->compositing()) {
        open({});
        return;
    }
    // Stills are taken before any overlay window covers a screen.
    const int opening = m_opening = ++m_openings;
    const QPointer<OverlayManager> self(this);
    m_capturer->grabStills(
        [self, opening](const StillsResult& result) {
            if (!self || self->m_opening != opening)
                return;
            self->m_opening = 0;
            // Without stills the windows would show black; the owner tells the user why.
            if (result.status != StillsResult::Status::Taken) {
                self->hide();
                if (self->onStillsFailed)
                    self->onStillsFailed(result);
                return;
            }
            self->open(result.stills);
            if (self->m_capturer->compositingUnknown())
                self->learnCompositing(1);
        },
        {});
}

void OverlayManager::learnCompositing(int attempt)
{
    if (m_windows.empty())
        return;
    const QPointer<OverlayWindow> window(m_windows.front().get());
    OverlayContentView* content = window->contentView();
    const QImage still = content->backdrop();
    const std::optional<LiveProbe> probe = findLiveProbe(still);
    if (!probe)
        return;
    content->setBackdrop(withLiveProbe(still, *probe));
    const QPointer<OverlayManager> self(this);
    // Drawn, and then given a moment more on every later attempt.
    QTimer::singleShot((attempt - 1) * 100, this, [self, window, still, probe, attempt] {
        if (!window || !window->isVisible())
            return;
        self->m_capturer->grabStills(
            [self, window, still, probe, attempt](const StillsResult& result) {
                if (!self || !window || !window->isVisible())
                    return;
                const auto seen = std::find_if(
                    result.stills.begin(), result.stills.end(),
                    [&](const ScreenStill& s) { return s.screen == window->targetScreen(); });
                const LiveAnswer answer = seen == result.stills.end()
                                              ? LiveAnswer::Unseen
                                              : liveAnswer(seen->image, *probe);
                window->contentView()->setBackdrop(still);
                if (result.status != StillsResult::Status::Taken)
                    return;
                if (answer == LiveAnswer::Unseen) {
                    if (attempt < 5)
                        self->learnCompositing(attempt + 1);
                    return;
                }
                self->m_capturer->setCompositing(answer == LiveAnswer::Live);
                if (answer == LiveAnswer::Live) {
                    for (const auto& open : self->m_windows)
                        open->contentView()->setBackdrop({});
                }
            },
            {});
    });
}

void OverlayManager::open(const std::vector<ScreenStill>& stills)
{
    // One budget for every display of this opening.
    m_undoBudget = std::make_shared<UndoBudget>();
    for (QScreen* screen : QGuiApplication::screens()) {
        const auto still = std::find_if(stills.begin(), stills.end(),
                                        [&](const ScreenStill& s) { return s.screen == screen; });
        addWindow(screen, still == stills.end() ? QImage() : still->image);
    }
    setPreset(0);
    grabKeyboard();
}

void OverlayManager::addWindow(QScreen* screen, const QImage& backdrop)
{
    const QPointer<OverlayManager> self(this);
    auto* window = new OverlayWindow(m_settings, screen,
                                     screen == QGuiApplication::screens().value(0), backdrop);
    OverlayContentView* content = window->contentView();
    content->onPreset = [self](int preset) {
        if (self)
            self->setPreset(preset);
    };
    content->onEraser = [self] {
        if (self)
            self->useEraser();
    };
    content->onClear = [self] {
        if (self)
            self->clearAll();
    };
    content->onExit = [self] {
        if (self)
            self->leave(&OverlayManager::exitCallback);
    };
    content->onSettings = [self] {
        if (self)
            self->leave(&OverlayManager::settingsCallback);
    };
    content->onUndo = [self] {
        if (self)
            self->undo();
    };
    content->onRedo = [self] {
        if (self)
            self->redo();
    };
    // The keyboard goes to one canvas; the drag may be on any.
    content->onShapeKeys = [self](Qt::KeyboardModifiers modifiers, bool ellipseKey) {
        if (self) {
            for (DrawingView* view : self->m_drawingViews)
                view->setShapeKeys(modifiers, ellipseKey);
        }
    };
    DrawingView* canvas = content->drawingView();
    canvas->shareUndoBudget(m_undoBudget);
    canvas->onEdited = [self, canvas](const StrokeEdits& edits) {
        if (self)
            self->record({{canvas, edits}});
    };
    connect(screen, &QScreen::geometryChanged, window, &OverlayWindow::placeOnScreen);
    m_windows.emplace_back(window);
    m_drawingViews.push_back(canvas);
    window->show();
    window->raise();
    window->activateWindow();
}

void OverlayManager::hide()
{
    m_opening = 0;
    const bool wasShowing = isShowing();
    if (wasShowing)
        m_release.start();
    for (auto& window : m_windows) {
        // A release still on its way must not record into the next opening's history.
        window->contentView()->drawingView()->onEdited = nullptr;
        window->contentView()->drawingView()->releaseKeyboard();
        window->hide();
    }
    m_windows.clear();
    m_drawingViews.clear();
    m_undoBudget.reset();
    m_toolbarHidden = false;
    // Not clear(): after a long session the capacity alone is thousands of entries.
    m_done = {};
    m_undone = {};
    exitCallback = nullptr;
    settingsCallback = nullptr;
    if (wasShowing && onHidden)
        onHidden();
}

QWidget* OverlayManager::toolbar() const
{
    for (const auto& window : m_windows) {
        if (QWidget* toolbar = window->contentView()->toolbar())
            return toolbar;
    }
    return nullptr;
}

QRect OverlayManager::hideToolbar()
{
    QWidget* bar = toolbar();
    if (!bar || !bar->isVisible())
        return {};
    bar->hide();
    m_toolbarHidden = true;
    return QRect(bar->mapToGlobal(QPoint(0, 0)), bar->size());
}

void OverlayManager::showToolbar()
{
    m_toolbarHidden = false;
    if (QWidget* bar = toolbar())
        bar->show();
}

void OverlayManager::placeToolbar()
{
    if (m_windows.empty())
        return;
    // On the first display, or the first one covered when that one is not.
    QScreen* first = QGuiApplication::screens().value(0);
    auto holder = std::find_if(m_windows.begin(), m_windows.end(), [first](const auto& window) {
        return window->targetScreen() == first;
    });
    if (holder == m_windows.end())
        holder = m_windows.begin();
    for (const auto& window : m_windows)
        window->contentView()->setShowsToolbar(window == *holder);
    setActiveTool(m_activeTool);
    if (QWidget* bar = toolbar(); bar && m_toolbarHidden)
        bar->hide();
}

std::vector<OverlayWindow*> OverlayManager::windows() const
{
    std::vector<OverlayWindow*> result;
    for (const auto& window : m_windows)
        result.push_back(window.get());
    return result;
}

void OverlayManager::setPreset(int index)
{
    for (DrawingView* view : m_drawingViews) {
        const PenPreset pen = penPreset(m_settings, index);
        view->applyPen(pen.color, pen.width);
    }
    setActiveTool(index);
}

void OverlayManager::useEraser()
{
    for (DrawingView* view : m_drawingViews)
        view->useEraser();
    setActiveTool(3);
}

void OverlayManager::setActiveTool(int tool)
{
    m_activeTool = tool;
    for (const auto& window : m_windows)
        window->contentView()->setActiveTool(tool);
}

void OverlayManager::clearAll()
{
    Change change;
    for (DrawingView* view : m_drawingViews) {
        StrokeEdits edits = view->clearStrokes();
        if (!edits.isEmpty())
            change.push_back({view, std::move(edits)});
    }
    if (!change.empty())
        record(std::move(change));
}

void OverlayManager::undo()
{
    replay(m_done, m_undone, true);
}

void OverlayManager::redo()
{
    replay(m_undone, m_done, false);
}

void OverlayManager::record(Change change)
{
    m_done.push_back(std::move(change));
    m_undone.clear();
}

void OverlayManager::replay(std::vector<Change>& from, std::vector<Change>& to, bool undo)
{
    // Edits are kept by index, so the lists must stay as the history left them.
    const bool editing = std::any_of(m_drawingViews.begin(), m_drawingViews.end(),
                                     [](const DrawingView* view) { return view->isEditing(); });
    if (editing || from.empty())
        return;
    for (const CanvasEdits& part : from.back())
        part.canvas->applyEdits(part.edits, undo);
    to.push_back(std::move(from.back()));
    from.pop_back();
}

void OverlayManager::leave(std::function<void()> OverlayManager::*callback)
{
    const std::function<void()> taken = this->*callback;
    hide();
    if (taken)
        taken();
}

void OverlayManager::screenRemoved(QScreen* screen)
{
    for (std::size_t i = 0; i < m_windows.size(); ++i) {
        if (m_windows[i]->targetScreen() != screen && m_windows[i]->targetScreen())
            continue;
        m_windows[i]->hide();
        forget(m_drawingViews[i]);
        m_windows.erase(m_windows.begin() + std::ptrdiff_t(i));
        m_drawingViews.erase(m_drawingViews.begin() + std::ptrdiff_t(i));
        --i;
    }
    if (m_windows.empty()) {
        hide();
        return;
    }
    placeToolbar();
    grabKeyboard();
}

void OverlayManager::screenAdded(QScreen* screen)
{
    if (!isShowing())
        return;
    if (!m_capturer || m_capturer->compositing()) {
        cover(screen, {});
        return;
    }
    // Where windows cannot be see-through, the new display needs a still of its own; without
    // one it stays uncovered rather than black.
    const QPointer<OverlayManager> self(this);
    const QPointer<QScreen> added(screen);
    m_capturer->grabStills(
        [self, added](const StillsResult& result) {
            if (!self || !added || !self->isShowing())
                return;
            const auto covered =
                std::any_of(self->m_windows.begin(), self->m_windows.end(),
                            [&](const auto& window) { return window->targetScreen() == added; });
            const auto still =
                std::find_if(result.stills.begin(), result.stills.end(),
                             [&](const ScreenStill& s) { return s.screen == added; });
            if (!covered && still != result.stills.end())
                self->cover(added, still->image);
        },
        {});
}

void OverlayManager::cover(QScreen* screen, const QImage& backdrop)
{
    // With the tool the other displays' canvases have.
    const DrawingView* model = m_drawingViews.front();
    addWindow(screen, backdrop);
    DrawingView* canvas = m_drawingViews.back();
    canvas->applyPen(model->currentColor(), model->currentWidth());
    if (model->mode() == DrawingMode::eraser)
        canvas->useEraser();
    placeToolbar();
    grabKeyboard();
}

void OverlayManager::forget(const DrawingView* canvas)
{
    for (std::vector<Change>* history : {&m_done, &m_undone}) {
        for (Change& change : *history)
            std::erase_if(change,
                          [canvas](const CanvasEdits& part) { return part.canvas == canvas; });
        std::erase_if(*history, [](const Change& change) { return change.empty(); });
    }
}

void OverlayManager::grabKeyboard()
{
    // Letters must reach the overlay even when another application had the focus; the last
    // display's canvas takes them, and every command acts on all canvases anyway.
    if (!m_drawingViews.empty())
        m_drawingViews.back()->grabKeyboard();
}
