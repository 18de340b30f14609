#pragma once
// An open-file dialog that answers from a script: a name is chosen, nullopt is Cancel. Like the
// real one it keeps the name it held when cancelled.

#include <optional>

#include <QList>

#include "platform/desktop/openfiledialog.h"

class FakeOpenFileDialog final : public OpenFileDialog {
public:
    QString chooseFile(const OpenFileSettings &settings) override
    {
        seen.append(settings);
        const std::optional<QString> answer =
            answers.isEmpty() ? std::nullopt : answers.takeFirst();
        if (answer)
            held = *answer;
        return held;
    }

    QList<std::optional<QString>> answers;
    QList<OpenFileSettings> seen;
    QString held;
};
