#pragma once

#include "link/systemerror.h"

#include <QString>

// A failure on the bus, as the Modbus master meets it: what happened (the
// kind), where (the address and function of the request, when there was
// one), and a line of text that says it to a person. Callers decide by the
// kind and the exception code, never by the text, which may be reworded.
class BusError : public SystemError
{
public:
    enum class Kind {
        Timeout,     // no reply after every try (a gateway's 0x0A/0x0B included: the supply's silence)
        SpoiltReply, // a reply came but could not be taken (CRC, length, echo, header)
        Exception,   // the supply (or the server) answered with a Modbus exception
        PortLost,    // the port or the connection failed under way
        Refused      // the port or link cannot be had: busy, missing, denied, unreachable
    };

    BusError(Kind kind, const QString &text, int address = -1, int function = -1, int exceptionCode = 0)
        : SystemError(text), m_kind(kind), m_address(address), m_function(function), m_exceptionCode(exceptionCode)
    {
    }

    Kind kind() const { return m_kind; }
    // The bus address and function of the request that failed; -1 when the
    // failure belongs to the port, not to a request.
    int address() const { return m_address; }
    int function() const { return m_function; }
    // The code of an Exception; 0 for every other kind.
    int exceptionCode() const { return m_kind == Kind::Exception ? m_exceptionCode : 0; }
    // True for the failures of the port itself, after which nothing more can
    // be asked until it is opened again.
    bool isPortFailure() const { return m_kind == Kind::PortLost || m_kind == Kind::Refused; }

private:
    Kind m_kind;
    int m_address;
    int m_function;
    int m_exceptionCode;
};
