#pragma once

#include <QString>
#include <QtGlobal>

// Returned by every operation on the line or a device: 0 success, negative codes
// the program's own failures, 30..63 a ModBus exception reply (exception = code - 30),
// any other positive value an operating-system error code passed on unchanged.
using ResultCode = qint32;

namespace Rc {
inline constexpr ResultCode Ok = 0;
inline constexpr ResultCode NoReply = -1;
inline constexpr ResultCode CrcError = -2;
inline constexpr ResultCode UnknownReply = -3;
inline constexpr ResultCode PortNotOpen = -4;
inline constexpr ResultCode InvalidParameter = -6;
inline constexpr ResultCode PortReadError = -10;
inline constexpr ResultCode PortWriteError = -11;
inline constexpr ResultCode ReceiveOverflow = -14;
inline constexpr ResultCode Aborted = -15;
inline constexpr ResultCode SocketStartFailed = -28;
inline constexpr ResultCode IpConnectionError = -88;
inline constexpr ResultCode LogDecodeError = -90;
inline constexpr ResultCode ArchiveDecodeError = -91;
inline constexpr ResultCode ExportFolderError = -99;
inline constexpr ResultCode UnknownDevice = -100;

inline constexpr ResultCode ExceptionBase = 30;
inline constexpr ResultCode ExceptionLast = 63;
} // namespace Rc

// The operating system's own message for an error code, trimmed by TrimSystemText;
// empty when the system has none.
QString SystemErrorText(int code);

// Removes trailing blanks, control characters and full stops ("Access is denied.\r\n").
QString TrimSystemText(QString text);

// The one text shown to the user and written to the exchange log for a code.
QString ResultCodeText(ResultCode code);
