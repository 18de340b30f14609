#pragma once
// The window as the upload sees it, without widgets: a path, a selected port entry, the sets
// applied in order and a progress display that keeps its numbers.

#include <QList>

#include "upload/uploadform.h"

class FakeProgress final : public ProgressDisplay {
public:
    float minimum() const override { return min; }
    float maximum() const override { return max; }
    float value() const override { return val; }
    void setMinimum(float m) override { min = m; }
    void setMaximum(float m) override { max = m; }
    void setValue(float v) override { val = v; }
    void setText(const QString &t, const QString &d) override
    {
        text = t;
        details = d;
    }

    float min = 0.0f;
    float max = 100.0f;
    float val = 0.0f;
    QString text;
    QString details;
};

class FakeUploadForm final : public UploadForm {
public:
    QString path() const override { return filePath; }
    std::optional<qint32> selectedPortTag() const override { return portTag; }
    void applyControlSet(ControlSet set) override { applied.append(set); }
    ProgressDisplay &progress() override { return bar; }

    QString filePath;
    std::optional<qint32> portTag = 1;
    QList<ControlSet> applied;
    FakeProgress bar;
};
