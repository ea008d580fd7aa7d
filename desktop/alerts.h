#pragma once

#include <QString>

class QWidget;

struct Alert {
    QString messageText;
    QString informativeText;
};

// Alerts with one button "好". Behind an interface so tests can see what would be shown
// without a modal loop blocking them.
class Alerts
{
public:
    virtual ~Alerts() = default;
    // Application-modal; returns when the user has dismissed it.
    virtual void showModal(const Alert& alert) = 0;
    // Attached to the window (window-modal); returns at once.
    virtual void showSheet(QWidget* window, const Alert& alert) = 0;
};

class MessageBoxAlerts : public Alerts
{
public:
    void showModal(const Alert& alert) override;
    void showSheet(QWidget* window, const Alert& alert) override;
};
