#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

// The one-line outcome report shared by the control window and the tray icon. A message shows
// at once and the idle state returns after its own delay; the latest message wins, so at most
// one reset is ever pending.
class StatusLine : public QObject
{
    Q_OBJECT

public:
    static inline const QString idleText = QStringLiteral("准备就绪");

    explicit StatusLine(QObject* parent = nullptr);

    void show(const QString& message, double resetAfterSeconds);

    // Called with the message when one shows, and with no arguments when idle returns.
    std::function<void(const QString&)> onMessage;
    std::function<void()> onIdle;

    QString text() const { return m_text; }
    bool isIdle() const { return !m_reset.isActive(); }
    // The pending reset; tests read it instead of waiting for it.
    const QTimer& resetTimer() const { return m_reset; }
    // Tests shrink seconds to make the real timer fire quickly.
    void setMillisecondsPerSecond(int ms) { m_msPerSecond = ms; }

private:
    void restoreIdle();

    QTimer m_reset;
    QString m_text = idleText;
    int m_msPerSecond = 1000;
};
