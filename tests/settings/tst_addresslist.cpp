#include "AddressList.h"

#include <QTest>

namespace {

const QString kNoAddresses = QStringLiteral("Нет допустимых адресов");
const QString kAboveMax = QStringLiteral("Адрес не может быть больше 250");
const QString kNoAfterHyphen = QStringLiteral("Нет допустимого адреса после \"-\"");
const QString kNotAscending = QStringLiteral("Адрес после \"-\" должен быть больше");
const QString kBadCharacter = QStringLiteral("Допустимы символы \",\" и \"-\"");

AddressList Range(int first, int last, int times = 1)
{
    AddressList list;
    for (int t = 0; t < times; ++t) {
        for (int a = first; a <= last; ++a)
            list.append(static_cast<quint8>(a));
    }
    return list;
}

} // namespace

class TestAddressList : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void takeNumberToken_data();
    void takeNumberToken();
};

void TestAddressList::parse_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<AddressList>("expected");
    QTest::addColumn<QString>("error");

    QTest::newRow("hint example") << "1 3 6-11 18" << AddressList{1, 3, 6, 7, 8, 9, 10, 11, 18}
                                  << QString();
    QTest::newRow("comma") << "1,2" << AddressList{1, 2} << QString();
    QTest::newRow("comma blank") << "1, 2" << AddressList{1, 2} << QString();
    QTest::newRow("blank comma") << "1 ,2" << AddressList{1, 2} << QString();
    QTest::newRow("repeat after range") << "3-5,4" << AddressList{3, 4, 5, 4} << QString();
    QTest::newRow("second hyphen skipped") << "1-3-5" << AddressList{1, 2, 3, 5} << QString();
    QTest::newRow("letters after comma end the list") << "5,abc" << AddressList{5} << QString();
    QTest::newRow("letter before number skipped") << "5,x7" << AddressList{5, 7} << QString();
    QTest::newRow("letter after blank") << "12 x" << AddressList{} << kBadCharacter;
    QTest::newRow("semicolon") << "1;2" << AddressList{} << kBadCharacter;
    QTest::newRow("no digit") << "abc" << AddressList{} << kNoAddresses;
    QTest::newRow("blanks only") << "   " << AddressList{} << kNoAddresses;
    QTest::newRow("hyphen at end") << "5-" << AddressList{} << kNoAfterHyphen;
    QTest::newRow("descending range") << "7-5" << AddressList{} << kNotAscending;
    QTest::newRow("empty range") << "5-5" << AddressList{} << kNotAscending;
    QTest::newRow("251") << "251" << AddressList{} << kAboveMax;
    QTest::newRow("range end 251") << "5-251" << AddressList{} << kAboveMax;
    QTest::newRow("range start 251") << "251-252" << AddressList{} << kAboveMax;
    QTest::newRow("250") << "250" << AddressList{250} << QString();
    QTest::newRow("0") << "0" << AddressList{0} << QString();
    QTest::newRow("four digits") << "1234" << AddressList{123, 4} << QString();
    QTest::newRow("leading zero") << "0250" << AddressList{25, 0} << QString();
    QTest::newRow("leading blank") << " 12" << AddressList{12} << QString();
    QTest::newRow("empty") << "" << AddressList{} << QString();
    QTest::newRow("failure discards the list") << "1 2 3 x" << AddressList{} << kBadCharacter;

    // More than the old 200 entries: a whole bus is scanned, but no text grows the list
    // past its bound.
    QTest::newRow("whole bus") << "0-250" << Range(0, 250) << QString();
    QTest::newRow("whole bus four times")
        << "0-250 0-250 0-250 0-250" << Range(0, 250, 4) << QString();
    QTest::newRow("whole bus five times")
        << "0-250 0-250 0-250 0-250 0-250" << AddressList{}
        << QStringLiteral("Слишком много адресов (не более 1004)");
    QTest::newRow("many single addresses")
        << QString(QStringLiteral("7 ")).repeated(1005) << AddressList{}
        << QStringLiteral("Слишком много адресов (не более 1004)");
}

void TestAddressList::parse()
{
    QFETCH(QString, text);
    QFETCH(AddressList, expected);
    QFETCH(QString, error);

    const QString original = text;
    const AddressParseResult result = ParseAddressList(text);
    QCOMPARE(result.error, error);
    QCOMPARE(result.Ok(), error.isEmpty());
    QCOMPARE(result.addresses, expected);
    QCOMPARE(text, original);
}

void TestAddressList::takeNumberToken_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("taken");
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("rest");

    QTest::newRow("skips text before, blanks after") << "ab,-12   x" << true << 12 << "x";
    QTest::newRow("three digits at most") << "12345" << true << 123 << "45";
    QTest::newRow("no digit") << "-, x" << false << -1 << "";
    QTest::newRow("empty") << "" << false << -1 << "";
    QTest::newRow("hex pattern") << "0x1F" << true << 0 << "x1F";
}

void TestAddressList::takeNumberToken()
{
    QFETCH(QString, text);
    QFETCH(bool, taken);
    QFETCH(int, value);
    QFETCH(QString, rest);

    int got = -1;
    QCOMPARE(TakeNumberToken(text, got), taken);
    QCOMPARE(got, value);
    QCOMPARE(text, rest);
}

QTEST_APPLESS_MAIN(TestAddressList)
#include "tst_addresslist.moc"
