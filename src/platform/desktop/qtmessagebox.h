#pragma once
// The error report as a Qt message box that belongs to the program's window (shown over it, and
// with it when the operator comes back from another program): the application's title as
// caption, a warning icon, the text and one OK button.

#include <QString>

class QWidget;

#include "platform/desktop/messagebox.h"

class QtMessageBox final : public MessageBox {
public:
    void show(const QString &text) override;
    // The window the box belongs to; none until it is set.
    void setOwner(QWidget *window) { m_owner = window; }

private:
    QWidget *m_owner = nullptr;
};
