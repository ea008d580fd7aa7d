#include "settings/settingswindowcontroller.h"

#include "desktop/alerts.h"
#include "settings/colorswatch.h"
#include "settings/settingsstore.h"
#include "settings/settingsvalidation.h"

#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShortcut>
#include <QSlider>
#include <QVBoxLayout>
#include <QWidget>

#include <algorithm>

namespace
{

constexpr int kWindowSize = 520;
constexpr int kLetterWidth = 58;
// QSlider only knows integers; the pen width moves in hundredths so it feels continuous.
constexpr int kWidthScale = 100;

QLabel* label(const QString& text, int pixelSize, QFont::Weight weight)
{
    auto* result = new QLabel(text);
    QFont font = result->font();
    font.setPixelSize(pixelSize);
    font.setWeight(weight);
    result->setFont(font);
    return result;
}

QLabel* rowTitle(const QString& text)
{
    auto* title = new QLabel(text);
    title->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return title;
}

QComboBox* functionKeyPopup()
{
    auto* popup = new QComboBox;
    for (int number = 1; number <= 12; ++number)
        popup->addItem(QStringLiteral("F%1").arg(number));
    return popup;
}

// Any text may be typed; it is only judged when the user saves.
QLineEdit* letterField()
{
    auto* field = new QLineEdit;
    field->setAlignment(Qt::AlignCenter);
    field->setFixedWidth(kLetterWidth);
    return field;
}

ColorSwatch* swatch()
{
    auto* swatch = new ColorSwatch;
    swatch->setFixedWidth(kLetterWidth);
    return swatch;
}

QWidget* penRow(QLineEdit* field, ColorSwatch* swatch)
{
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(10);
    layout->addWidget(field);
    layout->addWidget(swatch);
    layout->addStretch(1);
    return row;
}

QLabel* secondaryLabel()
{
    auto* result = new QLabel;
    QPalette palette = result->palette();
    QColor secondary = palette.color(QPalette::WindowText);
    secondary.setAlphaF(0.5);
    palette.setColor(QPalette::WindowText, secondary);
    result->setPalette(palette);
    result->hide();
    return result;
}

QWidget* keyRow(QComboBox* popup, QLabel* desktopKey)
{
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(10);
    layout->addWidget(popup, 1);
    layout->addWidget(desktopKey);
    return row;
}

void showDesktopKey(QLabel* label, const std::optional<QString>& key, bool givesKeys)
{
    label->setVisible(givesKeys && key);
    if (key)
        label->setText(key->isEmpty() ? QStringLiteral("桌面未分配按键")
                                      : QStringLiteral("桌面设定：") + *key);
}

void select(QComboBox* popup, qint64 number)
{
    // A number outside F1–F12 matches no item and leaves the popup without a selection.
    popup->setCurrentIndex(popup->findText(QStringLiteral("F%1").arg(number)));
}

std::optional<QString> selectedTitle(const QComboBox* popup)
{
    if (popup->currentIndex() < 0)
        return std::nullopt;
    return popup->currentText();
}

} // namespace

SettingsWindowController::SettingsWindowController(SettingsStore& settings, Alerts& alerts,
                                                   std::function<void()> onSave)
    : onSave(std::move(onSave)), m_settings(settings), m_alerts(alerts),
      m_window(std::make_unique<QWidget>(nullptr, Qt::Window | Qt::WindowTitleHint |
                                                      Qt::WindowCloseButtonHint |
                                                      Qt::CustomizeWindowHint)),
      m_markerPopup(functionKeyPopup()), m_screenshotPopup(functionKeyPopup()),
      m_markerDesktopKey(secondaryLabel()), m_screenshotDesktopKey(secondaryLabel()),
      m_keyGuidance(secondaryLabel()), m_redKey(letterField()), m_blueKey(letterField()),
      m_greenKey(letterField()), m_eraserKey(letterField()), m_clearKey(letterField()),
      m_redSwatch(swatch()), m_blueSwatch(swatch()), m_greenSwatch(swatch()),
      m_widthSlider(new QSlider(Qt::Horizontal)), m_widthLabel(new QLabel),
      m_cancelButton(new QPushButton(QStringLiteral("取消"))),
      m_saveButton(new QPushButton(QStringLiteral("保存设置")))
{
    m_window->setWindowTitle(QStringLiteral("快捷键与画笔设置"));
    m_window->setFixedSize(kWindowSize, kWindowSize);

    auto* header = label(QStringLiteral("快捷键与画笔"), 22, QFont::DemiBold);
    auto* note = new QLabel(
        QStringLiteral("全局快捷键支持 F1–F12。画笔内部快捷键请输入单个字母，且不能重复。"));
    note->setWordWrap(true);
    QPalette notePalette = note->palette();
    QColor secondary = notePalette.color(QPalette::WindowText);
    secondary.setAlphaF(0.5);
    notePalette.setColor(QPalette::WindowText, secondary);
    note->setPalette(notePalette);
    m_keyGuidance->setWordWrap(true);
    m_keyGuidance->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_keyGuidance->setText(QStringLiteral(
        "此桌面不向程序提供全局快捷键。请在桌面的键盘设置中自行添加快捷键，分别运行命令 "
        "vellori --screenshot（框选截图）和 vellori --pen（开关全屏画笔）。"));

    m_widthSlider->setRange(1 * kWidthScale, 16 * kWidthScale);
    m_widthSlider->setSingleStep(kWidthScale);
    m_widthSlider->setPageStep(kWidthScale);
    m_widthSlider->setValue(static_cast<int>(SettingsDefaults::lineWidth * kWidthScale));
    m_widthLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    m_widthLabel->setFixedWidth(48);
    updateWidthLabel();
    auto* widthRow = new QHBoxLayout;
    widthRow->setSpacing(10);
    widthRow->addWidget(m_widthSlider, 1);
    widthRow->addWidget(m_widthLabel);

    auto* form = new QGridLayout;
    form->setVerticalSpacing(11);
    form->setHorizontalSpacing(18);
    form->setColumnStretch(1, 1);
    form->addWidget(rowTitle(QStringLiteral("开关画笔")), 0, 0);
    form->addWidget(keyRow(m_markerPopup, m_markerDesktopKey), 0, 1);
    form->addWidget(rowTitle(QStringLiteral("框选截图")), 1, 0);
    form->addWidget(keyRow(m_screenshotPopup, m_screenshotDesktopKey), 1, 1);
    form->addWidget(m_keyGuidance, 2, 1);
    form->addWidget(rowTitle(QStringLiteral("第一支笔")), 3, 0);
    form->addWidget(penRow(m_redKey, m_redSwatch), 3, 1);
    form->addWidget(rowTitle(QStringLiteral("第二支笔")), 4, 0);
    form->addWidget(penRow(m_blueKey, m_blueSwatch), 4, 1);
    form->addWidget(rowTitle(QStringLiteral("第三支笔")), 5, 0);
    form->addWidget(penRow(m_greenKey, m_greenSwatch), 5, 1);
    form->addWidget(rowTitle(QStringLiteral("橡皮")), 6, 0);
    // Fixed-width fields would be centred in the cell without an explicit alignment.
    form->addWidget(m_eraserKey, 6, 1, Qt::AlignLeft | Qt::AlignVCenter);
    form->addWidget(rowTitle(QStringLiteral("清屏")), 7, 0);
    form->addWidget(m_clearKey, 7, 1, Qt::AlignLeft | Qt::AlignVCenter);
    form->addWidget(rowTitle(QStringLiteral("画笔粗细")), 8, 0);
    form->addLayout(widthRow, 8, 1);

    m_saveButton->setDefault(true);
    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(10);
    buttons->addStretch(1);
    buttons->addWidget(m_cancelButton);
    buttons->addWidget(m_saveButton);

    auto* page = new QVBoxLayout(m_window.get());
    page->setContentsMargins(32, 26, 32, 0);
    page->setSpacing(18);
    page->addWidget(header);
    page->addWidget(note);
    page->addLayout(form);
    page->addLayout(buttons);
    page->addStretch(1);

    QWidget* window = m_window.get();
    QObject::connect(m_widthSlider, &QSlider::valueChanged, window, [this] { updateWidthLabel(); });
    QObject::connect(m_cancelButton, &QPushButton::clicked, window, [this] { cancelSettings(); });
    QObject::connect(m_saveButton, &QPushButton::clicked, window, [this] { saveSettings(); });
    // A default button only answers Return inside a QDialog; this window is a plain widget.
    auto* submit = new QShortcut(window);
    submit->setKeys({QKeySequence(Qt::Key_Return), QKeySequence(Qt::Key_Enter)});
    QObject::connect(submit, &QShortcut::activated, m_saveButton, &QPushButton::click);
}

SettingsWindowController::~SettingsWindowController() = default;

void SettingsWindowController::reload()
{
    select(m_markerPopup,
           m_settings.value(SettingsKeys::markerFunctionKey, SettingsDefaults::markerFunctionKey));
    select(m_screenshotPopup, m_settings.value(SettingsKeys::screenshotFunctionKey,
                                               SettingsDefaults::screenshotFunctionKey));
    const auto showLetter = [this](QLineEdit* field, const QString& key, const QString& fallback) {
        field->setText(SettingsValidation::shownLetter(m_settings.string(key, fallback)));
    };
    showLetter(m_redKey, SettingsKeys::redKey, SettingsDefaults::redKey);
    showLetter(m_blueKey, SettingsKeys::blueKey, SettingsDefaults::blueKey);
    showLetter(m_greenKey, SettingsKeys::greenKey, SettingsDefaults::greenKey);
    showLetter(m_eraserKey, SettingsKeys::eraserKey, SettingsDefaults::eraserKey);
    showLetter(m_clearKey, SettingsKeys::clearKey, SettingsDefaults::clearKey);
    m_redSwatch->setColor(m_settings.color(SettingsKeys::redColor, SettingsDefaults::systemRed));
    m_blueSwatch->setColor(m_settings.color(SettingsKeys::blueColor, SettingsDefaults::systemBlue));
    m_greenSwatch->setColor(
        m_settings.color(SettingsKeys::greenColor, SettingsDefaults::systemGreen));
    const double width =
        m_settings.positiveDouble(SettingsKeys::lineWidth, SettingsDefaults::lineWidth);
    // Clamped first: a huge stored width must not overflow the int the slider holds.
    m_widthSlider->setValue(qRound(std::clamp(width, 1.0, 16.0) * kWidthScale));
    updateWidthLabel();
}

void SettingsWindowController::saveSettings()
{
    const std::variant<ValidSettings, QString> result = SettingsValidation::validate(form());
    if (const auto* message = std::get_if<QString>(&result)) {
        showValidation(*message);
        return;
    }
    if (const QString reason = m_settings.unwritableReason(); !reason.isEmpty()) {
        showValidation(reason);
        return;
    }
    const auto& valid = std::get<ValidSettings>(result);
    m_settings.setInteger(valid.markerFunctionKey, SettingsKeys::markerFunctionKey);
    m_settings.setInteger(valid.screenshotFunctionKey, SettingsKeys::screenshotFunctionKey);
    m_settings.setString(valid.redKey, SettingsKeys::redKey);
    m_settings.setString(valid.blueKey, SettingsKeys::blueKey);
    m_settings.setString(valid.greenKey, SettingsKeys::greenKey);
    m_settings.setString(valid.eraserKey, SettingsKeys::eraserKey);
    m_settings.setString(valid.clearKey, SettingsKeys::clearKey);
    m_settings.setColor(m_redSwatch->color(), SettingsKeys::redColor);
    m_settings.setColor(m_blueSwatch->color(), SettingsKeys::blueColor);
    m_settings.setColor(m_greenSwatch->color(), SettingsKeys::greenColor);
    m_settings.setDouble(SettingsValidation::roundedWidth(lineWidth()), SettingsKeys::lineWidth);
    // Written at once, so that a crash or kill right after a save loses nothing.
    if (const QString reason = m_settings.sync(); !reason.isEmpty()) {
        showValidation(reason);
        return;
    }
    if (onSave)
        onSave();
    m_window->close();
}

void SettingsWindowController::cancelSettings()
{
    m_window->close();
}

void SettingsWindowController::showDesktopKeys(const std::optional<QString>& markerKey,
                                               const std::optional<QString>& screenshotKey,
                                               bool givesKeys)
{
    showDesktopKey(m_markerDesktopKey, markerKey, givesKeys);
    showDesktopKey(m_screenshotDesktopKey, screenshotKey, givesKeys);
    m_keyGuidance->setVisible(!givesKeys);
}

void SettingsWindowController::showValidation(const QString& message)
{
    m_alerts.showSheet(m_window.get(), {QStringLiteral("设置无法保存"), message});
}

SettingsForm SettingsWindowController::form() const
{
    return {selectedTitle(m_markerPopup),
            selectedTitle(m_screenshotPopup),
            m_redKey->text(),
            m_blueKey->text(),
            m_greenKey->text(),
            m_eraserKey->text(),
            m_clearKey->text()};
}

double SettingsWindowController::lineWidth() const
{
    return static_cast<double>(m_widthSlider->value()) / kWidthScale;
}

void SettingsWindowController::updateWidthLabel()
{
    m_widthLabel->setText(
        QStringLiteral("%1 px").arg(SettingsValidation::roundedWidth(lineWidth()), 0, 'f', 0));
}
