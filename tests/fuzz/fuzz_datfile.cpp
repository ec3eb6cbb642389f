// The .dat copy. The input is taken two ways:
//  - as the text of an archive file (after two bytes of key): its copy restores to
//    exactly that text, and any one bit changed in the scrambled bytes or the check
//    value makes the copy refused as damaged;
//  - as a file someone hands the viewer: it is refused as damaged or restores, and a
//    copy made again of what it restores to with its own key is the file itself.
#include "AnsiCodec.h"
#include "DatFile.h"
#include "FuzzCheck.h"

#include <QFile>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>

namespace {

QString FilePath()
{
    static QTemporaryDir dir;
    return dir.filePath(QStringLiteral("0719H0.dat"));
}

DatContent ReadBack(const QByteArray& bytes)
{
    QFile file(FilePath());
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        std::abort();
    file.close();
    return ReadDatFile(FilePath());
}

void CheckRestored(const DatContent& content, qsizetype size)
{
    FUZZ_CHECK(content.bytes.size() == size, QString::number(content.bytes.size()));
    FUZZ_CHECK(content.bytes.endsWith("    "), QString());
    FUZZ_CHECK(!content.text.endsWith(u' '), QString());
    FUZZ_CHECK(SplitTextLines(content.text).size() >= 4, Visible(content.text));
    const DatTable table = SplitDatText(content.text);
    FUZZ_CHECK(table.titleLines.size() == 3, QString());
    FUZZ_CHECK(table.rows.size() == SplitTextLines(content.text).size() - 3, QString());
    FUZZ_CHECK(table.fixedRows == (table.rows.size() > 1 ? 1 : 0), QString());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));

    if (input.size() >= 3) {
        const auto key = static_cast<quint16>(quint8(input[0]) << 8 | quint8(input[1]));
        const QByteArray text = input.mid(2);
        const QByteArray copy = MakeDatCopy(text, key);
        FUZZ_CHECK(copy.size() == text.size() + DatTrailerSize, QString());

        QByteArray restored = copy;
        FUZZ_CHECK(RestoreDatBytes(restored), QString());
        FUZZ_CHECK(restored == text + "    ", QString());

        // Only a text too short to be an archive file is refused.
        QString expected = DecodeAnsi(text);
        while (expected.endsWith(u' '))
            expected.chop(1);
        const bool archive = SplitTextLines(expected).size() >= 4;
        const DatContent content = ReadBack(copy);
        FUZZ_CHECK(content.status == (archive ? DatStatus::Ok : DatStatus::Damaged),
                   Visible(expected));
        if (archive) {
            FUZZ_CHECK(content.bytes == text + "    ", QString());
            FUZZ_CHECK(content.text == expected, Visible(content.text));
            CheckRestored(content, copy.size());
        }

        // CRC-16 finds every single-bit error: text and check value are covered.
        const qsizetype covered = copy.size() - 2;
        const qsizetype at = (quint8(input[2]) * 131 + input.size()) % covered;
        QByteArray changed = copy;
        changed[at] = static_cast<char>(changed[at] ^ (1 << (quint8(input[0]) % 8)));
        QByteArray kept = changed;
        FUZZ_CHECK(!RestoreDatBytes(changed), QStringLiteral("bit at %1").arg(at));
        FUZZ_CHECK(changed == kept, QString());
    }

    const DatContent content = ReadBack(input);
    if (content.status == DatStatus::Ok) {
        CheckRestored(content, input.size());
        const qsizetype n = input.size() - DatTrailerSize;
        const auto key = static_cast<quint16>(quint8(input[n + 2]) << 8 | quint8(input[n + 3]));
        FUZZ_CHECK(MakeDatCopy(content.bytes.first(n), key) == input, QString());
    } else {
        FUZZ_CHECK(content.status == DatStatus::Damaged, QString());
        QByteArray bytes = input;
        if (!RestoreDatBytes(bytes))
            FUZZ_CHECK(bytes == input, QString());
    }
    return 0;
}
