#include "AnsiCodec.h"
#include "IniFile.h"
#include "ProgramSettings.h"
#include "TestFiles.h"

#include <QDir>
#include <QFile>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTest>

#include <climits>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/resource.h>
#endif

namespace {

QByteArray Ansi(const QString& text)
{
    return EncodeAnsi(text);
}

QByteArray Utf16Le(const QString& text)
{
    QStringEncoder encoder(QStringConverter::Utf16LE);
    return QByteArray("\xFF\xFE", 2) + QByteArray(encoder(text));
}

bool WriteBytes(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// Every field, so that a mismatch shows which one.
QString Describe(const ReadoutSettings& s)
{
    return QStringList{s.comPort,
                       s.comSpeed,
                       QString::number(s.useTcp),
                       QString::number(s.modem),
                       QString::number(s.echo),
                       QString::number(s.family),
                       s.tcpHost,
                       s.addressText,
                       s.dialString,
                       QString::number(s.tcpPort),
                       QString::number(s.archiveHourly),
                       QString::number(s.archiveDaily),
                       QString::number(s.archiveMonthly),
                       QString::number(s.archiveIntegral),
                       QString::number(s.archiveEmergency),
                       QString::number(s.eventLog),
                       QString::number(s.protectedLog),
                       QString::number(s.showLog),
                       s.startDate.toString(Qt::ISODate)}
        .join(u'|');
}

ReadoutSettings Filled()
{
    ReadoutSettings s;
    s.comPort = QStringLiteral("COM3");
    s.comSpeed = QStringLiteral("9600");
    s.useTcp = true;
    s.modem = false;
    s.echo = true;
    s.family = 2;
    s.tcpHost = QStringLiteral("192.168.0.7");
    s.addressText = QStringLiteral("1 3 6-11");
    s.dialString = QStringLiteral("ATDT 555");
    s.tcpPort = 4002;
    s.archiveHourly = true;
    s.archiveDaily = false;
    s.archiveMonthly = true;
    s.archiveIntegral = false;
    s.archiveEmergency = true;
    s.eventLog = false;
    s.protectedLog = true;
    return s;
}

struct Folder
{
    QTemporaryDir dir;
    QString ini = dir.filePath(QStringLiteral("OrvekData.ini"));
};

} // namespace

class TestIniFile : public QObject
{
    Q_OBJECT

private slots:
    void read_data();
    void read();
    void readInteger_data();
    void readInteger();
    void write_data();
    void write();
    void refusedNames_data();
    void refusedNames();
    void sectionNamesAndErase();
    void snapshotIsOneReading();
    void unicodeFileStaysUnicode();
    void failedWriteLeavesFile();
    void readOnlyFolder();

    void generalSettings();
    void generalOutOfRange_data();
    void generalOutOfRange();
    void configurationNames();
    void namesThatCannotBeReal_data();
    void namesThatCannotBeReal();
    void manySections();
    void nameDifferingInCaseKeepsOneSection();
    void missingKeysReadDefaults();
    void familyOutsideTheList_data();
    void familyOutsideTheList();
    void configurationRoundTrip();
};

void TestIniFile::read_data()
{
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("expected");

    QTest::newRow("key in other case") << "general"
                                       << "SHOWLOG"
                                       << "1";
    QTest::newRow("blanks around names and value") << " General "
                                                   << " padded "
                                                   << "two  words";
    QTest::newRow("double quotes") << "General"
                                   << "Quoted"
                                   << "  spaced  ";
    QTest::newRow("single quotes") << "General"
                                   << "Single"
                                   << "x";
    QTest::newRow("quotes that do not match") << "General"
                                              << "Mixed"
                                              << "\"x'";
    QTest::newRow("one quote alone") << "General"
                                     << "Lone"
                                     << "\"";
    QTest::newRow("first of duplicated keys") << "General"
                                              << "Dup"
                                              << "first";
    QTest::newRow("empty value") << "General"
                                 << "Empty"
                                 << "";
    QTest::newRow("comment line") << "General"
                                  << "Commented"
                                  << "-";
    QTest::newRow("line without =") << "General"
                                    << "NoEquals"
                                    << "-";
    QTest::newRow("line before any section") << "General"
                                             << "orphan"
                                             << "-";
    QTest::newRow("Cyrillic section in other case") << "КОТЕЛЬНАЯ №1"
                                                    << "cbcom"
                                                    << "COM3";
    QTest::newRow("key only in a later duplicate section") << "General"
                                                           << "Hidden"
                                                           << "-";
    QTest::newRow("missing section") << "Нет такой"
                                     << "cbCOM"
                                     << "-";
}

void TestIniFile::read()
{
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, expected);

    Folder folder;
    QVERIFY(WriteBytes(folder.ini, Ansi(QStringLiteral("; k=commented\r\n"
                                                       "orphan=before any section\r\n"
                                                       "[General]\r\n"
                                                       "ShowLog = 1\r\n"
                                                       "  Padded \t=   two  words  \r\n"
                                                       "Quoted=\"  spaced  \"\n"
                                                       "Single='x'\r\n"
                                                       "Mixed=\"x'\r\n"
                                                       "Lone=\"\r\n"
                                                       "Dup=first\r\n"
                                                       "dup=second\r\n"
                                                       ";Commented=1\r\n"
                                                       "Empty=\r\n"
                                                       "NoEquals\r\n"
                                                       "[ Котельная №1 ]\r\n"
                                                       "cbCOM=COM3\r\n"
                                                       "[general]\r\n"
                                                       "Hidden=2\r\n"))));
    const IniFile ini(folder.ini);
    QCOMPARE(ini.ReadString(section, key, QStringLiteral("-")), expected);
    // One reading for many sections finds them as the file does.
    QCOMPARE(ini.Snapshot().Section(section).ReadString(key, QStringLiteral("-")), expected);
}

void TestIniFile::readInteger_data()
{
    QTest::addColumn<QString>("value"); // null: no such key
    QTest::addColumn<int>("expected");

    QTest::newRow("number") << "42" << 42;
    QTest::newRow("minus") << "-7" << -7;
    QTest::newRow("plus") << "+3" << 3;
    QTest::newRow("blanks and leading zeros") << "  007  " << 7;
    QTest::newRow("smallest int") << "-2147483648" << INT_MIN;
    QTest::newRow("beyond int") << "2147483648" << -99;
    QTest::newRow("trailing letters") << "12abc" << -99;
    QTest::newRow("fraction") << "1.5" << -99;
    QTest::newRow("hexadecimal") << "0x10" << -99;
    QTest::newRow("sign alone") << "-" << -99;
    QTest::newRow("empty") << "" << -99;
    QTest::newRow("words") << "abc" << -99;
    QTest::newRow("missing key") << QString() << -99;
}

void TestIniFile::readInteger()
{
    QFETCH(QString, value);
    QFETCH(int, expected);

    Folder folder;
    const QString line = value.isNull() ? QStringLiteral("other=1") : QStringLiteral("k=") + value;
    QVERIFY(
        WriteBytes(folder.ini, Ansi(QStringLiteral("[S]\r\n") + line + QStringLiteral("\r\n"))));
    QCOMPARE(IniFile(folder.ini).ReadInteger(QStringLiteral("s"), QStringLiteral("K"), -99),
             expected);
}

void TestIniFile::write_data()
{
    QTest::addColumn<QByteArray>("before"); // null: no file yet
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QByteArray>("after");

    QTest::newRow("new file") << QByteArray() << "General"
                              << "ShowLog"
                              << "1" << QByteArray("[General]\r\nShowLog=1\r\n");
    QTest::newRow("new file, Windows-1251 bytes")
        << QByteArray() << "Котельная"
        << "cbCOM"
        << "Порт"
        << QByteArray("[\xCA\xEE\xF2\xE5\xEB\xFC\xED\xE0\xFF]\r\ncbCOM=\xCF\xEE\xF0\xF2\r\n");

    // Every byte above 7Fh in a comment, line ends of both kinds, an indented comment:
    // only the key's text may change.
    QByteArray highBytes;
    for (int b = 0x80; b <= 0xFF; ++b)
        highBytes.append(static_cast<char>(b));
    const QByteArray head = "; " + highBytes + "\n[General]\r\n";
    const QByteArray tail = "\n  ; note \r\nComPort=COM1\r\n\r\n[Other]\nShowLog=5\n";
    QTest::newRow("value replaced in place") << head + "  ShowLog = 0" + tail << "GENERAL"
                                             << "showlog"
                                             << "1" << head + "ShowLog=1" + tail;

    QTest::newRow("Cyrillic section in other case")
        << Ansi(QStringLiteral("[Котельная]\r\ncbCOM=COM1\r\n")) << "КОТЕЛЬНАЯ"
        << "CBcom"
        << "COM2" << Ansi(QStringLiteral("[Котельная]\r\ncbCOM=COM2\r\n"));
    QTest::newRow("first of duplicated sections and keys")
        << QByteArray("[A]\r\nk=1\r\nk=2\r\n[a]\r\nk=3\r\n") << "a"
        << "K"
        << "9" << QByteArray("[A]\r\nk=9\r\nk=2\r\n[a]\r\nk=3\r\n");
    QTest::newRow("key before any section is not the section's")
        << QByteArray("k=1\r\n[A]\r\n") << "A"
        << "k"
        << "2" << QByteArray("k=1\r\n[A]\r\nk=2\r\n");
    QTest::newRow("new key before the blank lines ending its section")
        << QByteArray("[A]\r\nx=1\r\n; c\r\n\r\n \r\n[B]\r\ny=2\r\n") << "A"
        << "z"
        << "3" << QByteArray("[A]\r\nx=1\r\n; c\r\nz=3\r\n\r\n \r\n[B]\r\ny=2\r\n");
    QTest::newRow("new key after a last line without its end")
        << QByteArray("[A]\nx=1") << "A"
        << "z"
        << "3" << QByteArray("[A]\nx=1\r\nz=3\r\n");
    QTest::newRow("new key under a lone header") << QByteArray("[A]") << "A"
                                                 << "z"
                                                 << "3" << QByteArray("[A]\r\nz=3\r\n");
    QTest::newRow("new section after one empty line")
        << QByteArray("[A]\r\nx=1\r\n") << "B"
        << "y"
        << "2" << QByteArray("[A]\r\nx=1\r\n\r\n[B]\r\ny=2\r\n");
    QTest::newRow("new section after the empty line already there")
        << QByteArray("[A]\r\nx=1\r\n\r\n") << "B"
        << "y"
        << "2" << QByteArray("[A]\r\nx=1\r\n\r\n[B]\r\ny=2\r\n");
    QTest::newRow("new section after a last line without its end")
        << QByteArray("[A]\nx=1") << "B"
        << "y"
        << "2" << QByteArray("[A]\nx=1\r\n\r\n[B]\r\ny=2\r\n");
    QTest::newRow("new section in an empty file") << QByteArray("") << "B"
                                                  << "y"
                                                  << "2" << QByteArray("[B]\r\ny=2\r\n");
    QTest::newRow("value cut at its first line break")
        << QByteArray() << "A"
        << "k"
        << "COM3\r\n[Evil]\nx=1" << QByteArray("[A]\r\nk=COM3\r\n");
    QTest::newRow("names written without their blanks") << QByteArray() << "  A  "
                                                        << " k\t"
                                                        << " v " << QByteArray("[A]\r\nk= v \r\n");
}

void TestIniFile::write()
{
    QFETCH(QByteArray, before);
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QByteArray, after);

    Folder folder;
    if (!before.isNull())
        QVERIFY(WriteBytes(folder.ini, before));
    IniFile ini(folder.ini);
    QVERIFY(ini.WriteString(section, key, value));
    QCOMPARE(ReadBytes(folder.ini), after);
}

void TestIniFile::refusedNames_data()
{
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");

    QTest::newRow("empty section") << ""
                                   << "k";
    QTest::newRow("blank section") << " \t"
                                   << "k";
    QTest::newRow("line break in section") << "A\r\n[B]"
                                           << "k";
    QTest::newRow("empty key") << "A"
                               << "";
    QTest::newRow("= in key") << "A"
                              << "a=b";
    QTest::newRow("key read as a header") << "A"
                                          << "[B]";
    QTest::newRow("key read as a comment") << "A"
                                           << ";k";
    QTest::newRow("line break in key") << "A"
                                       << "k\nj";
}

void TestIniFile::refusedNames()
{
    QFETCH(QString, section);
    QFETCH(QString, key);

    Folder folder;
    const QByteArray before("[A]\r\nk=1\r\n");
    QVERIFY(WriteBytes(folder.ini, before));
    IniFile ini(folder.ini);
    QVERIFY(!ini.WriteString(section, key, QStringLiteral("2")));
    // A refused name among good ones: nothing of the call is written.
    QVERIFY(!ini.WriteStrings(
        section, {{QStringLiteral("k"), QStringLiteral("3")}, {key, QStringLiteral("3")}}));
    QCOMPARE(ReadBytes(folder.ini), before);
}

void TestIniFile::sectionNamesAndErase()
{
    Folder folder;
    IniFile ini(folder.ini);
    QCOMPARE(ini.SectionNames(), QStringList());
    QVERIFY(ini.EraseSection(QStringLiteral("One")));
    QVERIFY(!QFile::exists(folder.ini));

    QVERIFY(WriteBytes(folder.ini, Ansi(QStringLiteral("; head\r\n"
                                                       "[One]\r\n"
                                                       "a=1\r\n"
                                                       "\r\n"
                                                       "[Два]\r\n"
                                                       "b=2\r\n"
                                                       "; about three\r\n"
                                                       "\r\n"
                                                       "[Three]\r\n"
                                                       "c=3\r\n"
                                                       "[два]\r\n"
                                                       "d=4\r\n"))));
    QCOMPARE(ini.SectionNames(),
             (QStringList{QStringLiteral("One"), QStringLiteral("Два"), QStringLiteral("Three")}));

    const QByteArray before = ReadBytes(folder.ini);
    QVERIFY(ini.EraseSection(QStringLiteral("Missing")));
    QCOMPARE(ReadBytes(folder.ini), before);

    QVERIFY(ini.EraseSection(QStringLiteral(" ДВА ")));
    QCOMPARE(ReadBytes(folder.ini), QByteArray("; head\r\n[One]\r\na=1\r\n\r\n[Three]\r\nc=3\r\n"));
    QCOMPARE(ini.SectionNames(), (QStringList{QStringLiteral("One"), QStringLiteral("Three")}));
}

void TestIniFile::snapshotIsOneReading()
{
    Folder folder;
    const QByteArray text = Ansi(QStringLiteral("[B]\r\nk=1\r\n[a]\r\nk=2\r\n[ b ]\r\nk=3\r\n"));
    QVERIFY(WriteBytes(folder.ini, text));
    const IniFile ini(folder.ini);
    const IniSnapshot snapshot = ini.Snapshot();
    QCOMPARE(snapshot.Path(), folder.ini);
    QCOMPARE(snapshot.SectionNames(), ini.SectionNames());
    QCOMPARE(snapshot.SectionNames(), (QStringList{QStringLiteral("B"), QStringLiteral("a")}));

    // What the file holds later is not in it.
    QVERIFY(WriteBytes(folder.ini, "[A]\r\nk=9\r\n"));
    QCOMPARE(snapshot.Section(QStringLiteral("A")).ReadString(QStringLiteral("k")),
             QStringLiteral("2"));
    QCOMPARE(snapshot.Section(QStringLiteral("b")).ReadString(QStringLiteral("k")),
             QStringLiteral("1"));
    QVERIFY(QFile::remove(folder.ini));
    QCOMPARE(snapshot.SectionNames().size(), 2);
    QCOMPARE(ini.Snapshot().SectionNames(), QStringList());
    QCOMPARE(ini.Snapshot().Section(QStringLiteral("A")).ReadString(QStringLiteral("k"), "-"),
             QStringLiteral("-"));
}

void TestIniFile::unicodeFileStaysUnicode()
{
    Folder folder;
    QVERIFY(
        WriteBytes(folder.ini, Utf16Le(QStringLiteral("[Котельная]\r\ncbCOM=COM1\r\n; Ω\r\n"))));
    IniFile ini(folder.ini);
    QCOMPARE(ini.SectionNames(), QStringList{QStringLiteral("Котельная")});
    QCOMPARE(ini.ReadString(QStringLiteral("котельная"), QStringLiteral("cbCOM")),
             QStringLiteral("COM1"));

    // Characters beyond Windows-1251 survive in a Unicode file.
    QVERIFY(ini.WriteStrings(QStringLiteral("Котельная"),
                             {{QStringLiteral("cbCOM"), QStringLiteral("Порт Ω")},
                              {QStringLiteral("edModem"), QStringLiteral("中")}}));
    QCOMPARE(ReadBytes(folder.ini),
             Utf16Le(QStringLiteral("[Котельная]\r\ncbCOM=Порт Ω\r\n; Ω\r\nedModem=中\r\n")));
    QCOMPARE(ini.ReadString(QStringLiteral("Котельная"), QStringLiteral("cbCOM")),
             QStringLiteral("Порт Ω"));
}

void TestIniFile::failedWriteLeavesFile()
{
    Folder folder;

    // A folder that cannot exist: its name is taken by a file.
    const QString blocker = folder.dir.filePath(QStringLiteral("blocker"));
    QVERIFY(WriteBytes(blocker, "in the way"));
    IniFile nowhere(blocker + QStringLiteral("/OrvekData.ini"));
    QVERIFY(!nowhere.WriteString(QStringLiteral("General"), QStringLiteral("ShowLog"),
                                 QStringLiteral("1")));
    QCOMPARE(ReadBytes(blocker), QByteArray("in the way"));

#ifdef Q_OS_UNIX
    // A write that stops half way, as on a full disk: the file keeps its old bytes and
    // no partial copy is left beside it.
    const QByteArray before("[General]\r\nShowLog=0\r\n");
    QVERIFY(WriteBytes(folder.ini, before));
    IniFile ini(folder.ini);
    rlimit saved{};
    QVERIFY(getrlimit(RLIMIT_FSIZE, &saved) == 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    // Room for "[General]\r\nShowLog=1" only: a cut copy put in place would show.
    small.rlim_cur = static_cast<rlim_t>(before.size() - 2);
    const bool limited = setrlimit(RLIMIT_FSIZE, &small) == 0;
    const bool written =
        ini.WriteString(QStringLiteral("General"), QStringLiteral("ShowLog"), QStringLiteral("10"));
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    QVERIFY(limited);
    QVERIFY(!written);
    QCOMPARE(ReadBytes(folder.ini), before);
    QCOMPARE(QDir(folder.dir.path()).entryList(QDir::Files | QDir::Hidden, QDir::Name),
             (QStringList{QStringLiteral("OrvekData.ini"), QStringLiteral("blocker")}));
#endif
}

void TestIniFile::readOnlyFolder()
{
    Folder folder;
    const QString locked = folder.dir.filePath(QStringLiteral("locked"));
    QVERIFY(QDir().mkdir(locked));
    const QString path = locked + QStringLiteral("/OrvekData.ini");
    const QString readOnlyPath = locked + QStringLiteral("/ReadOnly.ini");
    QVERIFY(WriteBytes(path, "[A]\r\nk=1\r\n"));
    QVERIFY(WriteBytes(readOnlyPath, "[A]\r\nk=1\r\n"));
    QVERIFY(QFile::setPermissions(readOnlyPath, QFile::ReadOwner | QFile::ReadUser));
    const auto readable = QFile::ReadOwner | QFile::ExeOwner | QFile::ReadUser | QFile::ExeUser;
    QVERIFY(QFile::setPermissions(locked, readable));
    const bool enforced = !WriteBytes(locked + QStringLiteral("/probe"), "x");

    IniFile missing(locked + QStringLiteral("/Missing.ini"));
    const bool createdMissing =
        missing.WriteString(QStringLiteral("A"), QStringLiteral("k"), QStringLiteral("2"));
    IniFile readOnly(readOnlyPath);
    const bool wroteReadOnly =
        readOnly.WriteString(QStringLiteral("A"), QStringLiteral("k"), QStringLiteral("2"));
    // The file itself is writable: it is written in place.
    IniFile writable(path);
    const bool wroteWritable =
        writable.WriteString(QStringLiteral("A"), QStringLiteral("k"), QStringLiteral("2"));
    QFile::setPermissions(locked, readable | QFile::WriteOwner | QFile::WriteUser);
    if (!enforced)
        QSKIP("file permissions are not enforced for this user");

    QVERIFY(!createdMissing);
    QVERIFY(!QFile::exists(locked + QStringLiteral("/Missing.ini")));
    QVERIFY(!wroteReadOnly);
    QCOMPARE(ReadBytes(readOnlyPath), QByteArray("[A]\r\nk=1\r\n"));
    QVERIFY(wroteWritable);
    QCOMPARE(ReadBytes(path), QByteArray("[A]\r\nk=2\r\n"));
}

void TestIniFile::generalSettings()
{
    Folder folder;
    IniFile ini(IniPath(folder.dir.path() + u'/'));
    QCOMPARE(ini.Path(), folder.ini);

    const GeneralSettings first = ReadGeneralSettings(ini);
    QCOMPARE(first.showLog, 0);
    QCOMPARE(first.globalTimeOut, 1200);
    QCOMPARE(first.localTimeOut, 50);
    QCOMPARE(first.globalTry, 5);
    QCOMPARE(first.comPort, QString());
    QCOMPARE(first.comSpeed, QStringLiteral("19200"));
    QCOMPARE(first.clockDriftLimit, 300);
    QCOMPARE(first.sendPause, 100);
    QCOMPARE(first.replyPause, -1); // the line's own: 50 ms, 250 ms with M-Bus

    QVERIFY(WriteGeneralSettings(ini, first));
    QCOMPARE(ReadBytes(folder.ini), QByteArray("[General]\r\n"
                                               "ShowLog=0\r\n"
                                               "GlobalTimeOut=1200\r\n"
                                               "LocalTimeOut=50\r\n"
                                               "GlobalTry=5\r\n"
                                               "ComPort=\r\n"
                                               "ComSpeed=19200\r\n"));

    GeneralSettings changed;
    changed.showLog = 1;
    changed.globalTimeOut = 3000;
    changed.localTimeOut = 80;
    changed.globalTry = 2;
    changed.comPort = QStringLiteral("ttyUSB0");
    changed.comSpeed = QStringLiteral("1200");
    QVERIFY(WriteGeneralSettings(ini, changed));
    QVERIFY(ReadGeneralSettings(ini) == changed);
    QCOMPARE(ini.SectionNames(), QStringList{GeneralSection});

    // The keys only the file sets are read, and writing [General] leaves them alone.
    QVERIFY(ini.WriteStrings(GeneralSection,
                             {{QStringLiteral("SendPause"), QStringLiteral("0")},
                              {QStringLiteral("ReplyPause"), QStringLiteral("5")},
                              {QStringLiteral("ClockDriftLimit"), QStringLiteral("60")}}));
    QVERIFY(WriteGeneralSettings(ini, changed));
    const GeneralSettings tuned = ReadGeneralSettings(ini);
    QCOMPARE(tuned.sendPause, 0);
    QCOMPARE(tuned.replyPause, 5);
    QCOMPARE(tuned.clockDriftLimit, 60);
}

void TestIniFile::generalOutOfRange_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("key");
    QTest::addColumn<int>("expected");
    QTest::addColumn<QString>("warning"); // after the file's name; empty: none

    QTest::newRow("negative time-out")
        << "GlobalTimeOut=-5"
        << "GlobalTimeOut" << 1200
        << ", раздел [General]: GlobalTimeOut=-5 вне пределов 1..600000, взято значение по "
           "умолчанию 1200";
    QTest::newRow("time-out in range") << "GlobalTimeOut=600000"
                                       << "GlobalTimeOut" << 600000 << "";
    QTest::newRow("time-out of hours") << "GlobalTimeOut=3600000"
                                       << "GlobalTimeOut" << 1200 << "GlobalTimeOut=3600000";
    QTest::newRow("beyond any int")
        << "GlobalTimeOut=123456789012345678901234567890"
        << "GlobalTimeOut" << 1200 << "GlobalTimeOut=12345678901234567890... вне пределов";
    QTest::newRow("no number: the default, as ever") << "GlobalTimeOut=abc"
                                                     << "GlobalTimeOut" << 1200 << "";
    QTest::newRow("silence of 0") << "LocalTimeOut=0"
                                  << "LocalTimeOut" << 50 << "LocalTimeOut=0";
    QTest::newRow("no try") << "GlobalTry=0"
                            << "GlobalTry" << 5 << "GlobalTry=0";
    QTest::newRow("a thousand tries") << "GlobalTry=1000"
                                      << "GlobalTry" << 5 << "1..100";
    QTest::newRow("pause of 0") << "SendPause=0"
                                << "SendPause" << 0 << "";
    QTest::newRow("negative pause") << "SendPause=-1"
                                    << "SendPause" << 100 << "SendPause=-1";
    QTest::newRow("reply pause of a minute and more")
        << "ReplyPause=60001"
        << "ReplyPause" << -1
        << "ReplyPause=60001 вне пределов 0..60000, взято значение по умолчанию 50 (250 на "
           "линии M-Bus)";
    QTest::newRow("negative drift limit") << "ClockDriftLimit=-1"
                                          << "ClockDriftLimit" << 300 << "ClockDriftLimit=-1";
    QTest::newRow("drift limit of a day") << "ClockDriftLimit=86400"
                                          << "ClockDriftLimit" << 86400 << "";
}

// A value a line cannot work with is named, with its file, and the default taken; the
// window and the command line read the same.
void TestIniFile::generalOutOfRange()
{
    QFETCH(QString, line);
    QFETCH(QString, key);
    QFETCH(int, expected);
    QFETCH(QString, warning);

    Folder folder;
    QVERIFY(WriteBytes(folder.ini, Ansi(QStringLiteral("[General]\r\nComPort=COM3\r\n") + line +
                                        QStringLiteral("\r\n"))));
    const IniFile ini(folder.ini);
    QStringList fromFile;
    QStringList fromSnapshot;
    const GeneralSettings read = ReadGeneralSettings(ini, &fromFile);
    QVERIFY(ReadGeneralSettings(ini.Snapshot(), &fromSnapshot) == read);
    QVERIFY(ReadGeneralSettings(ini) == read);
    QCOMPARE(fromSnapshot, fromFile);

    const QHash<QString, int> values = {{QStringLiteral("GlobalTimeOut"), read.globalTimeOut},
                                        {QStringLiteral("LocalTimeOut"), read.localTimeOut},
                                        {QStringLiteral("GlobalTry"), read.globalTry},
                                        {QStringLiteral("SendPause"), read.sendPause},
                                        {QStringLiteral("ReplyPause"), read.replyPause},
                                        {QStringLiteral("ClockDriftLimit"), read.clockDriftLimit}};
    QCOMPARE(values.value(key), expected);
    QCOMPARE(read.comPort, QStringLiteral("COM3"));
    if (warning.isEmpty()) {
        QCOMPARE(fromFile, QStringList());
    } else {
        QCOMPARE(fromFile.size(), 1);
        const QString head =
            QStringLiteral("Файл ") + QDir::toNativeSeparators(folder.ini) + QStringLiteral(", ");
        QVERIFY2(fromFile.first().startsWith(head), qPrintable(fromFile.first()));
        QVERIFY2(fromFile.first().contains(warning), qPrintable(fromFile.first()));
    }
}

void TestIniFile::configurationNames()
{
    Folder folder;
    QStringList sections{
        QStringLiteral("general"), QStringLiteral("Бета"),  QStringLiteral("Жук"),
        QStringLiteral("ёлка"),    QStringLiteral("альфа"), QStringLiteral("beta 2"),
        QStringLiteral("Ель"),     QStringLiteral("Alpha"), QStringLiteral("10")};
    QString text;
    for (const QString& name : sections)
        text += u'[' + name + QStringLiteral("]\r\nk=1\r\n");
    QVERIFY(WriteBytes(folder.ini, Ansi(text)));

    QCOMPARE(ConfigurationNames(IniFile(folder.ini)),
             (QStringList{QStringLiteral("10"), QStringLiteral("Alpha"), QStringLiteral("beta 2"),
                          QStringLiteral("альфа"), QStringLiteral("Бета"), QStringLiteral("Ель"),
                          QStringLiteral("ёлка"), QStringLiteral("Жук")}));
}

void TestIniFile::namesThatCannotBeReal_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("fault"); // empty: a real name
    QTest::addColumn<QString>("printed");

    QTest::newRow("plain") << "Котельная №1"
                           << ""
                           << "Котельная №1";
    QTest::newRow("brackets and a backslash") << "[a] b\\c"
                                              << ""
                                              << "[a] b\\c";
    QTest::newRow("longest") << QString(255, u'ж') << "" << QString(255, u'ж');
    QTest::newRow("one too long") << QString(256, u'ж') << "longer than 255 characters"
                                  << QString(60, u'ж') + QStringLiteral("...");
    QTest::newRow("escape sequence") << QStringLiteral("B\x01\x1b[31mred") << "control characters"
                                     << "B\\x01\\x1B[31mred";
    QTest::newRow("tab and delete") << QStringLiteral("a\tb\x7f") << "control characters"
                                    << "a\\x09b\\x7F";
    QTest::newRow("a control of the upper half")
        << QStringLiteral("a\u0085") << "control characters"
        << "a\\x85";
}

void TestIniFile::namesThatCannotBeReal()
{
    QFETCH(QString, name);
    QFETCH(QString, fault);
    QFETCH(QString, printed);

    const QString found = ConfigurationNameFault(name);
    QCOMPARE(found.isEmpty(), fault.isEmpty());
    QVERIFY2(found.contains(fault), qPrintable(found));
    QCOMPARE(PrintableName(name), printed);
}

// A file grown to tens of thousands of configurations: each listed once (a repeat in
// other letters too), in order, and the last one read and written like the first.
void TestIniFile::manySections()
{
    Folder folder;
    constexpr int count = 30000;
    QByteArray text = "[General]\r\nComSpeed=9600\r\n";
    for (int i = count - 1; i >= 0; --i)
        text +=
            "[Node " + QByteArray::number(i) + "]\r\nedAddress=" + QByteArray::number(i) + "\r\n";
    text += "[NODE 7]\r\nedAddress=repeat\r\n";
    QVERIFY(WriteBytes(folder.ini, text));

    IniFile ini(folder.ini);
    const QStringList names = ConfigurationNames(ini);
    QCOMPARE(names.size(), count);
    QCOMPARE(names.first(), QStringLiteral("Node 0"));
    QCOMPARE(names.at(1), QStringLiteral("Node 1"));
    QCOMPARE(names.at(2), QStringLiteral("Node 10"));
    QCOMPARE(ini.ReadString(QStringLiteral("node 7"), QStringLiteral("edAddress")),
             QStringLiteral("7"));
    // All of them from one reading of the file.
    const IniSnapshot snapshot = ini.Snapshot();
    const QStringList listed = ConfigurationNames(snapshot);
    QCOMPARE(listed, names);
    for (const QString& name : listed) {
        ReadoutSettings settings;
        ReadConfiguration(snapshot, name, settings);
        QCOMPARE(settings.addressText, name.mid(5));
    }
    QVERIFY(ini.WriteString(QStringLiteral("Node 0"), QStringLiteral("edAddress"),
                            QStringLiteral("x")));
    QCOMPARE(ini.ReadString(QStringLiteral("Node 0"), QStringLiteral("edAddress")),
             QStringLiteral("x"));
    QCOMPARE(ReadBytes(folder.ini).size(), text.size()); // "0" became "x"
}

void TestIniFile::nameDifferingInCaseKeepsOneSection()
{
    Folder folder;
    IniFile ini(folder.ini);
    ReadoutSettings first;
    first.comPort = QStringLiteral("COM1");
    QVERIFY(WriteConfiguration(ini, QStringLiteral("Котельная"), first));
    const ReadoutSettings second = Filled();
    QVERIFY(WriteConfiguration(ini, QStringLiteral("КОТЕЛЬНАЯ"), second));

    QCOMPARE(ReadBytes(folder.ini).count('['), 1);
    QCOMPARE(ConfigurationNames(ini), QStringList{QStringLiteral("Котельная")});
    ReadoutSettings read;
    ReadConfiguration(ini, QStringLiteral("котельная"), read);
    QCOMPARE(Describe(read), Describe(second));
}

void TestIniFile::missingKeysReadDefaults()
{
    Folder folder;
    QVERIFY(WriteBytes(folder.ini, Ansi(QStringLiteral("[Пусто]\r\nedAddress=1 2\r\n"))));

    ReadoutSettings read = Filled();
    read.showLog = true;
    read.startDate = QDate(2020, 1, 1);
    ReadConfiguration(IniFile(folder.ini), QStringLiteral("Пусто"), read);

    ReadoutSettings expected;
    expected.comSpeed.clear();
    expected.tcpPort = 0;
    expected.addressText = QStringLiteral("1 2");
    expected.showLog = true;
    expected.startDate = QDate(2020, 1, 1);
    QCOMPARE(Describe(read), Describe(expected));
}

void TestIniFile::familyOutsideTheList_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<int>("family");

    QTest::newRow("first") << QByteArray("0") << 0;
    QTest::newRow("last") << QByteArray("2") << 2;
    // Kept as saved: a read-out refuses a family no family has, never reads it as 0.
    QTest::newRow("above the list") << QByteArray("3") << 3;
    QTest::newRow("negative") << QByteArray("-1") << -1;
    QTest::newRow("not a number") << QByteArray("two") << 0;
}

void TestIniFile::familyOutsideTheList()
{
    QFETCH(QByteArray, value);
    QFETCH(int, family);

    Folder folder;
    QVERIFY(WriteBytes(folder.ini, "[C]\r\ncbDevice=" + value + "\r\n"));
    ReadoutSettings read;
    read.family = 1;
    ReadConfiguration(IniFile(folder.ini), QStringLiteral("C"), read);
    QCOMPARE(read.family, family);
}

void TestIniFile::configurationRoundTrip()
{
    Folder folder;
    // A key put there by hand stays; the keys present keep their lines.
    const QByteArray head = Ansi(QStringLiteral("[General]\r\nShowLog=1\r\n\r\n[Котельная]\r\n"));
    const QByteArray tail("\r\n[Other]\r\nx=1\r\n");
    QVERIFY(WriteBytes(folder.ini, head + "cbTCP=0\r\nNote=hand\r\n" + tail));

    IniFile ini(folder.ini);
    const ReadoutSettings written = Filled();
    QVERIFY(WriteConfiguration(ini, QStringLiteral("Котельная"), written));
    QCOMPARE(ReadBytes(folder.ini), head +
                                        "cbTCP=1\r\n"
                                        "Note=hand\r\n"
                                        "cbCOM=COM3\r\n"
                                        "cbSpeed=9600\r\n"
                                        "cbModem=0\r\n"
                                        "cbEcho=1\r\n"
                                        "cbDevice=2\r\n"
                                        "edADDR=192.168.0.7\r\n"
                                        "edAddress=1 3 6-11\r\n"
                                        "edModem=ATDT 555\r\n"
                                        "sePort=4002\r\n"
                                        "cbArcHour=1\r\n"
                                        "cbArcDay=0\r\n"
                                        "cbArcMonth=1\r\n"
                                        "cbArcInt=0\r\n"
                                        "cbArcEDay=1\r\n"
                                        "cbLog=0\r\n"
                                        "cbLogZ=1\r\n" +
                                        tail);

    ReadoutSettings read;
    read.showLog = true;
    read.startDate = QDate(2021, 3, 4);
    ReadConfiguration(ini, QStringLiteral("Котельная"), read);
    ReadoutSettings expected = written;
    expected.showLog = true;
    expected.startDate = QDate(2021, 3, 4);
    QCOMPARE(Describe(read), Describe(expected));
}

QTEST_APPLESS_MAIN(TestIniFile)
#include "tst_inifile.moc"
