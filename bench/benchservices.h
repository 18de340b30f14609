#pragma once
// Stand-ins for the file dialog and the message box: the dialog always chooses one file, the
// message box collects what it was asked to show.

#include <utility>

#include <QString>
#include <QStringList>

#include "platform/desktop/messagebox.h"
#include "platform/desktop/openfiledialog.h"

namespace bench {

class ChosenFile final : public OpenFileDialog {
public:
    explicit ChosenFile(QString path) : m_path(std::move(path)) {}
    QString chooseFile(const OpenFileSettings &) override { return m_path; }
    QString m_path;
};

class CollectedMessages final : public MessageBox {
public:
    void show(const QString &text) override { shown.append(text); }
    QStringList shown;
};

} // namespace bench
