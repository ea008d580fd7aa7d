#pragma once

// A fake desktop for tests that drive AppDelegate: what the user would see or hear goes to one
// log in order; hot keys are always granted.

#include "app/platform.h"
#include "screenshot/capturegeometry.h"

#include <QGuiApplication>
#include <QScreen>
#include <QTimer>

namespace Fake
{

// Alerts as "alert:<message>|<details>", the sound as "sound".
struct Recorder : Alerts, CaptureSound {
    explicit Recorder(QStringList& log) : log(log) {}
    void showModal(const Alert& a) override
    {
        log << "alert:" + a.messageText + "|" + a.informativeText;
    }
    void showSheet(QWidget*, const Alert& a) override { log << "sheet:" + a.messageText; }
    void play() override { log << "sound"; }
    QStringList& log;
};

// Identifiers 101, 102 … per screen, and a plain still for each.
// Like a real desktop they come later, from the event loop, or the status says why not.
struct Capturer : ScreenCapturer {
    bool live = true, identifiers = true;
    StillsResult::Status status = StillsResult::Status::Taken;
    QString error; // given with a status other than Taken
    int grabs = 0;
    std::optional<quint32> displayID(const QScreen* screen) const override
    {
        const qsizetype i = QGuiApplication::screens().indexOf(screen);
        return identifiers && i >= 0 ? std::optional<quint32>(101 + i) : std::nullopt;
    }
    bool compositing() const override { return live; }
    void grabStills(std::function<void(StillsResult)> done, const QRegion&) override
    {
        ++grabs;
        StillsResult result{status, {}, error};
        for (QScreen* screen : QGuiApplication::screens()) {
            const std::optional<quint32> id = displayID(screen);
            if (!id || status != StillsResult::Status::Taken)
                continue;
            QImage image(nativeSize(screen->size(), screen->devicePixelRatio()),
                         QImage::Format_RGB32);
            image.fill(Qt::darkCyan);
            image.setDevicePixelRatio(screen->devicePixelRatio());
            result.stills.push_back({screen, *id, image});
        }
        QTimer::singleShot(0, qApp, [done = std::move(done), result] { done(result); });
    }
};

// Offscreen, the real backend would refuse every key.
struct HotKeys : HotKeyBackend {
    bool registerHotKey(EventHotKeyID, quint32) override { return true; }
    void unregisterHotKey(EventHotKeyID) override {}
};

// Must outlive the AppDelegate given platform()'s result.
struct Desktop {
    QStringList log; // what Recorder writes, and "open:<folder>"
    bool opensFolders = true;
    QDateTime now{QDate(2025, 3, 4), QTime(9, 5, 7)};
    Capturer* capturer = nullptr;

    Platform platform()
    {
        return {.alerts = std::make_unique<Recorder>(log),
                .permission = std::make_unique<GrantedCapturePermission>(),
                .capturer = std::unique_ptr<Capturer>(capturer = new Capturer),
                .sound = std::make_unique<Recorder>(log),
                .hotKeys = std::make_unique<HotKeys>(),
                .openFolder =
                    [this](const QString& folder) {
                        log << "open:" + folder;
                        return opensFolders;
                    },
                .clock = [this] { return now; }};
    }
};

} // namespace Fake
