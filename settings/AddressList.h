#pragma once

#include <QList>
#include <QString>

// Bus addresses of one read-out, in the order the address text gives them;
// repeats stay and are read again.
using AddressList = QList<quint8>;

inline constexpr int MaxAddress = 250;
// Room for a whole bus scanned four times over (0-250 is 251 entries); a text that
// expands further is refused rather than growing the list without bound.
inline constexpr int MaxAddressCount = 1004;

// Removes a number of at most three digits from the front of text, skipping whatever
// stands before it and the blanks after it. False when text holds no further digit
// (value is then unchanged).
bool TakeNumberToken(QString& text, int& value);

struct AddressParseResult
{
    AddressList addresses;
    QString error; // empty on success
    bool Ok() const { return error.isEmpty(); }
};

// "1 3 6-11 18" gives 1, 3, 6..11, 18. The text is not changed.
AddressParseResult ParseAddressList(QString text);
