#pragma once
// What the upload reads from and applies to the window: the path box, the selected port entry,
// the control-state sets and the progress bar. The main window is the real one.

#include <optional>

#include <QString>
#include <QtGlobal>

#include "platform/desktop/progressdisplay.h"

// The named combinations of enabled controls that the upload puts its form in. Ready equals
// after-upload and start equals no-file; they keep their own names because they are applied at
// different points. Which control each set enables is the form's business.
enum class ControlSet { Start, Ready, NoFile, Uploading, AfterUpload };

class UploadForm {
public:
    virtual ~UploadForm() = default;

    virtual QString path() const = 0;
    // The tag of the selected port entry; none when no entry is selected.
    virtual std::optional<qint32> selectedPortTag() const = 0;
    virtual void applyControlSet(ControlSet set) = 0;
    virtual ProgressDisplay &progress() = 0;
};
