#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>

#include <functional>

// One running copy per user: a later start asks the running one to show itself and exits.
class SingleInstance : public QObject
{
    Q_OBJECT

public:
    explicit SingleInstance(const QString& name, QObject* parent = nullptr);

    // True when this process is the one to keep running. False when another copy answered the
    // call and was asked to show itself.
    bool claim();

    // Raised in the running copy when a later start asked it to show itself.
    std::function<void()> onActivate;

    static QString defaultName();

private:
    void readRequest();

    QString m_name;
    QLocalServer m_server;
};
