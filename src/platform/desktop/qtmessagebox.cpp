#include "platform/desktop/qtmessagebox.h"

#include <QMessageBox>

void QtMessageBox::show(const QString &text)
{
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Zelvor Upload"), text, QMessageBox::Ok,
                    m_owner);
    box.setObjectName(QStringLiteral("errorMessage"));
    box.exec();
}
