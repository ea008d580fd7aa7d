#pragma once

#include <QImage>
#include <QPointer>
#include <QScreen>
#include <QWidget>

class OverlayContentView;
class SettingsStore;

// A frameless, click-catching window exactly over one display, above every other window.
class OverlayWindow : public QWidget
{
    Q_OBJECT

public:
    OverlayWindow(SettingsStore& settings, QScreen* screen, bool showsToolbar,
                  const QImage& backdrop = {});

    OverlayContentView* contentView() const { return m_contentView; }
    QScreen* targetScreen() const { return m_screen; }
    // Follows the display when its geometry changes.
    void placeOnScreen();

private:
    QPointer<QScreen> m_screen;
    OverlayContentView* m_contentView;
};
