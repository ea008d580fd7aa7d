#include "screenshot/screenshotflow.h"

#include "desktop/alerts.h"
#include "screenshot/capturegeometry.h"
#include "screenshot/capturepermission.h"
#include "screenshot/capturesound.h"
#include "screenshot/pngencoder.h"
#include "screenshot/screenshotclipboard.h"
#include "screenshot/screenshotpaths.h"
#include "screenshot/selectionmanager.h"

#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QPointer>
#include <QTimer>

#include <algorithm>

ScreenshotFlow::ScreenshotFlow(ScreenshotDesktop desktop, QObject* parent)
    : QObject(parent), m_desktop(std::move(desktop))
{
}

ScreenshotFlow::~ScreenshotFlow() = default;

void ScreenshotFlow::captureScreenshot()
{
    if (m_busy)
        return;
    if (!m_desktop.permission.preflight()) {
        askForPermission();
        return;
    }
    const QDateTime now = m_desktop.clock();
    const QString dayFolder =
        QDir(ScreenshotPaths::screenshotRoot()).filePath(ScreenshotPaths::dayName(now));
    if (!QDir().mkpath(dayFolder)) {
        fail(QStringLiteral("无法创建文件夹“%1”。").arg(dayFolder));
        return;
    }
    const QString target = ScreenshotPaths::uniquePNG(dayFolder, ScreenshotPaths::fileStem(now));
    status(QStringLiteral("请拖拽选择截图区域"), 60);
    m_busy = true;
    m_selectionManager.reset(new SelectionManager);
    const QRegion vacated = onHideWindows ? onHideWindows() : QRegion();
    const QPointer<ScreenshotFlow> self(this);
    m_desktop.capturer.grabStills(
        [self, target](const StillsResult& result) {
            if (self)
                self->stillsTaken(result, target);
        },
        vacated);
}

void ScreenshotFlow::stillsTaken(const StillsResult& result, const QString& target)
{
    if (onStillsTaken)
        onStillsTaken();
    if (result.status != StillsResult::Status::Taken) {
        m_selectionManager.reset();
        if (result.status == StillsResult::Status::Refused) {
            askForPermission(result.error);
            m_busy = false;
        } else {
            fail(result.error);
        }
        return;
    }
    const QPointer<ScreenshotFlow> self(this);
    m_selectionManager->select(result.stills,
                               [self, target](const std::optional<ScreenSelection>& selection) {
                                   if (self)
                                       self->selectionFinished(selection, target);
                               });
}

void ScreenshotFlow::selectionFinished(const std::optional<ScreenSelection>& selection,
                                       const QString& target)
{
    m_selectionManager.reset();
    if (onSelectionClosed)
        onSelectionClosed();
    if (!selection) {
        m_busy = false;
        status(QStringLiteral("已取消截图"), 2);
        return;
    }
    // The selection's windows are still up, so the clipboard is set while one has the keyboard,
    // as Wayland compositors require; an alert waits until they have closed.
    const QString error = writeSelection(*selection, target);
    if (!error.isEmpty())
        QTimer::singleShot(0, this, [this, error] { fail(error); });
}

QString ScreenshotFlow::writeSelection(const ScreenSelection& selection, const QString& target)
{
    m_busy = true;
    // The still outlives its screen; a display unplugged meanwhile is not saved from memory.
    const QList<QScreen*> screens = QGuiApplication::screens();
    if (std::none_of(screens.begin(), screens.end(), [&](QScreen* screen) {
            return m_desktop.capturer.displayID(screen) == selection.displayID;
        }))
        return QStringLiteral("无法找到所选显示器。");
    const QImage image = cropStill(selection.still, selection.rect);
    const QByteArray png = encodePng(image);
    if (png.isEmpty())
        return QStringLiteral("无法生成 PNG 文件。");
    QString error;
    const QString written = ScreenshotPaths::writeNewFile(target, png, error);
    if (written.isEmpty())
        return error;
    m_busy = false;
    status(QStringLiteral("已保存 ") + QFileInfo(written).fileName(), 3);
    copyScreenshotToClipboard(png, image);
    m_desktop.sound.play();
    return {};
}

void ScreenshotFlow::grabKeyboard()
{
    if (m_selectionManager)
        m_selectionManager->grabKeyboard();
}

void ScreenshotFlow::askForPermission(const QString& desktopHint)
{
    if (!desktopHint.isEmpty()) {
        m_desktop.alerts.showModal({QStringLiteral("需要重新确认屏幕录制权限"), desktopHint});
        return;
    }
    const bool asked = m_desktop.permission.request();
    m_desktop.alerts.showModal(
        {QStringLiteral("需要重新确认屏幕录制权限"),
         asked ? QStringLiteral("macOS 已收到授权请求。请在系统设置中允许“Vellori截图与红笔”，"
                                "然后完全退出并重新打开本应用。")
               : QStringLiteral("请先在“系统设置 → 隐私与安全性 → 屏幕与系统音频录制”中允许本"
                                "应用，然后完全退出并重新打开。")});
}

void ScreenshotFlow::fail(const QString& description)
{
    m_desktop.alerts.showModal({QStringLiteral("截图失败"), description});
    m_busy = false;
}

void ScreenshotFlow::status(const QString& message, double resetAfterSeconds)
{
    if (onStatus)
        onStatus(message, resetAfterSeconds);
}
