#include "overlay/overlaycontentview.h"

#include "desktop/roundedpanel.h"
#include "overlay/canvascommands.h"
#include "overlay/drawingview.h"
#include "settings/settingsstore.h"
#include "settings/settingsvalidation.h"

#include <QHBoxLayout>
#include <QPaintEvent>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QStyleOptionButton>
#include <QStylePainter>

#include <utility>

namespace
{

constexpr int kToolbarTop = 18;

// Its text in the pen's colour, its panel drawn with the toolbar's palette: the style caches
// panel images per palette, and every opening's new pen palettes would each leave their own.
class PenButton : public QPushButton
{
public:
    using QPushButton::QPushButton;

protected:
    void paintEvent(QPaintEvent*) override
    {
        QStylePainter painter(this);
        QStyleOptionButton option;
        initStyleOption(&option);
        QStyleOptionButton panel = option;
        panel.palette = parentWidget()->palette();
        painter.drawControl(QStyle::CE_PushButtonBevel, panel);
        option.rect = style()->subElementRect(QStyle::SE_PushButtonContents, &option, this);
        painter.drawControl(QStyle::CE_PushButtonLabel, option);
    }
};

QString letter(const SettingsStore& settings, const LetterSetting& setting)
{
    return SettingsValidation::shownLetter(settings.string(setting.key, setting.fallback));
}

// The toolbar's panel, with a dark ring around the button of the tool in use.
class ToolbarPanel : public RoundedPanel
{
public:
    explicit ToolbarPanel(QWidget* parent)
        // Nearly opaque, so the buttons stay legible over any screen content.
        : RoundedPanel(QColor(246, 246, 246, 235), QColor(0, 0, 0, 40), parent)
    {
    }

    QPointer<QWidget> marked;

protected:
    void paintEvent(QPaintEvent* event) override
    {
        RoundedPanel::paintEvent(event);
        if (!marked)
            return;
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(QColor(40, 40, 40), 2));
        painter.setBrush(Qt::NoBrush);
        // In the spacing around the button, which paints all of its own rectangle.
        painter.drawRoundedRect(QRectF(marked->geometry()).adjusted(-2, -2, 2, 2), 6, 6);
    }
};

} // namespace

OverlayContentView::OverlayContentView(SettingsStore& settings, bool showsToolbar,
                                       const QImage& backdrop, QWidget* parent)
    : QWidget(parent), m_settings(settings), m_backdrop(backdrop),
      m_drawingView(new DrawingView(settings, this))
{
    setAttribute(Qt::WA_TranslucentBackground);

    const QPointer<OverlayContentView> self(this);
    m_drawingView->onPreset = [self](int preset) {
        if (self && self->onPreset)
            self->onPreset(preset);
    };
    m_drawingView->onShapeKeys = [self](Qt::KeyboardModifiers modifiers, bool ellipseKey) {
        if (self && self->onShapeKeys)
            self->onShapeKeys(modifiers, ellipseKey);
    };
    const auto relay = [self](std::function<void()> OverlayContentView::*callback) {
        return [self, callback] {
            if (self && (self->*callback))
                (self->*callback)();
        };
    };
    m_drawingView->onEraser = relay(&OverlayContentView::onEraser);
    m_drawingView->onClear = relay(&OverlayContentView::onClear);
    m_drawingView->onExit = relay(&OverlayContentView::onExit);
    m_drawingView->onUndo = relay(&OverlayContentView::onUndo);
    m_drawingView->onRedo = relay(&OverlayContentView::onRedo);

    if (showsToolbar)
        m_toolbar = buildToolbar();
}

QWidget* OverlayContentView::buildToolbar()
{
    auto* panel = new ToolbarPanel(this);
    auto* row = new QHBoxLayout(panel);
    row->setSpacing(6);
    row->setContentsMargins(8, 7, 8, 7);
    for (int preset = 0; preset < 3; ++preset)
        m_toolButtons << penButton(preset);
    const auto& letters = letterSettings();
    m_toolButtons << button(QStringLiteral("橡皮 ") + letter(m_settings, letters[3]),
                            &OverlayContentView::onEraser);
    for (QPushButton* b : m_toolButtons)
        row->addWidget(b);
    row->addWidget(button(QStringLiteral("清屏 ") + letter(m_settings, letters[4]),
                          &OverlayContentView::onClear));
    row->addWidget(button(QStringLiteral("设置"), &OverlayContentView::onSettings));
    row->addWidget(button(QStringLiteral("右键退出"), &OverlayContentView::onExit));
    panel->adjustSize();
    panel->raise();
    return panel;
}

QPushButton* OverlayContentView::penButton(int preset)
{
    auto* b = new PenButton(QStringLiteral("● ") + letter(m_settings, letterSettings()[preset]));
    QPalette palette = b->palette();
    palette.setColor(QPalette::ButtonText, penPreset(m_settings, preset).color);
    b->setPalette(palette);
    QFont font = b->font();
    font.setPixelSize(13);
    font.setWeight(QFont::DemiBold);
    b->setFont(font);
    b->setFocusPolicy(Qt::NoFocus);
    connect(b, &QPushButton::clicked, this, [this, preset] {
        if (onPreset)
            onPreset(preset);
    });
    return b;
}

QPushButton* OverlayContentView::button(const QString& title,
                                        std::function<void()> OverlayContentView::*callback)
{
    auto* b = new QPushButton(title);
    b->setFocusPolicy(Qt::NoFocus);
    connect(b, &QPushButton::clicked, this, [this, callback] {
        if (this->*callback)
            (this->*callback)();
    });
    return b;
}

void OverlayContentView::setActiveTool(int tool)
{
    if (!m_toolbar)
        return;
    static_cast<ToolbarPanel*>(m_toolbar)->marked = m_toolButtons.value(tool);
    m_toolbar->update();
}

void OverlayContentView::setShowsToolbar(bool shows)
{
    if (shows == bool(m_toolbar))
        return;
    m_toolButtons.clear();
    delete std::exchange(m_toolbar, nullptr);
    if (!shows)
        return;
    m_toolbar = buildToolbar();
    placeToolbar();
    // A child added to a window on screen stays hidden until shown.
    m_toolbar->show();
}

void OverlayContentView::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    m_drawingView->setGeometry(rect());
    placeToolbar();
}

void OverlayContentView::setBackdrop(const QImage& backdrop)
{
    m_backdrop = backdrop;
    repaint();
}

void OverlayContentView::paintEvent(QPaintEvent* event)
{
    if (m_backdrop.isNull())
        return;
    QPainter painter(this);
    painter.setClipRegion(event->region());
    painter.drawImage(rect(), m_backdrop);
}

void OverlayContentView::placeToolbar()
{
    if (!m_toolbar)
        return;
    const QSize size = m_toolbar->sizeHint();
    m_toolbar->setGeometry((width() - size.width()) / 2, kToolbarTop, size.width(), size.height());
}
