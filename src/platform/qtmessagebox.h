#pragma once
// The error report as a plain Qt message box: the application's name as caption, the text,
// one OK button and no icon.

#include "platform/messagebox.h"

class QtMessageBox final : public MessageBox {
public:
    void show(const QString &text) override;
};
