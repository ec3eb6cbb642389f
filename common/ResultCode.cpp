#include "ResultCode.h"

#include <cstring>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {

struct CodeText
{
    ResultCode code;
    const char* text; // UTF-8
};

constexpr CodeText kCodeTexts[] = {
    {-1, "Нет ответа"},
    {-2, "Ошибка CRC"},
    {-3, "Неопознанный ответ"},
    {-4, "Порт не открыт"},
    {-5, "Неверный номер порта"},
    {-6, "Неверный параметр"},
    {-7, "Не выбран эталонный расходомер"},
    {-8, "Ошибка насоса"},
    {-9, "Ошибка записи параметра"},
    {-10, "Ошибка чтения порта"},
    {-11, "Ошибка записи в порт"},
    {-13, "Ответ - ошибка контрольной суммы"},
    {-14, "Переполнение буфера приема"},
    {-15, "Операция прервана"},
    {-16, "Ошибка установки DTR"},
    {-17, "Ошибка снятия DTR"},
    {-18, "Ошибка автоустановки порога"},
    {-19, "Неверный тип прибора"},
    {-20, "Недостаточно данных"},
    {-21, "Ошибка насоса ErrorClear"},
    {-22, "Ошибка насоса ShutDown"},
    {-23, "Ошибка насоса SwitchOn"},
    {-24, "Ошибка насоса Enable"},
    {-25, "Ошибка чтения измерителя"},
    {-26, "Ошибка записи измерителя"},
    {-88, "Ошибка IP соединения"},
    {-90, "Ошибка разбора журнала"},
    {-91, "Ошибка разбора архива"},
    {-99, "Неверный тип ЗЕТУ"},
    {-100, "Неизвестный тип прибора"},
};

QString RawSystemErrorText(int code)
{
#ifdef Q_OS_WIN
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    if (length == 0 || buffer == nullptr)
        return {};
    const QString text = QString::fromWCharArray(buffer, static_cast<int>(length));
    LocalFree(buffer);
    return text;
#elif defined(__GLIBC__)
    // Unlike strerror, this gives nothing (rather than "Unknown error N") for a
    // code the system does not know.
    const char* text = strerrordesc_np(code);
    return text ? QString::fromLocal8Bit(text) : QString();
#else
    char buffer[256] = {};
    if (strerror_r(code, buffer, sizeof buffer) != 0)
        return {};
    return QString::fromLocal8Bit(buffer);
#endif
}

} // namespace

QString SystemErrorText(int code)
{
    return TrimSystemText(RawSystemErrorText(code));
}

QString TrimSystemText(QString text)
{
    qsizetype end = text.size();
    while (end > 0) {
        const QChar c = text.at(end - 1);
        if (c != u' ' && c != u'.' && c.category() != QChar::Other_Control)
            break;
        --end;
    }
    text.truncate(end);
    return text;
}

QString ResultCodeText(ResultCode code)
{
    if (code == Rc::Ok)
        return QStringLiteral("OK");
    if (code >= Rc::ExceptionBase && code <= Rc::ExceptionLast)
        return QStringLiteral("Ответ - ошибка ") + QString::number(code - Rc::ExceptionBase);
    for (const CodeText& entry : kCodeTexts) {
        if (entry.code == code)
            return QString::fromUtf8(entry.text);
    }
    const QString system = code > 0 ? SystemErrorText(code) : QString();
    return QStringLiteral("ошибка ") + QString::number(code) + QStringLiteral(" (") + system +
           QStringLiteral(")");
}
