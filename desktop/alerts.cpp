#include "desktop/alerts.h"

#include <QGridLayout>
#include <QMessageBox>
#include <QPushButton>

namespace
{

// QMessageBox narrows itself to its shortest text: the window manager then cuts the title and
// the reason wraps every few characters.
constexpr int kMinimumWidth = 420;

void fill(QMessageBox& box, const Alert& alert)
{

    box.setIcon(QMessageBox::Warning);
    box.setWindowTitle(QStringLiteral("Vellori截图与红笔"));
    box.setText(alert.messageText);
    box.setInformativeText(alert.informativeText);
    box.addButton(QStringLiteral("好"), QMessageBox::AcceptRole);
    // Last: the setters above rebuild the box's layout.
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout()))
        grid->addItem(new QSpacerItem(kMinimumWidth, 0, QSizePolicy::Minimum, QSizePolicy::Fixed),
                      grid->rowCount(), 0, 1, grid->columnCount());
}

} // namespace

void MessageBoxAlerts::showModal(const Alert& alert)
{
    QMessageBox box;
    fill(box, alert);
    box.exec();
}

void MessageBoxAlerts::showSheet(QWidget* window, const Alert& alert)
{
    auto* box = new QMessageBox(window);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    fill(*box, alert);
    box->open();
}
