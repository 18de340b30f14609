#pragma once
// The modal error report: returns once the operator has closed it.

#include <QString>

class MessageBox {
public:
    virtual ~MessageBox() = default;

    virtual void show(const QString &text) = 0;
};
