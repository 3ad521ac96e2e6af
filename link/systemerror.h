#pragma once

#include <QString>
#include <stdexcept>

// The one kind of error the tool raises. Handlers never catch it themselves: it
// ends the handler at the failing step and the handler boundary reports it.
class SystemError : public std::runtime_error
{
public:
    explicit SystemError(const QString &text);
    QString text() const { return m_text; }

private:
    QString m_text;
};

[[noreturn]] void RaiseError(const QString &text);
