#pragma once

#include <QObject>

#include <functional>

class QSocketNotifier;

// Turns SIGTERM, SIGINT and SIGHUP into an ordinary event, so the program ends through the same
// orderly path as "退出" (hot keys released, nothing half-written). One per process.
class TerminationSignals : public QObject
{
    Q_OBJECT

public:
    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;

    std::function<void()> onTerminate;

private:
    int m_readFd = -1;
    QSocketNotifier* m_notifier = nullptr;
};
