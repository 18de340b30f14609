#pragma once
// The progress bar as the upload drives it: a range and a value in single precision, since the
// upload adds to the value line by line, and a text on the bar with its details in a tooltip.

#include <QString>

class ProgressDisplay {
public:
    virtual ~ProgressDisplay() = default;

    virtual float minimum() const = 0;
    virtual float maximum() const = 0;
    virtual float value() const = 0;
    virtual void setMinimum(float minimum) = 0;
    virtual void setMaximum(float maximum) = 0;
    virtual void setValue(float value) = 0;
    virtual void setText(const QString &text, const QString &details) = 0;
};
