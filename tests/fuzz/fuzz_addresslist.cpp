// The address text a user types: any text either gives a list the bus can hold or a
// message, and the list written back as ranges reads as the same list.
#include "AddressList.h"
#include "FuzzCheck.h"

#include <cstddef>
#include <cstdint>

namespace {

QString ListText(const AddressList& list)
{
    QStringList parts;
    for (qsizetype i = 0; i < list.size();) {
        qsizetype j = i;
        while (j + 1 < list.size() && list.at(j + 1) == list.at(j) + 1)
            ++j;
        parts.append(j > i ? QStringLiteral("%1-%2").arg(list.at(i)).arg(list.at(j))
                           : QString::number(list.at(i)));
        i = j + 1;
    }
    return parts.join(u',');
}

QString NumbersText(const AddressList& list)
{
    QStringList parts;
    for (const quint8 a : list)
        parts.append(QString::number(a));
    return parts.join(u' ');
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString text =
        QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));

    // The token reader always makes progress, and a number has at most three digits.
    QString rest = text;
    int value = -1;
    while (!rest.isEmpty()) {
        const qsizetype before = rest.size();
        if (!TakeNumberToken(rest, value)) {
            FUZZ_CHECK(rest.isEmpty(), Visible(rest));
            break;
        }
        FUZZ_CHECK(value >= 0 && value <= 999, QString::number(value));
        FUZZ_CHECK(rest.size() < before, Visible(rest));
    }

    const AddressParseResult result = ParseAddressList(text);
    if (!result.Ok()) {
        FUZZ_CHECK(result.addresses.isEmpty(), result.error);
        return 0;
    }
    FUZZ_CHECK(result.addresses.size() <= MaxAddressCount,
               QString::number(result.addresses.size()));
    for (const quint8 a : result.addresses)
        FUZZ_CHECK(a <= MaxAddress, QString::number(a));

    for (const QString& again : {ListText(result.addresses), NumbersText(result.addresses)}) {
        const AddressParseResult back = ParseAddressList(again);
        FUZZ_CHECK(back.Ok() && back.addresses == result.addresses,
                   again + QStringLiteral(" -> ") + NumbersText(back.addresses) + back.error);
    }
    return 0;
}
