#pragma once

#include <QString>

#include <functional>
#include <memory>
#include <optional>

class Alerts;
class ColorSwatch;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSlider;
class QWidget;
class SettingsStore;
struct SettingsForm;

// The window for the two global hot keys, the letters used inside the pen, the three pen
// colours and the pen width. Made once and kept: closing the window only hides it, and every
// opening starts with reload(), which drops edits that were not saved.
class SettingsWindowController
{
public:
    SettingsWindowController(SettingsStore& settings, Alerts& alerts, std::function<void()> onSave);
    ~SettingsWindowController();

    SettingsWindowController(const SettingsWindowController&) = delete;
    SettingsWindowController& operator=(const SettingsWindowController&) = delete;

    // Runs after a successful save has been written, before the window closes.
    std::function<void()> onSave;

    QWidget* window() const { return m_window.get(); }

    // Fills every control from the store.
    void reload();
    // Validates the form; writes it and closes the window, or tells the user what is wrong (or
    // why the settings file cannot be written) and leaves the form alone.
    void saveSettings();
    // Closes the window without writing anything.
    void cancelSettings();
    void showValidation(const QString& message);
    // What the desktop made of the two keys, shown next to their fields: the key it assigned
    // where that differs from the stored one (an empty text: none), or, when it gives programs no
    // global keys at all, how to bind the program's commands in the desktop's own settings.
    void showDesktopKeys(const std::optional<QString>& markerKey,
                         const std::optional<QString>& screenshotKey, bool givesKeys);

    QComboBox* markerPopup() const { return m_markerPopup; }
    QComboBox* screenshotPopup() const { return m_screenshotPopup; }
    QLabel* markerDesktopKey() const { return m_markerDesktopKey; }
    QLabel* screenshotDesktopKey() const { return m_screenshotDesktopKey; }
    QLabel* keyGuidance() const { return m_keyGuidance; }
    QLineEdit* redKey() const { return m_redKey; }
    QLineEdit* blueKey() const { return m_blueKey; }
    QLineEdit* greenKey() const { return m_greenKey; }
    QLineEdit* eraserKey() const { return m_eraserKey; }
    QLineEdit* clearKey() const { return m_clearKey; }
    ColorSwatch* redSwatch() const { return m_redSwatch; }
    ColorSwatch* blueSwatch() const { return m_blueSwatch; }
    ColorSwatch* greenSwatch() const { return m_greenSwatch; }
    // Steps of a hundredth of a pixel, 100…1600.
    QSlider* widthSlider() const { return m_widthSlider; }
    QLabel* widthLabel() const { return m_widthLabel; }
    QPushButton* cancelButton() const { return m_cancelButton; }
    QPushButton* saveButton() const { return m_saveButton; }

private:
    SettingsForm form() const;
    double lineWidth() const;
    void updateWidthLabel();

    SettingsStore& m_settings;
    Alerts& m_alerts;
    std::unique_ptr<QWidget> m_window;
    QComboBox* m_markerPopup;
    QComboBox* m_screenshotPopup;
    QLabel* m_markerDesktopKey;
    QLabel* m_screenshotDesktopKey;
    QLabel* m_keyGuidance;
    QLineEdit* m_redKey;
    QLineEdit* m_blueKey;
    QLineEdit* m_greenKey;
    QLineEdit* m_eraserKey;
    QLineEdit* m_clearKey;
    ColorSwatch* m_redSwatch;
    ColorSwatch* m_blueSwatch;
    ColorSwatch* m_greenSwatch;
    QSlider* m_widthSlider;
    QLabel* m_widthLabel;
    QPushButton* m_cancelButton;
    QPushButton* m_saveButton;
};
