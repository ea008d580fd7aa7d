#pragma once

#include "app/platform.h"
#include "app/statusline.h"
#include "settings/settingsstore.h"

#include <QObject>
#include <QPointer>
#include <QRegion>

#include <memory>
#include <vector>

class ControlWindow;
class OverlayManager;
class QAction;
class QMenu;
class QSystemTrayIcon;
class ScreenshotFlow;
class SelectionManager;
class SettingsWindowController;
struct StillsResult;

// Owns every long-lived part of the program and carries out the user's actions, whether they
// come from the tray menu, the control window or a hot key.
class AppDelegate : public QObject
{
    Q_OBJECT

public:
    explicit AppDelegate(Platform platform = nativePlatform());
    ~AppDelegate() override;

    // Tray icon and menu, control window, hot keys, then the control window in front.
    void applicationDidFinishLaunching();
    // A later start of the program asked this one to show itself.
    void applicationShouldHandleReopen();

    void toggleMarker();
    // Region screenshot (see ScreenshotFlow). Turned down, false, while an earlier one is still
    // running.
    bool captureScreenshot();
    void showSettings();
    void openScreenshotFolder();
    void quit();

    // Drops both hot keys and registers them again from the stored numbers. A refusal is posted
    // after whatever message the caller posts next, so the user sees it.
    void applyHotKeys();
    // Lets go of the hot keys, screenshot key first; runs however the program ends.
    void applicationWillTerminate();

    void updateStatus(const QString& message, double resetAfterSeconds);
    void refreshShortcutLabels();

    SettingsStore& settings() { return m_settings; }
    StatusLine& statusLine() { return m_statusLine; }
    OverlayManager& overlayManager();
    ControlWindow* controlWindow() const { return m_controlWindow.get(); }
    QSystemTrayIcon* trayIcon() const { return m_statusItem.get(); }
    QMenu* trayMenu() const { return m_menu.get(); }
    SelectionManager* selectionManager() const;
    bool isTakingScreenshot() const;
    SettingsWindowController* settingsController() const { return m_settingsController.get(); }
    bool hasScreenshotHotKey() const { return m_screenshotHotKey; }
    bool hasMarkerHotKey() const { return m_markerHotKey; }

private:
    void installHotKeyHandler();
    void hotKeysRefused(const QList<EventHotKeyID>& ids);
    // Screenshot key first, then the pen key.
    void releaseHotKeys();
    void buildStatusItem();
    void buildControlWindow();
    void showStatusMessage(const QString& message);
    void showIdleStatus();
    QRegion hideForStills();
    // After stills that failed, the windows hideForStills hid show again.
    void showHiddenForStills();
    // The pen could not open on its stills: the status and an alert say why.
    void penFailed(const StillsResult& result);

    Platform m_platform;
    SettingsStore m_settings;
    StatusLine m_statusLine;
    std::unique_ptr<QMenu> m_menu;
    std::unique_ptr<QSystemTrayIcon> m_statusItem;
    QAction* m_screenshotMenuItem = nullptr;
    QAction* m_markerMenuItem = nullptr;
    std::unique_ptr<ControlWindow> m_controlWindow;
    // Before the overlay: closing the pen as it is destroyed hands the keyboard to the flow.
    std::unique_ptr<ScreenshotFlow> m_screenshotFlow;
    std::unique_ptr<OverlayManager> m_overlayManager;
    std::unique_ptr<SettingsWindowController> m_settingsController;
    std::vector<QPointer<QWidget>> m_hiddenForStills;
    bool m_hotKeyHandlerInstalled = false;
    bool m_screenshotHotKey = false;
    bool m_markerHotKey = false;
};
