#include "platform/desktop/qtmessagebox.h"

#include <QApplication>
#include <QMessageBox>

void QtMessageBox::show(const QString &text)
{
    QMessageBox box(QMessageBox::NoIcon, m_caption, text, QMessageBox::Ok,
                    QApplication::activeWindow());
    box.setObjectName(QStringLiteral("errorMessage"));
    box.exec();
}
