#pragma once
// The error report as a plain Qt message box: the application's title as caption, the text,
// one OK button and no icon.

#include <QString>

#include "platform/desktop/messagebox.h"

class QtMessageBox final : public MessageBox {
public:
    explicit QtMessageBox(QString caption = QStringLiteral("Zelvor Upload"))
        : m_caption(std::move(caption))
    {}

    void show(const QString &text) override;

private:
    QString m_caption;
};
