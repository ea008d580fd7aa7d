#include "app/appdelegate.h"

#include "app/controlwindow.h"
#include "app/icons.h"
#include "app/shortcuttexts.h"
#include "overlay/overlaymanager.h"

#include <QAction>
#include <QCoreApplication>
#include <QCursor>
#include <QLabel>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QSystemTrayIcon>

namespace
{

const QString kIdleTooltip = QStringLiteral("Vellori截图与红笔");

} // namespace

AppDelegate::AppDelegate()
{
    m_statusLine.onMessage = [this](const QString& message) { showStatusMessage(message); };
    m_statusLine.onIdle = [this] { showIdleStatus(); };
}

AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationDidFinishLaunching()
{
    buildStatusItem();
    refreshShortcutLabels();
    buildControlWindow();
    m_statusItem->show();
    applicationShouldHandleReopen();
    updateStatus(QStringLiteral("已启动"), 2);
}

void AppDelegate::applicationShouldHandleReopen()
{
    m_controlWindow->show();
    m_controlWindow->raise();
    m_controlWindow->activateWindow();
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
    if (!m_overlayManager)
        m_overlayManager = std::make_unique<OverlayManager>(m_settings, nullptr);
    return *m_overlayManager;
}

void AppDelegate::toggleMarker()
{
    OverlayManager& overlay = overlayManager();
    if (overlay.isShowing()) {
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

void AppDelegate::captureScreenshot() {}

void AppDelegate::showSettings()
{
    overlayManager().hide();
}

void AppDelegate::openScreenshotFolder() {}

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
    const qint64 screenshotKey = m_settings.value(SettingsKeys::screenshotFunctionKey,
                                                  SettingsDefaults::screenshotFunctionKey);
    const qint64 markerKey =
        m_settings.value(SettingsKeys::markerFunctionKey, SettingsDefaults::markerFunctionKey);
    if (m_controlWindow)
        m_controlWindow->shortcutLabel()->setText(ShortcutTexts::label(screenshotKey, markerKey));
    if (m_screenshotMenuItem)
        m_screenshotMenuItem->setText(ShortcutTexts::screenshotMenuTitle(screenshotKey));
    if (m_markerMenuItem)
        m_markerMenuItem->setText(ShortcutTexts::markerMenuTitle(markerKey));
}
