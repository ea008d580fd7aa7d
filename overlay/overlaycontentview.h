#pragma once

#include <QImage>
#include <QWidget>

#include <functional>

class DrawingView;
class QPushButton;
class SettingsStore;

// What one overlay window shows: the display's canvas edge to edge and, on the first display,
// the toolbar centred near the top. It relays the canvas's commands upward.
class OverlayContentView : public QWidget
{
    Q_OBJECT

public:
    // backdrop: a still of the screen to draw on when translucency cannot show the live one.
    OverlayContentView(SettingsStore& settings, bool showsToolbar, const QImage& backdrop = {},
                       QWidget* parent = nullptr);

    DrawingView* drawingView() const { return m_drawingView; }
    const QImage& backdrop() const { return m_backdrop; }
    // Drawn at once; null shows the live screen.
    void setBackdrop(const QImage& backdrop);
    // The toolbar panel, or null on displays without one.
    QWidget* toolbar() const { return m_toolbar; }

    std::function<void(int)> onPreset;
    std::function<void()> onEraser;
    std::function<void()> onClear;
    std::function<void()> onExit;
    std::function<void()> onSettings;
    std::function<void()> onUndo;
    std::function<void()> onRedo;
    std::function<void(Qt::KeyboardModifiers, bool ellipseKey)> onShapeKeys;

    // Marks the toolbar button of pen 0, 1 or 2, or of the eraser at 3.
    void setActiveTool(int tool);
    // Builds the toolbar, or takes it away, when the display it shows on changes.
    void setShowsToolbar(bool shows);

protected:
    void resizeEvent(QResizeEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    QWidget* buildToolbar();
    QPushButton* penButton(int preset);
    QPushButton* button(const QString& title, std::function<void()> OverlayContentView::*callback);
    void placeToolbar();

    SettingsStore& m_settings;
    QImage m_backdrop;
    DrawingView* m_drawingView = nullptr;
    QWidget* m_toolbar = nullptr;
    // The pen buttons, then the eraser's.
    QList<QPushButton*> m_toolButtons;
};
