#pragma once

#include <QWidget>

class QLabel;
class QPushButton;

// The small front panel: the four actions as buttons, the configured hot keys, the status line
// and a hint about the keys inside the pen. Closing it only hides it.
class ControlWindow : public QWidget
{
    Q_OBJECT

public:
    explicit ControlWindow(QWidget* parent = nullptr);

    QLabel* shortcutLabel() const { return m_shortcutLabel; }
    QLabel* statusLabel() const { return m_statusLabel; }
    QPushButton* markerButton() const { return m_markerButton; }
    QPushButton* settingsButton() const { return m_settingsButton; }
    QPushButton* screenshotButton() const { return m_screenshotButton; }
    QPushButton* folderButton() const { return m_folderButton; }

private:
    QLabel* m_shortcutLabel;
    QLabel* m_statusLabel;
    QPushButton* m_markerButton;
    QPushButton* m_settingsButton;
    QPushButton* m_screenshotButton;
    QPushButton* m_folderButton;
};
