#pragma once
// A stand-in for the message box, which collects what it was asked to show; the file dialog's
// is sim/scriptedfiledialog.h.

#include <QString>
#include <QStringList>

#include "platform/desktop/messagebox.h"

namespace bench {

class CollectedMessages final : public MessageBox {
public:
    void show(const QString &text) override { shown.append(text); }
    QStringList shown;
};

} // namespace bench
