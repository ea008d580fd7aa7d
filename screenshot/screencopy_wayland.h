#pragma once

#include "screenshot/stillbackend.h"

#include <QObject>
#include <QSize>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QScreen;
class QSocketNotifier;
struct wl_display;
struct wl_output;
struct wl_proxy;
struct wl_registry;
struct wl_shm;

// The compositor's outputs and the globals a capture needs, on a connection of our own, kept up
// to date as outputs come and go. Its events are read from the event loop.
class WaylandOutputs : public QObject
{
    Q_OBJECT

public:
    struct Output {
        uint32_t global = 0;
        wl_output* output = nullptr;
        QString name;
        QSize mode; // the current mode: the output's pixels before its transform
        int32_t transform = 0;
    };

    explicit WaylandOutputs(QObject* parent = nullptr);
    ~WaylandOutputs() override;

    bool isConnected() const { return m_display; }
    // The output Qt shows as this screen, matched by name; null when there is none.
    const Output* output(const QScreen* screen) const;
    // The screen's pixels as the compositor reports them; empty when unknown.
    QSize nativeSize(const QScreen* screen) const;

    wl_display* display() const { return m_display; }
    wl_shm* shm() const { return m_shm; }
    wl_proxy* screencopy() const { return m_screencopy; }
    uint32_t screencopyVersion() const { return m_screencopyVersion; }

    // The connection broke, or an output went away.
    std::function<void()> onLost;

private:
    void read();
    void disconnect();

    wl_display* m_display = nullptr;
    wl_registry* m_registry = nullptr;
    wl_shm* m_shm = nullptr;
    wl_proxy* m_screencopy = nullptr;
    uint32_t m_screencopyVersion = 0;
    std::vector<std::unique_ptr<Output>> m_outputs;
    QSocketNotifier* m_notifier = nullptr;
};

// wlroots' screencopy (zwlr_screencopy_manager_v1): every output copied by the compositor into
// shared memory at its native pixels, with no PNG in between.
class ScreencopyStills : public QObject, public StillBackend
{
    Q_OBJECT

public:
    using DisplayID = std::function<std::optional<quint32>(const QScreen*)>;
    ScreencopyStills(WaylandOutputs& outputs, DisplayID displayID, QObject* parent = nullptr);

    QString name() const override { return QStringLiteral("wlr-screencopy"); }
    // Where every screen is an output the compositor names, in its normal orientation.
    bool available() const override;
    void grab(std::function<void(StillsResult)> done) override;

private:
    WaylandOutputs& m_outputs;
    DisplayID m_displayID;
};
