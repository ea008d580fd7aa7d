#include "app/controlwindow.h"

#include "app/statusline.h"
#include "desktop/roundedpanel.h"

#include <QFontDatabase>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

namespace
{

constexpr int kWidth = 480;
constexpr int kHeight = 390;

// Label colours by role: primary text, and the fainter secondary and tertiary kinds.
enum class Tone { label, secondary, tertiary };

QLabel* makeLabel(const QString& text, int pixelSize, QFont::Weight weight, Tone tone)
{
    auto* label = new QLabel(text);
    label->setAlignment(Qt::AlignCenter);
    QFont font = label->font();
    font.setPixelSize(pixelSize);
    font.setWeight(weight);
    label->setFont(font);
    QPalette palette = label->palette();
    QColor color = palette.color(QPalette::WindowText);
    color.setAlphaF(tone == Tone::label ? 0.85 : tone == Tone::secondary ? 0.5 : 0.26);
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
    return label;
}

QPushButton* controlButton(const QString& title, bool primary)
{
    auto* button = new QPushButton(title);
    QFont font = button->font();
    font.setPixelSize(14);
    font.setWeight(primary ? QFont::DemiBold : QFont::Normal);
    button->setFont(font);
    button->setDefault(primary);
    button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    return button;
}

QWidget* row(QPushButton* first, QPushButton* second, int height)
{
    auto* widget = new QWidget;
    auto* layout = new QHBoxLayout(widget);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(10);
    layout->addWidget(first, 1);
    layout->addWidget(second, 1);
    widget->setFixedHeight(height);
    return widget;
}

} // namespace

ControlWindow::ControlWindow(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                          Qt::WindowMinimizeButtonHint | Qt::CustomizeWindowHint)
{
    setWindowTitle(QStringLiteral("Vellori截图与红笔"));
    setFixedSize(kWidth, kHeight);
    setAutoFillBackground(true);

    auto* title = makeLabel(QStringLiteral("Vellori截图与红笔"), 24, QFont::DemiBold, Tone::label);
    auto* description = makeLabel(QStringLiteral("框选截图，或在任意软件上方直接批注。"), 13,
                                  QFont::Normal, Tone::secondary);

    // The control-background colour with a separator-coloured border.
    auto* box = new RoundedPanel(palette().color(QPalette::Base), palette().color(QPalette::Mid));
    box->setFixedHeight(48);
    m_shortcutLabel = makeLabel(QString(), 13, QFont::Medium, Tone::label);
    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    mono.setPixelSize(13);
    mono.setWeight(QFont::Medium);
    m_shortcutLabel->setFont(mono);
    auto* boxLayout = new QVBoxLayout(box);
    boxLayout->setContentsMargins(0, 0, 0, 0);
    boxLayout->addWidget(m_shortcutLabel, 0, Qt::AlignCenter);

    m_markerButton = controlButton(QStringLiteral("打开 / 退出红笔"), true);
    m_settingsButton = controlButton(QStringLiteral("修改画笔"), false);
    m_screenshotButton = controlButton(QStringLiteral("拖拽框选截图"), false);
    m_folderButton = controlButton(QStringLiteral("打开截图文件夹"), false);

    m_statusLabel = makeLabel(StatusLine::idleText, 12, QFont::Normal, Tone::secondary);
    auto* hint = makeLabel(QStringLiteral("画笔内：Q/W/E 三色笔 · Z 橡皮 · C 清屏 · 鼠标右键退出"),
                           11, QFont::Normal, Tone::tertiary);
    hint->setWordWrap(true);
    // The hint keeps its text; the undo keys and the shapes are named where it is pointed at.
    hint->setToolTip(
        QStringLiteral("画笔内：Backspace 撤销 · Shift+Backspace 重做\n"
                       "拖动时按住：Shift 直线 · Ctrl 矩形 · Ctrl+Shift 箭头 · 空格 椭圆"));
    hint->setMaximumHeight(hint->fontMetrics().lineSpacing() * 2);

    auto* stack = new QVBoxLayout(this);
    stack->setContentsMargins(32, 28, 32, 0);
    stack->setSpacing(15);
    const std::initializer_list<QWidget*> elements{title,
                                                   description,
                                                   box,
                                                   row(m_markerButton, m_settingsButton, 44),
                                                   row(m_screenshotButton, m_folderButton, 40),
                                                   m_statusLabel,
                                                   hint};
    for (QWidget* element : elements)
        stack->addWidget(element);
    // The content hangs from the top; the space below the hint stays empty.
    stack->addStretch(1);

    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}
