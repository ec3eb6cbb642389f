#include "ProgramEnv.h"

#include <QCoreApplication>
#include <QLocale>
#include <QTest>

Q_DECLARE_METATYPE(SerialPortEntry)

class TestProgramEnv : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { QLocale::setDefault(QLocale::c()); }

    void textToFloat_data();
    void textToFloat();
    void versionText();
    void programDir();
    void portNames_data();
    void portNames();
    void listComPortsReplacesTheList();
};

void TestProgramEnv::textToFloat_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<double>("value");

    for (const char* locale : {"ru_RU", "en_US", "de_DE"}) {
        auto row = [locale](const char* name) -> QTestData& {
            return QTest::addRow("%s %s", locale, name);
        };
        row("point") << locale << "12.5" << true << 12.5;
        row("comma") << locale << "12,5" << true << 12.5;
        row("negative") << locale << "-0,25" << true << -0.25;
        row("integer") << locale << "42" << true << 42.0;
        row("exponent") << locale << "1.5E3" << true << 1500.0;
        row("two marks") << locale << "1,234.5" << false << -7.0;
        row("two commas") << locale << "1,2,3" << false << -7.0;
        row("letters") << locale << "abc" << false << -7.0;
        row("empty") << locale << "" << false << -7.0;
        row("infinity") << locale << "inf" << false << -7.0;
    }
}

void TestProgramEnv::textToFloat()
{
    QFETCH(QString, locale);
    QFETCH(QString, text);
    QFETCH(bool, ok);
    QFETCH(double, value);

    QLocale::setDefault(QLocale(locale));
    double got = -7.0; // left alone on failure
    QCOMPARE(TextToFloat(text, got), ok);
    QCOMPARE(got, value);
}

void TestProgramEnv::versionText()
{
    QCOMPARE(VersionText(), QStringLiteral("Версия: ") + QStringLiteral(ORVEK_EXPECTED_VERSION));
}

void TestProgramEnv::programDir()
{
    QCOMPARE(ProgramDir(), QCoreApplication::applicationDirPath() + u'/');
    QCOMPARE(ProgramDir(QStringLiteral("/tmp/orvek-home")), QStringLiteral("/tmp/orvek-home/"));
    QCOMPARE(ProgramDir(QStringLiteral("/tmp/orvek-home/")), QStringLiteral("/tmp/orvek-home/"));
}

void TestProgramEnv::portNames_data()
{
    QTest::addColumn<QList<SerialPortEntry>>("ports");
    QTest::addColumn<QStringList>("names");

    QTest::newRow("none") << QList<SerialPortEntry>{} << QStringList{};
    QTest::newRow("system order kept")
        << QList<SerialPortEntry>{{"COM7", "USB Serial Port", "\\\\.\\COM7"},
                                  {"COM10", "", "\\\\.\\COM10"},
                                  {"COM2", "Communications Port", "\\\\.\\COM2"}}
        << QStringList{"COM7", "COM10", "COM2"};
    QTest::newRow("bluetooth modems left out")
        << QList<SerialPortEntry>{{"COM3", "", "\\Device\\BthModem0"},
                                  {"COM4", "Standard Serial over Bluetooth link", ""},
                                  {"rfcomm0", "", "/dev/rfcomm0"},
                                  {"ttyUSB0", "CP2102 USB to UART", "/dev/ttyUSB0"}}
        << QStringList{"ttyUSB0"};
}

void TestProgramEnv::portNames()
{
    QFETCH(QList<SerialPortEntry>, ports);
    QFETCH(QStringList, names);
    QCOMPARE(SerialPortNames(ports), names);
}

void TestProgramEnv::listComPortsReplacesTheList()
{
    QStringList list{QStringLiteral("left over from before")};
    ListComPorts(list);
    QVERIFY(!list.contains(QStringLiteral("left over from before")));
}

QTEST_GUILESS_MAIN(TestProgramEnv)
#include "tst_programenv.moc"
