#include "screenshot/screenshotflow.h"

#include "desktop/alerts.h"
#include "screenshot/capturegeometry.h"
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

bool ScreenshotFlow::captureScreenshot()
{
    if (m_busy) {
        status(QStringLiteral("上一次截图还没有结束"), 2);
        return false;
    }
    const QDateTime now = m_desktop.clock();
    const QString dayFolder =
        QDir(ScreenshotPaths::screenshotRoot()).filePath(ScreenshotPaths::dayName(now));
    if (!QDir().mkpath(dayFolder)) {
        fail(QStringLiteral("无法创建文件夹“%1”。").arg(dayFolder));
        return true;
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
    return true;
}

void ScreenshotFlow::stillsTaken(const StillsResult& result, const QString& target)
{
    if (onStillsTaken)
        onStillsTaken();
    const bool usable = std::any_of(result.stills.begin(), result.stills.end(),
                                    [](const ScreenStill& still) { return bool(still.screen); });
    if (result.status != StillsResult::Status::Taken || !usable) {
        m_selectionManager.reset();
        if (onStillsFailed)
            onStillsFailed();
        if (result.status == StillsResult::Status::Refused) {
            m_desktop.alerts.showModal({QStringLiteral("需要重新确认屏幕录制权限"), result.error});
            m_busy = false;
        } else {
            fail(result.status == StillsResult::Status::Taken
                     ? QStringLiteral("没有得到可用的屏幕图像。")
                     : result.error);
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
