#include "app/appdelegate.h"

#include "app/controlwindow.h"
#include "app/icons.h"
#include "app/shortcuttexts.h"
#include "hotkeys/hotkeybackend.h"
#include "overlay/overlaymanager.h"
#include "screenshot/screenshotflow.h"
#include "screenshot/screenshotpaths.h"
#include "settings/settingswindowcontroller.h"

#include <QAction>
#include <QCoreApplication>
#include <QCursor>
#include <QDir>
#include <QLabel>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTimer>

namespace
{

const QString kIdleTooltip = QStringLiteral("Vellori截图与红笔");
const QString kHotKeysRefused = QStringLiteral("有快捷键被其他程序占用");

} // namespace

AppDelegate::AppDelegate(Platform platform)
    : m_platform(std::move(platform)),
      m_screenshotFlow(std::make_unique<ScreenshotFlow>(ScreenshotDesktop{
          *m_platform.alerts, *m_platform.capturer, *m_platform.sound, m_platform.clock}))
{
    m_statusLine.onMessage = [this](const QString& message) { showStatusMessage(message); };
    m_statusLine.onIdle = [this] { showIdleStatus(); };
    ScreenshotFlow& flow = *m_screenshotFlow;
    flow.onStatus = [this](const QString& message, double seconds) {
        updateStatus(message, seconds);
    };
    flow.onHideWindows = [this] { return hideForStills(); };
    flow.onStillsTaken = [this] {
        if (m_overlayManager)
            m_overlayManager->showToolbar();
    };
    flow.onStillsFailed = [this] { showHiddenForStills(); };
    // A layer that stays open takes the keyboard back from one that closed above it.
    flow.onSelectionClosed = [this] {
        if (m_overlayManager)
            m_overlayManager->grabKeyboard();
    };
}

AppDelegate::~AppDelegate()
{
    applicationWillTerminate();
}

void AppDelegate::applicationDidFinishLaunching()
{
    buildStatusItem();
    refreshShortcutLabels();
    buildControlWindow();
    installHotKeyHandler();
    applyHotKeys();
    m_statusItem->show();
    applicationShouldHandleReopen();
    updateStatus(QStringLiteral("已启动"), 2);
}

void AppDelegate::applicationShouldHandleReopen()
{
    // show() alone leaves a minimised window minimised.
    m_controlWindow->setWindowState(m_controlWindow->windowState() & ~Qt::WindowMinimized);
    m_controlWindow->show();
    m_controlWindow->raise();
    m_controlWindow->activateWindow();
}

void AppDelegate::installHotKeyHandler()
{
    const QPointer<AppDelegate> self(this);
    m_platform.hotKeys->onPressed = [self](EventHotKeyID id) {
        if (!self)
            return;
        if (id.id == HotKeyIDs::screenshot.id)
            self->captureScreenshot();
        else
            self->toggleMarker();
    };
    m_platform.hotKeys->onRefused = [self](const QList<EventHotKeyID>& ids) {
        if (self)
            self->hotKeysRefused(ids);
    };
    m_platform.hotKeys->onReportChanged = [self] {
        if (self)
            self->refreshShortcutLabels();
    };
    m_hotKeyHandlerInstalled = true;
}

void AppDelegate::releaseHotKeys()
{
    if (m_screenshotHotKey)
        m_platform.hotKeys->unregisterHotKey(HotKeyIDs::screenshot);
    m_screenshotHotKey = false;
    if (m_markerHotKey)
        m_platform.hotKeys->unregisterHotKey(HotKeyIDs::pen);
    m_markerHotKey = false;
}

void AppDelegate::applyHotKeys()
{
    HotKeyBackend& hotKeys = *m_platform.hotKeys;
    releaseHotKeys();
    m_screenshotHotKey = hotKeys.registerHotKey(
        HotKeyIDs::screenshot,
        functionKeyCode(m_settings.value(SettingsKeys::screenshotFunctionKey,
                                         SettingsDefaults::screenshotFunctionKey)));
    m_markerHotKey = hotKeys.registerHotKey(
        HotKeyIDs::pen, functionKeyCode(m_settings.value(SettingsKeys::markerFunctionKey,
                                                         SettingsDefaults::markerFunctionKey)));
    refreshShortcutLabels();
    // Where the desktop gives no keys at all, nobody took one: the shortcut box says what to do.
    if (hotKeys.givesKeys() && (!m_screenshotHotKey || !m_markerHotKey)) {
        // Both callers post their own message right after this; the refusal must outlive it.
        QTimer::singleShot(0, this, [this] { updateStatus(kHotKeysRefused, 5); });
    }
}

// The desktop answers after applyHotKeys has returned, so the caller's message is already shown.
void AppDelegate::hotKeysRefused(const QList<EventHotKeyID>& ids)
{
    for (const EventHotKeyID id : ids) {
        if (id == HotKeyIDs::screenshot)
            m_screenshotHotKey = false;
        else if (id == HotKeyIDs::pen)
            m_markerHotKey = false;
    }
    updateStatus(kHotKeysRefused, 5);
}

void AppDelegate::applicationWillTerminate()
{
    releaseHotKeys();
    if (m_hotKeyHandlerInstalled) {
        m_platform.hotKeys->onPressed = nullptr;
        m_platform.hotKeys->onRefused = nullptr;
        m_platform.hotKeys->onReportChanged = nullptr;
    }
    m_hotKeyHandlerInstalled = false;
}

void AppDelegate::buildStatusItem()
{
    m_statusItem = std::make_unique<QSystemTrayIcon>(Icons::pen());
    m_statusItem->setToolTip(kIdleTooltip);

    m_menu = std::make_unique<QMenu>();
    m_screenshotMenuItem = m_menu->addAction(QStringLiteral("框选截图"));
    connect(m_screenshotMenuItem, &QAction::triggered, this, &AppDelegate::captureScreenshot);
    m_markerMenuItem = m_menu->addAction(QStringLiteral("开关全屏画笔"));
    connect(m_markerMenuItem, &QAction::triggered, this, &AppDelegate::toggleMarker);
    connect(m_menu->addAction(QStringLiteral("快捷键与画笔设置")), &QAction::triggered, this,
            &AppDelegate::showSettings);
    connect(m_menu->addAction(QStringLiteral("打开截图文件夹")), &QAction::triggered, this,
            &AppDelegate::openScreenshotFolder);
    m_menu->addSeparator();
    connect(m_menu->addAction(QStringLiteral("退出")), &QAction::triggered, this,
            &AppDelegate::quit);
    m_statusItem->setContextMenu(m_menu.get());
    // A left click opens the same menu as a right click.
    connect(m_statusItem.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger)
                    m_menu->popup(QCursor::pos());
            });
}

void AppDelegate::buildControlWindow()
{
    m_controlWindow = std::make_unique<ControlWindow>();
    m_controlWindow->setWindowIcon(Icons::pen());
    connect(m_controlWindow->markerButton(), &QPushButton::clicked, this,
            &AppDelegate::toggleMarker);
    connect(m_controlWindow->settingsButton(), &QPushButton::clicked, this,
            &AppDelegate::showSettings);
    connect(m_controlWindow->screenshotButton(), &QPushButton::clicked, this,
            &AppDelegate::captureScreenshot);
    connect(m_controlWindow->folderButton(), &QPushButton::clicked, this,
            &AppDelegate::openScreenshotFolder);
    refreshShortcutLabels();
}

OverlayManager& AppDelegate::overlayManager()
{
    if (!m_overlayManager) {
        m_overlayManager = std::make_unique<OverlayManager>(m_settings, m_platform.capturer.get());
        m_overlayManager->onHidden = [this] { m_screenshotFlow->grabKeyboard(); };
        m_overlayManager->onStillsFailed = [this](const StillsResult& result) {
            penFailed(result);
        };
    }
    return *m_overlayManager;
}

void AppDelegate::toggleMarker()
{
    OverlayManager& overlay = overlayManager();
    if (overlay.isShowing() || overlay.isOpening()) {
        overlay.hide();
        updateStatus(QStringLiteral("已退出画笔"), 2);
        return;
    }
    const QPointer<AppDelegate> self(this);
    overlay.show(
        [self] {
            if (self)
                self->updateStatus(QStringLiteral("已退出画笔"), 2);
        },
        [self] {
            if (self)
                self->showSettings();
        });
    updateStatus(QStringLiteral("画笔已开启"), 2);
}

// A refusal reads as the screenshot's, with where the desktop lets the user allow it.
void AppDelegate::penFailed(const StillsResult& result)
{
    const QString cannotOpen = QStringLiteral("无法打开画笔");
    updateStatus(cannotOpen, 2);
    m_platform.alerts->showModal({result.status == StillsResult::Status::Refused
                                      ? QStringLiteral("需要重新确认屏幕录制权限")
                                      : cannotOpen,
                                  result.error});
}

bool AppDelegate::captureScreenshot()
{
    return m_screenshotFlow->captureScreenshot();
}

SelectionManager* AppDelegate::selectionManager() const
{
    return m_screenshotFlow->selectionManager();
}

bool AppDelegate::isTakingScreenshot() const
{
    return m_screenshotFlow->isBusy();
}

// The control and settings windows stay hidden after a request; the pen's toolbar comes back
// once the stills are taken.
QRegion AppDelegate::hideForStills()
{
    QRegion vacated;
    m_hiddenForStills.clear();
    for (QWidget* window : {static_cast<QWidget*>(m_controlWindow.get()),
                            m_settingsController ? m_settingsController->window() : nullptr}) {
        if (window && window->isVisible()) {
            vacated += window->frameGeometry();
            window->hide();
            m_hiddenForStills.emplace_back(window);
        }
    }
    if (m_overlayManager)
        vacated += m_overlayManager->hideToolbar();
    return vacated;
}

void AppDelegate::showHiddenForStills()
{
    for (const QPointer<QWidget>& window : m_hiddenForStills) {
        if (window)
            window->show();
    }
    m_hiddenForStills.clear();
}

void AppDelegate::showSettings()
{
    overlayManager().hide();
    if (!m_settingsController) {
        const QPointer<AppDelegate> self(this);
        m_settingsController =
            std::make_unique<SettingsWindowController>(m_settings, *m_platform.alerts, [self] {
                if (!self)
                    return;
                self->applyHotKeys();
                self->updateStatus(QStringLiteral("设置已保存"), 2);
            });
        refreshShortcutLabels();
    }
    m_settingsController->reload();
    QWidget* window = m_settingsController->window();
    window->show();
    window->raise();
    window->activateWindow();
}

void AppDelegate::openScreenshotFolder()
{
    const QString root = ScreenshotPaths::screenshotRoot();
    QDir().mkpath(root);
    // Without a file manager the button would seem to do nothing; the path lets the user go
    // there another way.
    if (!m_platform.openFolder(root))
        updateStatus(QStringLiteral("无法打开截图文件夹：") + root, 10);
}

void AppDelegate::quit()
{
    overlayManager().hide();
    QCoreApplication::quit();
}

void AppDelegate::updateStatus(const QString& message, double resetAfterSeconds)
{
    m_statusLine.show(message, resetAfterSeconds);
}

void AppDelegate::showStatusMessage(const QString& message)
{
    if (m_controlWindow)
        m_controlWindow->statusLabel()->setText(message);
    if (m_statusItem) {
        m_statusItem->setToolTip(message);
        m_statusItem->setIcon(Icons::checkMark());
    }
}

void AppDelegate::showIdleStatus()
{
    if (m_controlWindow)
        m_controlWindow->statusLabel()->setText(StatusLine::idleText);
    if (m_statusItem) {
        m_statusItem->setToolTip(kIdleTooltip);
        m_statusItem->setIcon(Icons::pen());
    }
}

void AppDelegate::refreshShortcutLabels()
{
    const HotKeyBackend& hotKeys = *m_platform.hotKeys;
    const QString screenshotStored = ShortcutTexts::keyText(m_settings.value(
        SettingsKeys::screenshotFunctionKey, SettingsDefaults::screenshotFunctionKey));
    const QString markerStored = ShortcutTexts::keyText(
        m_settings.value(SettingsKeys::markerFunctionKey, SettingsDefaults::markerFunctionKey));
    // Where the desktop hands out the keys, the one it reports wins over the one asked for;
    // where it gives none, no key is shown at all.
    const bool givesKeys = hotKeys.givesKeys();
    const QString screenshotKey =
        givesKeys ? hotKeys.reportedTrigger(HotKeyIDs::screenshot).value_or(screenshotStored)
                  : QString();
    const QString markerKey =
        givesKeys ? hotKeys.reportedTrigger(HotKeyIDs::pen).value_or(markerStored) : QString();
    if (m_controlWindow) {
        m_controlWindow->shortcutLabel()->setText(
            givesKeys ? ShortcutTexts::label(screenshotKey, markerKey)
                      : ShortcutTexts::noGlobalKeysLabel());
    }
    if (m_screenshotMenuItem)
        m_screenshotMenuItem->setText(ShortcutTexts::screenshotMenuTitle(screenshotKey));
    if (m_markerMenuItem)
        m_markerMenuItem->setText(ShortcutTexts::markerMenuTitle(markerKey));
    if (m_settingsController) {
        const auto ifOther = [](const QString& key, const QString& stored) {
            return key == stored ? std::nullopt : std::optional(key);
        };
        m_settingsController->showDesktopKeys(ifOther(markerKey, markerStored),
                                              ifOther(screenshotKey, screenshotStored), givesKeys);
    }
}
