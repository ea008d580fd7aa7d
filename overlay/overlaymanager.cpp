#include "overlay/overlaymanager.h"

#include "overlay/canvascommands.h"
#include "overlay/drawingview.h"
#include "overlay/overlaycontentview.h"
#include "overlay/overlaywindow.h"
#include "screenshot/screencapturer.h"

#include <QGuiApplication>
#include <QPointer>
#include <QScreen>

#include <algorithm>

OverlayManager::OverlayManager(SettingsStore& settings, ScreenCapturer* capturer, QObject* parent)
    : QObject(parent), m_settings(settings), m_capturer(capturer)
{
    connect(qGuiApp, &QGuiApplication::screenRemoved, this, &OverlayManager::screenRemoved);
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
            if (self && self->m_opening == opening) {
                self->m_opening = 0;
                self->open(result.stills);
            }
        },
        {});
}

void OverlayManager::open(const std::vector<ScreenStill>& stills)
{
    const QPointer<OverlayManager> self(this);
    const QList<QScreen*> screens = QGuiApplication::screens();
    for (qsizetype i = 0; i < screens.size(); ++i) {
        const auto still = std::find_if(stills.begin(), stills.end(), [&](const ScreenStill& s) {
            return s.screen == screens[i];
        });
        auto* window = new OverlayWindow(m_settings, screens[i], i == 0,
                                         still == stills.end() ? QImage() : still->image);
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
        connect(screens[i], &QScreen::geometryChanged, window, &OverlayWindow::placeOnScreen);
        m_windows.emplace_back(window);
        m_drawingViews.push_back(content->drawingView());
        window->show();
        window->raise();
        window->activateWindow();
    }
    setPreset(0);
    grabKeyboard();
}

void OverlayManager::hide()
{
    m_opening = 0;
    const bool wasShowing = isShowing();
    for (auto& window : m_windows) {
        window->contentView()->drawingView()->releaseKeyboard();
        window->hide();
    }
    m_windows.clear();
    m_drawingViews.clear();
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
    return QRect(bar->mapToGlobal(QPoint(0, 0)), bar->size());
}

void OverlayManager::showToolbar()
{
    if (QWidget* bar = toolbar())
        bar->show();
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
}

void OverlayManager::useEraser()
{
    for (DrawingView* view : m_drawingViews)
        view->useEraser();
}

void OverlayManager::clearAll()
{
    for (DrawingView* view : m_drawingViews)
        view->clearStrokes();
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
        m_windows.erase(m_windows.begin() + std::ptrdiff_t(i));
        m_drawingViews.erase(m_drawingViews.begin() + std::ptrdiff_t(i));
        --i;
    }
    if (m_windows.empty())
        hide();
    else
        grabKeyboard();
}

void OverlayManager::grabKeyboard()
{
    // Letters must reach the overlay even when another application had the focus; the last
    // display's canvas takes them, and every command acts on all canvases anyway.
    if (!m_drawingViews.empty())
        m_drawingViews.back()->grabKeyboard();
}
