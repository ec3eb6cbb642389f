#pragma once

#include <QString>

#include <cstdio>
#include <cstdlib>

// A property that does not hold is a finding like a crash: say which and abort, so that
// libFuzzer keeps the input that broke it.
[[noreturn]] inline void FuzzFailure(const char* file, int line, const char* property,
                                     const QString& detail)
{
    std::fprintf(stderr, "%s:%d: property does not hold: %s\n", file, line, property);
    if (!detail.isEmpty())
        std::fprintf(stderr, "  %s\n", detail.toUtf8().constData());
    std::abort();
}

#define FUZZ_CHECK(condition, detail)                                                              \
    do {                                                                                           \
        if (!(condition))                                                                          \
            FuzzFailure(__FILE__, __LINE__, #condition, (detail));                                 \
    } while (false)

// A text in a form that shows every character: printable ASCII as it is, the rest as
// \uXXXX.
inline QString Visible(const QString& text)
{
    QString out;
    for (const QChar c : text) {
        if (c.unicode() >= 0x20 && c.unicode() < 0x7F && c != u'\\')
            out += c;
        else
            out += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QChar(u'0'));
    }
    return out;
}
