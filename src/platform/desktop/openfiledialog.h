#pragma once
// The open-file dialog behind Browse. It keeps the file name between uses: it opens with the
// previous choice, and when the operator cancels it reports the name it held before (empty
// before the first choice).

#include <QString>

struct OpenFileSettings {
    QString initialFolder;
    QString defaultSuffix; // added to a name typed without one
    QString filterName;    // "Download Files"
    QString filterPattern; // "*.DNL"
};

class OpenFileDialog {
public:
    virtual ~OpenFileDialog() = default;

    // Applies the settings, shows the dialog and blocks until it is closed; returns the file name
    // the dialog then holds.
    virtual QString chooseFile(const OpenFileSettings &settings) = 0;
};
