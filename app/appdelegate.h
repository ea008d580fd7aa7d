#pragma once

#include "app/statusline.h"
#include "settings/settingsstore.h"

#include <QObject>

#include <memory>

class ControlWindow;
class OverlayManager;
class QAction;
class QMenu;
class QSystemTrayIcon;

// Owns every long-lived part of the program and carries out the user's actions, whether they
// come from the tray menu, the control window or a hot key.
class AppDelegate : public QObject
{
    Q_OBJECT

public:
    AppDelegate();
    ~AppDelegate() override;

    // Tray icon and menu, control window, hot keys, then the control window in front.
    void applicationDidFinishLaunching();
    // A later start of the program asked this one to show itself.
    void applicationShouldHandleReopen();

    void toggleMarker();
    void captureScreenshot();
    void showSettings();
    void openScreenshotFolder();
    void quit();

    void updateStatus(const QString& message, double resetAfterSeconds);
    void refreshShortcutLabels();

    SettingsStore& settings() { return m_settings; }
    StatusLine& statusLine() { return m_statusLine; }
    OverlayManager& overlayManager();
    ControlWindow* controlWindow() const { return m_controlWindow.get(); }
    QSystemTrayIcon* trayIcon() const { return m_statusItem.get(); }
    QMenu* trayMenu() const { return m_menu.get(); }

private:
    void buildStatusItem();
    void buildControlWindow();
    void showStatusMessage(const QString& message);
    void showIdleStatus();

    SettingsStore m_settings;
    StatusLine m_statusLine;
    std::unique_ptr<QMenu> m_menu;
    std::unique_ptr<QSystemTrayIcon> m_statusItem;
    QAction* m_screenshotMenuItem = nullptr;
    QAction* m_markerMenuItem = nullptr;
    std::unique_ptr<ControlWindow> m_controlWindow;
    std::unique_ptr<OverlayManager> m_overlayManager;
};
