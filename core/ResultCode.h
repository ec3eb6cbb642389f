#pragma once

#include <QString>
#include <QtGlobal>

// What an operation on the line or a device came to: success, one of the program's own
// failures, a ModBus exception reply, or an operating-system error passed on unchanged.
// The kind travels with the number, so a system code never reads as an exception.
class ResultCode
{
public:
    enum class Kind : quint8 { Ok, Program, Exception, System };

    constexpr ResultCode() = default;

    // A program code is negative (Rc::…); an exception code is what the reply carries
    // (1..255); a system code is errno or GetLastError.
    static constexpr ResultCode Program(int code) { return {Kind::Program, code}; }
    static constexpr ResultCode Exception(int code) { return {Kind::Exception, code}; }
    static constexpr ResultCode System(int code) { return {Kind::System, code}; }

    constexpr Kind kind() const { return m_kind; }
    constexpr int number() const { return m_number; }
    constexpr bool ok() const { return m_kind == Kind::Ok; }
    constexpr bool IsException() const { return m_kind == Kind::Exception; }

    friend constexpr bool operator==(const ResultCode&, const ResultCode&) = default;

private:
    constexpr ResultCode(Kind kind, int number) : m_kind(kind), m_number(number) {}

    Kind m_kind = Kind::Ok;
    int m_number = 0;
};

namespace Rc {
inline constexpr ResultCode Ok{};
inline constexpr ResultCode NoReply = ResultCode::Program(-1);
inline constexpr ResultCode CrcError = ResultCode::Program(-2);
inline constexpr ResultCode UnknownReply = ResultCode::Program(-3);
inline constexpr ResultCode PortNotOpen = ResultCode::Program(-4);
inline constexpr ResultCode InvalidParameter = ResultCode::Program(-6);
inline constexpr ResultCode PortReadError = ResultCode::Program(-10);
inline constexpr ResultCode PortWriteError = ResultCode::Program(-11);
inline constexpr ResultCode ReceiveOverflow = ResultCode::Program(-14);
// A wait on the line ended by an abort; the read-out logs the abort itself.
inline constexpr ResultCode Aborted = ResultCode::Program(-15);
inline constexpr ResultCode SocketStartFailed = ResultCode::Program(-28);
inline constexpr ResultCode IpConnectionError = ResultCode::Program(-88);
inline constexpr ResultCode LogDecodeError = ResultCode::Program(-90);
inline constexpr ResultCode ArchiveDecodeError = ResultCode::Program(-91);
inline constexpr ResultCode UnknownDevice = ResultCode::Program(-100);

// The exception a meter answers a read past its records or an address it lacks.
inline constexpr ResultCode IllegalDataAddress = ResultCode::Exception(2);
} // namespace Rc

// The operating system's own message for an error code, trimmed by TrimSystemText;
// empty when the system has none.
QString SystemErrorText(int code);

// Removes trailing blanks, control characters and full stops ("Access is denied.\r\n").
QString TrimSystemText(QString text);

// The one text shown to the user and written to the exchange log for a result.
QString ResultCodeText(ResultCode code);

// For test failure messages: the kind, the number and the text.
char* toString(const ResultCode& code);
