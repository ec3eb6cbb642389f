#include "ResultCode.h"

#include <QByteArray>

#include <cstring>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {

struct CodeText
{
    int code;
    const char* text; // UTF-8
};

// The program codes that something produces.
constexpr CodeText kCodeTexts[] = {
    {-1, "Нет ответа"},
    {-2, "Ошибка CRC"},
    {-3, "Неопознанный ответ"},
    {-4, "Порт не открыт"},
    {-6, "Неверный параметр"},
    {-10, "Ошибка чтения порта"},
    {-11, "Ошибка записи в порт"},
    {-14, "Переполнение буфера приема"},
    {-15, "Операция прервана"},
    {-88, "Ошибка IP соединения"},
    {-90, "Ошибка разбора журнала"},
    {-91, "Ошибка разбора архива"},
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
    switch (code.kind()) {
    case ResultCode::Kind::Ok:
        return QStringLiteral("OK");
    case ResultCode::Kind::Exception:
        return QStringLiteral("Ответ - ошибка ") + QString::number(code.number());
    case ResultCode::Kind::Program:
        for (const CodeText& entry : kCodeTexts) {
            if (entry.code == code.number())
                return QString::fromUtf8(entry.text);
        }
        break;
    case ResultCode::Kind::System:
        break;
    }
    const QString system =
        code.kind() == ResultCode::Kind::System ? SystemErrorText(code.number()) : QString();
    return QStringLiteral("ошибка ") + QString::number(code.number()) + QStringLiteral(" (") +
           system + QStringLiteral(")");
}

char* toString(const ResultCode& code)
{
    static const char* const kinds[] = {"ok", "program", "exception", "system"};
    const QByteArray text = QByteArray(kinds[static_cast<int>(code.kind())]) + ' ' +
                            QByteArray::number(code.number()) + " \"" +
                            ResultCodeText(code).toUtf8() + '"';
    return qstrdup(text.constData());
}
