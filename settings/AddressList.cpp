#include "AddressList.h"

namespace {

bool IsDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

const QString kNoAddresses = QStringLiteral("Нет допустимых адресов");
const QString kAboveMax = QStringLiteral("Адрес не может быть больше 250");
const QString kNoAddressAfterHyphen = QStringLiteral("Нет допустимого адреса после \"-\"");
const QString kRangeNotAscending = QStringLiteral("Адрес после \"-\" должен быть больше");
const QString kBadCharacter = QStringLiteral("Допустимы символы \",\" и \"-\"");
const QString kTooMany = QStringLiteral("Слишком много адресов (не более %1)").arg(MaxAddressCount);

} // namespace

bool TakeNumberToken(QString& text, int& value)
{
    qsizetype start = 0;
    while (start < text.size() && !IsDigit(text.at(start)))
        ++start;
    if (start == text.size()) {
        text.clear();
        return false;
    }
    qsizetype end = start;
    int number = 0;
    while (end < text.size() && end - start < 3 && IsDigit(text.at(end))) {
        number = number * 10 + (text.at(end).unicode() - u'0');
        ++end;
    }
    while (end < text.size() && text.at(end) == u' ')
        ++end;
    text.remove(0, end);
    value = number;
    return true;
}

AddressParseResult ParseAddressList(QString text)
{
    AddressParseResult result;
    AddressList& list = result.addresses;
    auto fail = [&result](const QString& message) {
        result.addresses.clear();
        result.error = message;
        return result;
    };
    auto append = [&list](int first, int last) {
        if (list.size() + (last - first + 1) > MaxAddressCount)
            return false;
        for (int a = first; a <= last; ++a)
            list.append(static_cast<quint8>(a));
        return true;
    };

    while (!text.isEmpty()) {
        int a = 0;
        if (!TakeNumberToken(text, a)) {
            if (list.isEmpty())
                return fail(kNoAddresses);
            break;
        }
        if (a > MaxAddress)
            return fail(kAboveMax);
        int last = a;
        if (!text.isEmpty()) {
            const QChar c = text.at(0);
            if (c == u',') {
                text.remove(0, 1);
            } else if (c == u'-') {
                if (!TakeNumberToken(text, last))
                    return fail(kNoAddressAfterHyphen);
                if (last > MaxAddress)
                    return fail(kAboveMax);
                if (last <= a)
                    return fail(kRangeNotAscending);
            } else if (!IsDigit(c)) {
                return fail(kBadCharacter);
            }
        }
        if (!append(a, last))
            return fail(kTooMany);
    }
    return result;
}
