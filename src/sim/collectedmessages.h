#pragma once
// A message box for the tests, the benchmark and the tools: it collects each error report instead
// of showing it, and onShow lets a test look at the state the operator would see while the box is
// open.

#include <functional>

#include <QStringList>

#include "platform/desktop/messagebox.h"

class CollectedMessages final : public MessageBox {
public:
    void show(const QString &text) override
    {
        shown.append(text);
        if (onShow)
            onShow();
    }

    QStringList shown;
    std::function<void()> onShow;
};
