#include "app/alerts.h"

#include <QMessageBox>
#include <QPushButton>

namespace
{

void fill(QMessageBox& box, const Alert& alert)
{
    box.setWindowTitle(QStringLiteral("Vellori截图与红笔"));
    box.setText(alert.messageText);
    box.setInformativeText(alert.informativeText);
    box.addButton(QStringLiteral("好"), QMessageBox::AcceptRole);
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
