#pragma once
// An open-file dialog for the tests, the benchmark and the tools, answering from a script: each
// answer is a name chosen, or nullopt for Cancel, and once the answers run out it is cancelled.
// Like the real one it keeps the name it held when cancelled, so one made with a name and no
// answers chooses that name every time.

#include <optional>
#include <utility>

#include <QList>
#include <QString>

#include "platform/desktop/openfiledialog.h"

class ScriptedFileDialog final : public OpenFileDialog {
public:
    explicit ScriptedFileDialog(QString chosen = {}) : held(std::move(chosen)) {}

    QString chooseFile(const OpenFileSettings &settings) override
    {
        seen.append(settings);
        if (!answers.isEmpty())
            if (const std::optional<QString> answer = answers.takeFirst())
                held = *answer;
        return held;
    }

    QList<std::optional<QString>> answers;
    QList<OpenFileSettings> seen;
    QString held;
};
