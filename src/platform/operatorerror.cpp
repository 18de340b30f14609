#include "platform/operatorerror.h"

#include <cstring>

OperatorError::OperatorError(const QString &text)
    : std::runtime_error(text.toStdString()), m_text(text)
{}

QString systemReason(int errnum)
{
    return QString::fromLocal8Bit(std::strerror(errnum));
}
