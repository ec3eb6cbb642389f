#include "ProgramEnv.h"
#include "TestFiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#if defined(Q_OS_UNIX)
#include <grp.h>
#include <unistd.h>
#endif

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
    void programDirRule_data();
    void programDirRule();
    void userDataDir();
    void prepareProgramDir_data();
    void prepareProgramDir();
    void settingsFollowToTheUserFolder();
    void stableSerialNames();
    void portPermissionAdvice();
    void qtDialogsInRussian();
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

void TestProgramEnv::programDirRule_data()
{
    QTest::addColumn<QString>("home");
    QTest::addColumn<QString>("programFolder"); // "<tmp>" stands for a writable folder
    QTest::addColumn<QString>("expected");      // "<tmp>", "<user>" or a path

    QTest::newRow("writable program folder") << ""
                                             << "<tmp>"
                                             << "<tmp>";
    QTest::newRow("program folder missing") << ""
                                            << "/nonexistent/orvekdata/bin"
                                            << "<user>";
#if defined(Q_OS_LINUX)
    // Not even an administrator can make a file there.
    QTest::newRow("program folder read-only") << ""
                                              << "/proc"
                                              << "<user>";
    // Installed: even an administrator's files do not go beside the program.
    QTest::newRow("installed") << ""
                               << "/usr/bin"
                               << "<user>";
#endif
    QTest::newRow("--home over a writable folder") << "/srv/meters"
                                                   << "<tmp>"
                                                   << "/srv/meters";
    QTest::newRow("--home over a read-only one") << "/srv/meters"
                                                 << "/proc"
                                                 << "/srv/meters";
}

void TestProgramEnv::programDirRule()
{
    QFETCH(QString, home);
    QFETCH(QString, programFolder);
    QFETCH(QString, expected);
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString user = QStringLiteral("/home/engineer/.local/share/OrvekData");
    const auto place = [&](QString text) {
        return text.replace(QStringLiteral("<tmp>"), tmp.path())
            .replace(QStringLiteral("<user>"), user);
    };
    QCOMPARE(ChooseProgramDir(home, place(programFolder), user), place(expected) + u'/');
    // The probe leaves nothing behind.
    QCOMPARE(QDir(tmp.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
}

void TestProgramEnv::userDataDir()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    qputenv("XDG_DATA_HOME", tmp.path().toLocal8Bit());
    QCOMPARE(UserDataDir(), tmp.path() + QStringLiteral("/OrvekData"));
    qunsetenv("XDG_DATA_HOME");
}

void TestProgramEnv::prepareProgramDir_data()
{
    QTest::addColumn<QString>("folder"); // below a temporary folder holding a file "file"
    QTest::addColumn<bool>("usable");
    QTest::newRow("there") << "" << true;
    QTest::newRow("made at first start") << "new/OrvekData" << true;
    QTest::newRow("below a file") << "file/OrvekData" << false;
}

void TestProgramEnv::prepareProgramDir()
{
    QFETCH(QString, folder);
    QFETCH(bool, usable);
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    QFile file(tmp.filePath(QStringLiteral("file")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    const QString dir = tmp.path() + u'/' + folder;
    QString message;
    QCOMPARE(PrepareProgramDir(dir, message), usable);
    QCOMPARE(QFileInfo(dir).isDir(), usable);
    if (!usable)
        QCOMPARE(message, QStringLiteral("Нет доступа на запись в папку данных программы ") +
                              QDir::toNativeSeparators(dir) +
                              QStringLiteral(": проверьте права на папку и место на диске"));
}

namespace {

bool WriteAll(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace

// A read-only copy of the program with its settings file: the user's folder, used in
// its place, starts from that file, and keeps its own once it has one.
void TestProgramEnv::settingsFollowToTheUserFolder()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString program = tmp.filePath(QStringLiteral("program"));
    const QString user = tmp.filePath(QStringLiteral("share/OrvekData"));
    const QString beside = program + QStringLiteral("/OrvekData.ini");
    const QByteArray saved = "[General]\r\nComPort=COM3\r\n[Котельная]\r\ncbCOM=COM4\r\n";
    QVERIFY(QDir().mkpath(program));
    QVERIFY(WriteAll(beside, saved));
    QVERIFY(QFile::setPermissions(beside, QFile::ReadOwner | QFile::ReadUser));
    const QFile::Permissions readOnly = QFile::ReadOwner | QFile::ExeOwner | QFile::ReadUser |
                                        QFile::ExeUser | QFile::ReadGroup | QFile::ExeGroup |
                                        QFile::ReadOther | QFile::ExeOther;
    QVERIFY(QFile::setPermissions(program, readOnly));
    const auto restore = qScopeGuard(
        [&] { QFile::setPermissions(program, readOnly | QFile::WriteOwner | QFile::WriteUser); });

    // An administrator writes in a read-only folder; the folder the rule picks for a
    // program folder that takes no file is the user's all the same.
    QString dir = user + u'/';
    if (!FolderWritable(program))
        QCOMPARE(ChooseProgramDir(QString(), program, user), dir);
    QString message;
    QVERIFY(PrepareProgramDir(dir, program, user, message));
    QCOMPARE(ReadBytes(user + QStringLiteral("/OrvekData.ini")), saved);
    // The copy is the user's to change, whatever the original's permissions.
    QVERIFY(QFileInfo(user + QStringLiteral("/OrvekData.ini")).permissions() & QFile::WriteOwner);
    QCOMPARE(QDir(user).entryList(QDir::Files | QDir::Hidden), QStringList{"OrvekData.ini"});

    // Later starts keep what the user saved.
    const QByteArray changed = saved + "[Школа]\r\ncbCOM=COM5\r\n";
    QVERIFY(WriteAll(user + QStringLiteral("/OrvekData.ini"), changed));
    QVERIFY(PrepareProgramDir(dir, program, user, message));
    QCOMPARE(ReadBytes(user + QStringLiteral("/OrvekData.ini")), changed);

    // A folder given by --home, or the program's own folder, is left as it is.
    for (const QString& other : {tmp.filePath(QStringLiteral("home")), program}) {
        QVERIFY(PrepareProgramDir(other, program, user, message) || other == program);
        QVERIFY(!QFileInfo::exists(tmp.filePath(QStringLiteral("home/OrvekData.ini"))));
    }
    QCOMPARE(ReadBytes(beside), saved);
}

void TestProgramEnv::stableSerialNames()
{
    QTemporaryDir byId;
    QVERIFY(byId.isValid());
    const QString adapter = QStringLiteral("usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
    QVERIFY(QFile::link(QStringLiteral("/dev/null"), byId.filePath(adapter)));
    QVERIFY(QFile::link(QStringLiteral("/dev/orvek-unplugged"), byId.filePath("usb-gone-port0")));
    QCOMPARE(StableSerialNames(byId.path()), QStringList{adapter});

    // Shown by its name, opened by its path; other names are opened as they are.
    QCOMPARE(SerialPortPath(adapter, byId.path()), byId.filePath(adapter));
    QCOMPARE(SerialPortPath(QStringLiteral("ttyUSB0"), byId.path()), QStringLiteral("ttyUSB0"));
    QCOMPARE(SerialPortPath(QStringLiteral("/dev/ttyS0"), byId.path()),
             QStringLiteral("/dev/ttyS0"));
    QCOMPARE(SerialPortPath(QStringLiteral("usb-gone-port0"), byId.path()),
             QStringLiteral("usb-gone-port0"));
    QCOMPARE(StableSerialNames(byId.filePath(QStringLiteral("none"))), QStringList());
}

void TestProgramEnv::portPermissionAdvice()
{
#if defined(Q_OS_UNIX)
    // A device as the system makes it: owned by root, open to one group.
    const group* dialout = ::getgrnam("dialout");
    if (!dialout)
        QSKIP("no group dialout on this system");
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString device = tmp.filePath(QStringLiteral("ttyUSB0"));
    QFile file(device);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    QCOMPARE(::chown(QFile::encodeName(device).constData(), uid_t(-1), dialout->gr_gid), 0);
    QCOMPARE(PortPermissionAdvice(device),
             QStringLiteral("Нет прав на порт ") + device +
                 QStringLiteral(": он доступен группе dialout. Добавьте себя в нее командой "
                                "\"sudo usermod -aG dialout $USER\" и войдите в систему заново"));
    QCOMPARE(PortPermissionAdvice(tmp.filePath(QStringLiteral("missing"))), QString());
#else
    QSKIP("the advice is for Unix systems");
#endif
}

void TestProgramEnv::qtDialogsInRussian()
{
    QVERIFY(InstallQtTranslations());
    QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("Отмена"));
    QCOMPARE(QCoreApplication::translate("QPlatformTheme", "&Yes"), QStringLiteral("&Да"));
    QCOMPARE(QCoreApplication::translate("QFileDialog", "&Open"), QStringLiteral("&Открыть"));
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
