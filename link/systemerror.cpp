#include "link/systemerror.h"

SystemError::SystemError(const QString &text)
    : std::runtime_error(text.toStdString()), m_text(text)
{
}

void RaiseError(const QString &text)
{
    throw SystemError(text);
}
