#include "AnsiCodec.h"
#include "TextFormat.h"

#include <QLocale>
#include <QTest>

#include <limits>

class TestTextFormat : public QObject
{
    Q_OBJECT

private slots:
    void init() { QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia)); }
    void cleanupTestCase() { QLocale::setDefault(QLocale::c()); }

    void numberCell_data();
    void numberCell();
    void numberCellFollowsLocale();
    void flags_data();
    void flags();
    void roundHalfEven_data();
    void roundHalfEven();
    void dates();
    void timeSeparatorFollowsLocale();
    void ansiEncode_data();
    void ansiEncode();
    void ansiRoundTrip();
    void meterText_data();
    void meterText();
};

void TestTextFormat::numberCell_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("expected");

    QTest::newRow("float 12.3") << double(12.3f) << "12,3000001907349";
    QTest::newRow("integer") << 100.0 << "100";
    QTest::newRow("zero") << 0.0 << "0";
    QTest::newRow("negative zero") << -0.0 << "0";
    QTest::newRow("negative") << -2.5 << "-2,5";
    QTest::newRow("third") << 1.0 / 3 << "0,333333333333333";
    QTest::newRow("two thirds rounds up") << 2.0 / 3 << "0,666666666666667";
    QTest::newRow("1E-6") << 1e-6 << "1E-6";
    QTest::newRow("negative small") << -1.5e-7 << "-1,5E-7";
    QTest::newRow("0.00001 stays fixed") << 0.00001 << "0,00001";
    QTest::newRow("just below 0.00001") << 0.0000099 << "9,9E-6";
    QTest::newRow("-0.00001") << -0.00001 << "-0,00001";
    QTest::newRow("15 integer digits") << 123456789012345.0 << "123456789012345";
    QTest::newRow("16 integer digits") << 1234567890123456.0 << "1,23456789012346E15";
    QTest::newRow("1E15") << 1e15 << "1E15";
    QTest::newRow("1E16") << 1e16 << "1E16";
    QTest::newRow("-1E16") << -1e16 << "-1E16";
    QTest::newRow("rounds up to 16 digits") << 999999999999999.9 << "1E15";
    QTest::newRow("large with fraction") << 1.5e20 << "1,5E20";
    QTest::newRow("fraction digits cut at 15") << 1234.56789012345678 << "1234,56789012346";
}

void TestTextFormat::numberCell()
{
    QFETCH(double, value);
    QFETCH(QString, expected);
    QCOMPARE(FormatNumberCell(value), expected);
}

void TestTextFormat::numberCellFollowsLocale()
{
    QLocale::setDefault(QLocale::c());
    QCOMPARE(FormatNumberCell(12.5), QStringLiteral("12.5"));
    QCOMPARE(FormatNumberCell(-1.25e-8), QStringLiteral("-1.25E-8"));
}

void TestTextFormat::flags_data()
{
    QTest::addColumn<qint64>("value");
    QTest::addColumn<QString>("expected");
    QTest::newRow("19") << qint64(19) << "00000013";
    QTest::newRow("0") << qint64(0) << "00000000";
    QTest::newRow("upper case") << qint64(0x1ABCDEF0) << "1ABCDEF0";
    QTest::newRow("more than 8 digits") << qint64(0x123456789) << "123456789";
}

void TestTextFormat::flags()
{
    QFETCH(qint64, value);
    QFETCH(QString, expected);
    QCOMPARE(FormatFlagsHex(value), expected);
}

void TestTextFormat::roundHalfEven_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<qint64>("expected");
    QTest::newRow("2.5") << 2.5 << qint64(2);
    QTest::newRow("3.5") << 3.5 << qint64(4);
    QTest::newRow("-2.5") << -2.5 << qint64(-2);
    QTest::newRow("2.51") << 2.51 << qint64(3);
    QTest::newRow("nan") << std::numeric_limits<double>::quiet_NaN() << qint64(0);
    QTest::newRow("huge") << 1e300 << std::numeric_limits<qint64>::max();
}

void TestTextFormat::roundHalfEven()
{
    QFETCH(double, value);
    QFETCH(qint64, expected);
    QCOMPARE(RoundHalfEven(value), expected);
}

void TestTextFormat::dates()
{
    const QDateTime t(QDate(2019, 7, 9), QTime(4, 3, 2, 17));
    QCOMPARE(FormatDate(t.date()), QStringLiteral("09.07.2019"));
    QCOMPARE(FormatDateTimeMinutes(t), QStringLiteral("09.07.2019 04:03"));
    QCOMPARE(FormatDateTimeSeconds(t), QStringLiteral("09.07.2019 04:03:02"));
    QCOMPARE(FormatIsoDate(t.date()), QStringLiteral("2019-07-09"));
    QCOMPARE(FormatMonthDay(t.date()), QStringLiteral("0709"));
    QCOMPARE(FormatStampTime(t.time()), QStringLiteral("04:03:02.017"));
    QCOMPARE(FormatStampTime(QTime(23, 59, 59, 999)), QStringLiteral("23:59:59.999"));
    QCOMPARE(FormatDateTimeSeconds(ZeroDateTime()), QStringLiteral("30.12.1899 00:00:00"));
}

void TestTextFormat::timeSeparatorFollowsLocale()
{
    // Finnish writes hours and minutes with a point.
    QLocale::setDefault(QLocale(QLocale::Finnish, QLocale::Finland));
    QCOMPARE(TimeSeparator(), QChar(u'.'));
    QCOMPARE(FormatDateTimeSeconds(QDateTime(QDate(2019, 7, 19), QTime(14, 3, 22))),
             QStringLiteral("19.07.2019 14.03.22"));
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    QCOMPARE(TimeSeparator(), QChar(u':'));
    QCOMPARE(DecimalMark(), QChar(u'.'));
}

void TestTextFormat::ansiEncode_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("ascii") << "Data;1" << QByteArray("Data;1");
    QTest::newRow("cyrillic") << "Прибор: ОРВЕК-307"
                              << QByteArray("\xCF\xF0\xE8\xE1\xEE\xF0: \xCE\xD0\xC2\xC5\xCA-307");
    QTest::newRow("yo, number sign, euro") << "Ёё№€" << QByteArray("\xA8\xB8\xB9\x88");
    QTest::newRow("not in the code page") << "a中b" << QByteArray("a?b");
    QTest::newRow("outside the basic plane, one mark") << "x\U0001F600y" << QByteArray("x?y");
}

void TestTextFormat::ansiEncode()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    QCOMPARE(EncodeAnsi(text), bytes);
    QCOMPARE(AnsiLine(text), bytes + "\r\n");
}

void TestTextFormat::ansiRoundTrip()
{
    QByteArray all;
    for (int b = 0; b < 256; ++b)
        all.append(static_cast<char>(b));
    const QString text = DecodeAnsi(all);
    QCOMPARE(text.size(), 256);
    QCOMPARE(text.at(0xC0), QChar(u'А'));
    QCOMPARE(text.at(0xFF), QChar(u'я'));
    QCOMPARE(EncodeAnsi(text), all);
}

void TestTextFormat::meterText_data()
{
    QTest::addColumn<QString>("raw");
    QTest::addColumn<QString>("clean");

    QTest::newRow("plain") << "ОРВЕК-307"
                           << "ОРВЕК-307";
    QTest::newRow("';' would add a column") << "V;1;"
                                            << "V,1,";
    QTest::newRow("CR LF would split a line") << "a\r\nb"
                                              << "a  b";
    QTest::newRow("zero-padded serial number") << QString::fromUtf16(u"1234\0\0\0\0", 8) << "1234";
    QTest::newRow("zero in the middle ends it") << QString::fromUtf16(u"12\0"
                                                                      u"34",
                                                                      5)
                                                << "12";
    QTest::newRow("tab, bell, DEL") << "a\tb\x07"
                                       "c\x7f"
                                    << "a b c ";
    QTest::newRow("control characters only") << "\x01\x02"
                                             << "  ";
    QTest::newRow("beyond ASCII kept")
        << QString::fromUtf16(u"\u00C0\u00FF\u0080") << QString::fromUtf16(u"\u00C0\u00FF\u0080");
    QTest::newRow("empty") << ""
                           << "";
}

void TestTextFormat::meterText()
{
    QFETCH(QString, raw);
    QFETCH(QString, clean);
    QCOMPARE(CleanMeterText(raw), clean);
}

QTEST_APPLESS_MAIN(TestTextFormat)
#include "tst_textformat.moc"
