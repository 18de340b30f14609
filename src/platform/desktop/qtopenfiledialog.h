#pragma once
// The open-file dialog on Qt's own widget dialog, so that it looks and behaves the same on every
// desktop. One QFileDialog lives as long as this object, which keeps its file name.

#include <memory>

#include <QList>
#include <QUrl>

#include "platform/desktop/openfiledialog.h"

class QFileDialog;

class QtOpenFileDialog final : public OpenFileDialog {
public:
    QtOpenFileDialog();
    ~QtOpenFileDialog() override;

    QString chooseFile(const OpenFileSettings &settings) override;

private:
    QList<QUrl> places(const QString &initialFolder) const;
    void hidePopups();

    std::unique_ptr<QFileDialog> m_dialog;
    QString m_fileName;
};
