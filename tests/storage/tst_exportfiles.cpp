#include "AnsiCodec.h"
#include "Crc16.h"
#include "DatFile.h"
#include "ExportFiles.h"
#include "LineFixture.h"
#include "ResultCode.h"
#include "TestFiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTest>

#include <cerrno>
#include <memory>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace {

// An export file set over a real line, with the date and the scrambling key in the
// test's hands.
struct Rig
{
    Rig()
        : home(line.home.path() + u'/'),
          files(
              line.log, home, [this] { return now; }, [this] { return key; })
    {
        files.DeviceName = QStringLiteral("ОРВЕК-307");
        files.SerialNumber = QStringLiteral("001234");
        files.ArchiveHeaderLine = QStringLiteral("Дата;Q1;");
    }

    // Opens the line, then starts a clean memo.
    bool OpenLine()
    {
        if (line.channel.OpenChannel() != Rc::Ok)
            return false;
        line.memo.Clear();
        return true;
    }

    QString Folder(const QString& date) const
    {
        return home + QStringLiteral("Data/") + date + QStringLiteral("/ОРВЕК-307/001234");
    }

    LineFixture line{QStringLiteral("pty")};
    QString home;
    QDateTime now{QDate(2019, 7, 19), QTime(10, 15)};
    quint16 key = 0x1234;
    ExportFiles files;
};

bool MakeFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write("in the way") > 0;
}

QStringList FilesIn(const QString& folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
}

// The id of a process that has ended: this test program, run to list its functions.
qint64 EndedProcessId()
{
    QProcess process;
    process.start(QCoreApplication::applicationFilePath(), {QStringLiteral("-functions")});
    if (!process.waitForStarted())
        return 0;
    const qint64 pid = process.processId();
    return process.waitForFinished() ? pid : 0;
}

// "Прибор: ОРВЕК-307", "Серийный номер: 001234" in Windows-1251 with CR LF.
QByteArray DeviceLines()
{
    return QByteArray::fromHex("cff0e8e1eef03a20 ced0c2c5ca2d333037 0d0a"
                               "d1e5f0e8e9edfbe920edeeece5f03a20 303031323334 0d0a");
}

} // namespace

class TestExportFiles : public QObject
{
    Q_OBJECT

private slots:
    void folderTree_data();
    void folderTree();
    void creationFailures_data();
    void creationFailures();
    void fileBytes();
    void fileDateIsTakenWhenMade();
    void datCopy();
    void datCopyOfBytesWritten();
    void staleCopyGoesWithItsFile();
    void leftoversOfEndedProcesses();
    void nameOnlyWhenClosed();
    void keptWhenClosedOtherwise_data();
    void keptWhenClosedOtherwise();
    void writeAndCloseFailures();
    void failedRename();
    void failedFileIsNamed();
    void ioErrorText_data();
    void ioErrorText();
    void fileSizeLimit();
};

void TestExportFiles::folderTree_data()
{
    QTest::addColumn<int>("existing");

    QTest::newRow("fresh program folder") << 0;
    QTest::newRow("Data exists") << 1;
    QTest::newRow("day exists") << 2;
    QTest::newRow("device exists") << 3;
    QTest::newRow("all exist") << 4;
}

void TestExportFiles::folderTree()
{
    QFETCH(int, existing);

    Rig rig;
    const QStringList levels = {QStringLiteral("Data"), QStringLiteral("2019-07-19"),
                                QStringLiteral("ОРВЕК-307"), QStringLiteral("001234")};
    QString path = rig.home;
    for (int i = 0; i < existing; ++i) {
        path += levels.at(i) + u'/';
        QVERIFY(QDir().mkdir(path));
        QVERIFY(MakeFile(path + QStringLiteral("kept.txt")));
    }

    QVERIFY(rig.files.MakeExportFolder());
    QCOMPARE(rig.files.ExportFolder(), rig.Folder(QStringLiteral("2019-07-19")));
    QVERIFY(QFileInfo(rig.files.ExportFolder()).isDir());
    QCOMPARE(rig.line.memo.Texts(), QStringList());
    // What the existing levels held is still there: they were used, not made anew.
    path = rig.home;
    for (int i = 0; i < existing; ++i) {
        path += levels.at(i) + u'/';
        QVERIFY(QFile::exists(path + QStringLiteral("kept.txt")));
    }
    QVERIFY(rig.files.MakeExportFolder()); // all there now: still no message
    QCOMPARE(rig.line.memo.Texts(), QStringList());
}

// A regular file where a folder must go makes that level fail, and no deeper level
// is tried; a folder where the export file must go makes the file fail.
void TestExportFiles::creationFailures_data()
{
    QTest::addColumn<QString>("blocker");
    QTest::addColumn<bool>("archive");
    QTest::addColumn<QString>("message");

    // {home} stands for the program folder, written with the system's separators.
    const QString folder = QStringLiteral("Data/2019-07-19/ОРВЕК-307/001234");
    const QString a = QStringLiteral("Ошибка \"%1\" создания папки \"{home}%2\"");
    const QString b = QStringLiteral("Ошибка \"%1\"создания папки \"{home}%2\"");
    const QString c = QStringLiteral("Ошибка \"%1\"создания файла \"{home}%2\"");
    const QString file = folder + QStringLiteral("/0719H0.csv");
    const QString day = QStringLiteral("Data/2019-07-19");
    const QString device = day + QStringLiteral("/ОРВЕК-307");
    QTest::newRow("Data, message A")
        << QStringLiteral("Data") << false << a.arg(EEXIST).arg(QStringLiteral("Data"));
    QTest::newRow("day, message B") << day << true << b.arg(EEXIST).arg(day);
    QTest::newRow("device, message B") << device << false << b.arg(EEXIST).arg(device);
    QTest::newRow("serial number, message B") << folder << true << b.arg(EEXIST).arg(folder);
    QTest::newRow("file, message C") << file << true << c.arg(EISDIR).arg(file);
    // The message names the file, not the temporary one it is written under.
    QTest::newRow("temporary file, message C")
        << ExportFiles::TemporaryName(file) << true << c.arg(EISDIR).arg(file);
}

void TestExportFiles::creationFailures()
{
    QFETCH(QString, blocker);
    QFETCH(bool, archive);
    QFETCH(QString, message);

    Rig rig;
    const QString blockerPath = rig.home + blocker;
    QVERIFY(QDir().mkpath(QFileInfo(blockerPath).path()));
    if (blocker.contains(QLatin1String(".csv")))
        QVERIFY(QDir().mkdir(blockerPath));
    else
        QVERIFY(MakeFile(blockerPath));
    QVERIFY(rig.OpenLine());

    const bool made = archive ? rig.files.CreateArchiveFile(QStringLiteral("Почасовой архив"),
                                                            QStringLiteral("H0"))
                              : rig.files.CreateExportFile(QStringLiteral("H0"));
    QVERIFY(!made);
    QVERIFY(!rig.files.IsExportFileOpen());
    // The export layer leaves the line alone: the read-out decides what ends.
    QCOMPARE(rig.line.channel.Kind(), ChannelKind::Serial);

    const QString shown =
        QDir::toNativeSeparators(message.replace(QStringLiteral("{home}"), rig.home));
    QStringList expected = {shown};
    if (archive)
        expected =
            QStringList{QStringLiteral("---"), QStringLiteral("Почасовой архив создание файла")} +
            expected;
    QCOMPARE(rig.line.memo.Texts(), expected);

    // The mark is the memo's alone; the failure itself reaches the log file.
    // The log dates its file by the real clock; the day before covers a run at midnight.
    const QDate today = QDate::currentDate();
    const QString logText = DecodeAnsi(ReadBytes(rig.line.log.LogFilePath(today.addDays(-1))) +
                                       ReadBytes(rig.line.log.LogFilePath(today)));
    QVERIFY(logText.contains(shown + QStringLiteral("\r\n")));
    QVERIFY(!logText.contains(QStringLiteral("\n---\r\n")));
    QVERIFY(!logText.startsWith(QStringLiteral("---\r\n")));
}

void TestExportFiles::fileBytes()
{
    Rig rig;
    QVERIFY(rig.files.CreateArchiveFile(QStringLiteral("Почасовой архив"), QStringLiteral("H0")));
    const QString archive =
        rig.Folder(QStringLiteral("2019-07-19")) + QStringLiteral("/0719H0.csv");
    QCOMPARE(rig.files.ExportFile(), archive);
    QVERIFY(rig.files.IsExportFileOpen());
    QCOMPARE(rig.files.WriteLine(u"19.07.2019 10:00;12,5;"), 0);
    QCOMPARE(rig.files.CloseExportFile(), 0);
    QVERIFY(!rig.files.IsExportFileOpen());
    QCOMPARE(rig.files.ExportFile(), archive); // still known for the copy

    QCOMPARE(ReadBytes(archive),
             DeviceLines() +
                 QByteArray::fromHex("cfeef7e0f1eee2eee920e0f0f5e8e2 0d0a" // Почасовой архив
                                     "c4e0f2e03b51313b 0d0a"               // Дата;Q1;
                                     "31392e30372e323031392031303a30303b31322c353b 0d0a"));
    QCOMPARE(
        rig.line.memo.Texts(),
        (QStringList{QStringLiteral("---"), QStringLiteral("Почасовой архив создание файла")}));

    // The plain variant writes the device lines only; the export adds its own.
    rig.line.memo.Clear();
    QVERIFY(rig.files.CreateExportFile(QStringLiteral("CFG")));
    QCOMPARE(rig.files.CloseExportFile(), 0);
    QCOMPARE(ReadBytes(rig.files.ExportFile()), DeviceLines());
    QVERIFY(rig.files.ExportFile().endsWith(QLatin1String("/001234/0719CFG.csv")));
    QCOMPARE(rig.line.memo.Texts(), QStringList());
}

void TestExportFiles::fileDateIsTakenWhenMade()
{
    Rig rig;
    rig.now = QDateTime(QDate(2019, 12, 31), QTime(23, 59, 59, 900));
    QVERIFY(rig.files.CreateExportFile(QStringLiteral("LOG")));
    for (int i = 0; i < 50; ++i)
        QCOMPARE(rig.files.WriteLine(u"31.12.2019 23:00:00;Событие;"), 0);
    QCOMPARE(rig.files.CloseExportFile(), 0);
    const QString first = rig.files.ExportFile();
    QCOMPARE(first, rig.Folder(QStringLiteral("2019-12-31")) + QStringLiteral("/1231LOG.csv"));

    // Made again the same day: the old file is replaced, not appended to.
    QVERIFY(rig.files.CreateExportFile(QStringLiteral("LOG")));
    QCOMPARE(rig.files.CloseExportFile(), 0);
    QCOMPARE(rig.files.ExportFile(), first);
    QCOMPARE(ReadBytes(first), DeviceLines());

    // Past midnight the next file goes to the next day's folder and name.
    rig.now = QDateTime(QDate(2020, 1, 1), QTime(0, 0, 0, 100));
    QVERIFY(rig.files.CreateArchiveFile(QStringLiteral("Посуточный архив"), QStringLiteral("A0")));
    QCOMPARE(rig.files.CloseExportFile(), 0);
    QCOMPARE(rig.files.ExportFolder(), rig.Folder(QStringLiteral("2020-01-01")));
    QCOMPARE(rig.files.ExportFile(),
             rig.Folder(QStringLiteral("2020-01-01")) + QStringLiteral("/0101A0.csv"));
    QCOMPARE(ReadBytes(first), DeviceLines()); // yesterday's file stays
}

void TestExportFiles::datCopy()
{
    Rig rig;
    QVERIFY(rig.files.CreateArchiveFile(QStringLiteral("Почасовой архив"), QStringLiteral("H0")));
    for (int hour = 0; hour < 24; ++hour)
        QCOMPARE(rig.files.WriteLine(QStringLiteral("19.07.2019 %1:00;%2,25;")
                                         .arg(hour, 2, 10, QLatin1Char('0'))
                                         .arg(hour * 3)),
                 0);
    QCOMPARE(rig.files.CloseExportFile(), 0);
    const QString csvName = rig.files.ExportFile();
    const QByteArray csv = ReadBytes(csvName);
    const QString datName =
        rig.Folder(QStringLiteral("2019-07-19")) + QStringLiteral("/0719H0.dat");
    QCOMPARE(ExportFiles::DatCopyName(csvName), datName);

    QByteArray previous;
    for (const quint16 key : {quint16(0x1234), quint16(0x1235), quint16(0xFF00)}) {
        rig.key = key;
        QCOMPARE(rig.files.WriteDatCopy(), 0);
        const QByteArray dat = ReadBytes(datName);
        const qsizetype n = csv.size();
        QCOMPARE(dat.size(), n + 4);
        const auto at = [&dat](qsizetype i) {
            return static_cast<quint8>(dat.at(i));
        };
        const quint16 check =
            Crc16(reinterpret_cast<const quint8*>(dat.constData()), static_cast<int>(n), 0);
        QCOMPARE(at(n), check >> 8);
        QCOMPARE(at(n + 1), check & 0xFF);
        QCOMPARE(at(n + 2), key >> 8);
        QCOMPARE(at(n + 3), key & 0xFF);
        QVERIFY(dat.first(n) != csv);
        QVERIFY(dat.first(n) != previous); // a new key, other bytes; the copy is replaced
        previous = dat.first(n);

        const DatContent content = ReadDatFile(datName);
        QCOMPARE(content.status, DatStatus::Ok);
        QCOMPARE(content.bytes, csv + "    ");
    }
    QCOMPARE(ReadBytes(csvName), csv); // the archive file itself is left as it was

    // A file still open is not in place: nothing to copy yet.
    QVERIFY(rig.files.CreateArchiveFile(QStringLiteral("Помесячный архив"), QStringLiteral("O0")));
    QCOMPARE(rig.files.WriteDatCopy(), ENOENT);
    // A folder under the copy's name lets the file be put in place, but not its copy.
    QVERIFY(QDir().mkdir(rig.files.ExportFolder() + QStringLiteral("/0719A0.dat")));
    QVERIFY(rig.files.CreateArchiveFile(QStringLiteral("Посуточный архив"), QStringLiteral("A0")));
    QCOMPARE(rig.files.CloseExportFile(), 0);
    QCOMPARE(rig.files.WriteDatCopy(), EISDIR);
    // The copy that could not be put in place leaves nothing behind.
    QCOMPARE(FilesIn(rig.files.ExportFolder()),
             (QStringList{"0719A0.csv", "0719H0.csv", "0719H0.dat", "0719O0.csv"}));
}

// The copy holds what this process wrote, whatever has the file's name by now (another
// read-out's file, or none); a year of hourly records spans many scrambling pieces.
void TestExportFiles::datCopyOfBytesWritten()
{
    Rig rig;
    QVERIFY(rig.files.CreateArchiveFile(QStringLiteral("Почасовой архив"), QStringLiteral("H0")));
    QDateTime time(QDate(2018, 7, 19), QTime(0, 0));
    for (int hour = 0; hour < 365 * 24; ++hour, time = time.addSecs(3600))
        QCOMPARE(rig.files.WriteLine(time.toString(QStringLiteral("dd.MM.yyyy hh:mm")) +
                                     QStringLiteral(";%1,5;55,25;").arg(hour)),
                 0);
    QCOMPARE(rig.files.CloseExportFile(), 0);
    const QString csvName = rig.files.ExportFile();
    const QString datName = ExportFiles::DatCopyName(csvName);
    const QByteArray written = ReadBytes(csvName);
    QVERIFY(written.size() > 4 * 64 * 1024);

    QVERIFY(QFile::remove(csvName));
    QVERIFY(MakeFile(csvName));
    rig.key = 0xA5C3;
    QCOMPARE(rig.files.WriteDatCopy(), 0);
    QCOMPARE(ReadBytes(datName), MakeDatCopy(written, 0xA5C3));

    QVERIFY(QFile::remove(csvName));
    rig.key = 0x0001;
    QCOMPARE(rig.files.WriteDatCopy(), 0);
    QCOMPARE(ReadBytes(datName), MakeDatCopy(written, 0x0001));
    QCOMPARE(rig.files.TakeWritten().last(),
             (std::pair<QString, qint64>(datName.mid(rig.home.size()), written.size() + 4)));
}

// A file put in place without a copy (its archive aborted, its first record failed, the
// program killed before the copy) takes the copy of the earlier file of its name away
// with it; until then that copy stays with its own file.
void TestExportFiles::staleCopyGoesWithItsFile()
{
    Rig rig;
    QVERIFY(rig.files.CreateArchiveFile(QStringLiteral("Почасовой архив"), QStringLiteral("H0")));
    QCOMPARE(rig.files.WriteLine(u"19.07.2019 09:00;1;"), 0);
    QCOMPARE(rig.files.CloseExportFile(), 0);
    QCOMPARE(rig.files.WriteDatCopy(), 0);
    const QString csvName = rig.files.ExportFile();
    const QString datName = ExportFiles::DatCopyName(csvName);
    const QByteArray earlier = ReadBytes(csvName);

    QVERIFY(rig.files.CreateArchiveFile(QStringLiteral("Почасовой архив"), QStringLiteral("H0")));
    QCOMPARE(rig.files.WriteLine(u"19.07.2019 10:00;2;"), 0);
    QCOMPARE(ReadDatFile(datName).bytes, earlier + "    ");
    QCOMPARE(rig.files.CloseExportFile(), 0);
    QVERIFY(ReadBytes(csvName) != earlier);
    QCOMPARE(FilesIn(rig.files.ExportFolder()), QStringList{QFileInfo(csvName).fileName()});
}

// Temporary files of processes that have ended go when a read-out first uses their
// folder; those of running processes and names this program does not make stay.
void TestExportFiles::leftoversOfEndedProcesses()
{
    const qint64 ended = EndedProcessId();
    QVERIFY(ended > 0);
    const QString endedId = QString::number(ended);
    const QString ownId = QString::number(QCoreApplication::applicationPid());

    Rig rig;
    const QString folder = rig.Folder(QStringLiteral("2019-07-19"));
    const QString otherFolder = rig.home + QStringLiteral("Data/2019-07-19/ОРВЕК-307/009999");
    QVERIFY(QDir().mkpath(folder));
    QVERIFY(QDir().mkpath(otherFolder));
    const QStringList gone = {QStringLiteral("0719H0.csv.") + endedId + QStringLiteral(".tmp"),
                              QStringLiteral("0719H0.dat.") + endedId + QStringLiteral(".tmp")};
    QStringList kept = {QStringLiteral("0719A0.csv.") + ownId + QStringLiteral(".tmp"),
                        QStringLiteral("notes.") + endedId + QStringLiteral(".tmp"),
                        QStringLiteral("0719A0.csv.tmp"), QStringLiteral("0719A0.csv.x1.tmp"),
                        QStringLiteral("0719A0.csv.") + endedId + QStringLiteral(".tmp.txt")};
#ifdef Q_OS_UNIX
    kept << QStringLiteral("0719O0.csv.") + QString::number(getppid()) + QStringLiteral(".tmp")
         << QStringLiteral("0719O0.dat.1.tmp"); // runs, whether this user may signal it or not
#endif
    for (const QString& name : gone + kept)
        QVERIFY(MakeFile(folder + u'/' + name));
    QVERIFY(MakeFile(otherFolder + u'/' + gone.first()));

    QVERIFY(rig.files.CreateExportFile(QStringLiteral("CFG")));
    QStringList expected =
        kept + QStringList{QStringLiteral("0719CFG.csv.") + ownId + QStringLiteral(".tmp")};
    expected.sort();
    QCOMPARE(FilesIn(folder), expected);
    QCOMPARE(FilesIn(otherFolder), QStringList{gone.first()});
    QCOMPARE(rig.files.CloseExportFile(), 0);

    // Once per folder and read-out: what appears later waits for the next read-out.
    QVERIFY(MakeFile(folder + u'/' + gone.first()));
    QVERIFY(rig.files.CreateExportFile(QStringLiteral("LOG")));
    QCOMPARE(rig.files.CloseExportFile(), 0);
    QVERIFY(QFile::exists(folder + u'/' + gone.first()));
    rig.files.BeginReadout();
    QVERIFY(rig.files.MakeExportFolder());
    QVERIFY(!QFile::exists(folder + u'/' + gone.first()));
    expected = kept + QStringList{QStringLiteral("0719CFG.csv"), QStringLiteral("0719LOG.csv")};
    expected.sort();
    QCOMPARE(FilesIn(folder), expected);
}

// Until it is closed a file exists only under the temporary name, so a program that
// dies midway (the state here, before the close) leaves no part file under an export
// name, and the file of an earlier read-out stays whole until the new one replaces it.
void TestExportFiles::nameOnlyWhenClosed()
{
    Rig rig;
    QVERIFY(rig.files.CreateArchiveFile(QStringLiteral("Почасовой архив"), QStringLiteral("H0")));
    QCOMPARE(rig.files.CloseExportFile(), 0);
    const QString name = rig.files.ExportFile();
    const QByteArray earlier = ReadBytes(name);

    QVERIFY(rig.files.CreateArchiveFile(QStringLiteral("Почасовой архив"), QStringLiteral("H0")));
    QCOMPARE(rig.files.ExportFile(), name);
    QCOMPARE(rig.files.WriteLine(u"19.07.2019 10:00;12,5;"), 0);
    const QString temporary = ExportFiles::TemporaryName(name);
    QCOMPARE(temporary, name + u'.' + QString::number(QCoreApplication::applicationPid()) +
                            QStringLiteral(".tmp"));
    QCOMPARE(FilesIn(rig.files.ExportFolder()),
             (QStringList{QFileInfo(name).fileName(), QFileInfo(temporary).fileName()}));
    QCOMPARE(ReadBytes(name), earlier);

    QCOMPARE(rig.files.CloseExportFile(), 0);
    QCOMPARE(FilesIn(rig.files.ExportFolder()), QStringList{QFileInfo(name).fileName()});
    QCOMPARE(ReadBytes(name), earlier + "19.07.2019 10:00;12,5;\r\n");
}

// However the file stops being written (closed by its export, also after an abort or a
// failed record; a new file made first; the end of the read-out), it is kept under its
// name with the lines so far.
void TestExportFiles::keptWhenClosedOtherwise_data()
{
    QTest::addColumn<int>("how");

    QTest::newRow("closed") << 0;
    QTest::newRow("next file made") << 1;
    QTest::newRow("files gone") << 2;
}

void TestExportFiles::keptWhenClosedOtherwise()
{
    QFETCH(int, how);

    Rig rig;
    auto files = std::make_unique<ExportFiles>(
        rig.line.log, rig.home, [&rig] { return rig.now; }, [] { return quint16(1); });
    files->DeviceName = rig.files.DeviceName;
    files->SerialNumber = rig.files.SerialNumber;
    QVERIFY(files->CreateExportFile(QStringLiteral("LOG")));
    QCOMPARE(files->WriteLine(u"Журнал событий"), 0);
    const QString name = files->ExportFile();
    const QString folder = files->ExportFolder();
    switch (how) {
    case 0:
        QCOMPARE(files->CloseExportFile(), 0);
        break;
    case 1:
        QVERIFY(files->CreateExportFile(QStringLiteral("LOGZ")));
        QCOMPARE(files->CloseExportFile(), 0);
        break;
    default:
        files.reset();
    }
    QCOMPARE(ReadBytes(name),
             DeviceLines() +
                 QByteArray::fromHex("c6f3f0ede0eb20f1eee1fbf2e8e9 0d0a")); // Журнал событий
    const QStringList left = FilesIn(folder);
    QCOMPARE(left.filter(QStringLiteral(".tmp")), QStringList());
    QCOMPARE(left.size(), how == 1 ? 2 : 1);
}

void TestExportFiles::writeAndCloseFailures()
{
    Rig rig;
    QCOMPARE(rig.files.CloseExportFile(), 0); // nothing open
    QCOMPARE(rig.files.WriteLine(u"no file"), EBADF);

    if (!QFileInfo::exists(QStringLiteral("/dev/full")))
        QSKIP("needs /dev/full for a device that is always full");
    QVERIFY(rig.files.MakeExportFolder());
    const QString name = rig.files.ExportFolder() + QStringLiteral("/0719CFG.csv");
    QVERIFY(MakeFile(name)); // an earlier read-out's file
    QVERIFY(QFile::link(QStringLiteral("/dev/full"), ExportFiles::TemporaryName(name)));
    // Made, but its header lines were lost: the next write and the close say so.
    QVERIFY(rig.files.CreateExportFile(QStringLiteral("CFG")));
    QCOMPARE(rig.files.WriteLine(u"Конфигурация"), ENOSPC);
    QCOMPARE(rig.files.WriteLine(u"Индекс;Тип;Наименование"), ENOSPC);
    QCOMPARE(rig.files.CloseExportFile(), ENOSPC);
    QVERIFY(!rig.files.IsExportFileOpen());
    QCOMPARE(rig.files.CloseExportFile(), 0);
    QCOMPARE(rig.line.memo.Texts(), QStringList()); // nothing logged for these
    // The failed file is gone, and what had its name is left as it was.
    QCOMPARE(FilesIn(rig.files.ExportFolder()), QStringList{QStringLiteral("0719CFG.csv")});
    QCOMPARE(ReadBytes(name), QByteArray("in the way"));

    // The next file starts without the old error.
    QVERIFY(rig.files.CreateExportFile(QStringLiteral("H0")));
    QCOMPARE(rig.files.WriteLine(u"Почасовой архив"), 0);
    QCOMPARE(rig.files.CloseExportFile(), 0);

    // A copy that cannot be written leaves neither a part copy nor its temporary file.
    const QString copy = ExportFiles::DatCopyName(rig.files.ExportFile());
    QVERIFY(QFile::link(QStringLiteral("/dev/full"), ExportFiles::TemporaryName(copy)));
    QCOMPARE(rig.files.WriteDatCopy(), ENOSPC);
    QCOMPARE(FilesIn(rig.files.ExportFolder()),
             (QStringList{QStringLiteral("0719CFG.csv"), QStringLiteral("0719H0.csv")}));
}

// A name taken meanwhile by something the file cannot replace: the close reports the
// system's code of the rename and leaves no temporary file.
void TestExportFiles::failedRename()
{
    Rig rig;
    QVERIFY(rig.files.CreateArchiveFile(QStringLiteral("Почасовой архив"), QStringLiteral("H0")));
    const QString name = rig.files.ExportFile();
    QVERIFY(QDir().mkdir(name));
    QVERIFY(MakeFile(name + QStringLiteral("/kept.txt")));
    QCOMPARE(rig.files.WriteLine(u"19.07.2019 10:00;12,5;"), 0);
    QCOMPARE(rig.files.CloseExportFile(), EISDIR);
    QVERIFY(!rig.files.IsExportFileOpen());
    QCOMPARE(FilesIn(rig.files.ExportFolder()), QStringList());
    QVERIFY(QFile::exists(name + QStringLiteral("/kept.txt")));
    QCOMPARE(
        rig.line.memo.Texts(),
        (QStringList{QStringLiteral("---"), QStringLiteral("Почасовой архив создание файла")}));
}

// The read-out names the file a failed write, close or copy concerned: the export name,
// never the temporary one, or the copy's name.
void TestExportFiles::failedFileIsNamed()
{
    if (!QFileInfo::exists(QStringLiteral("/dev/full")))
        QSKIP("needs /dev/full for a device that is always full");
    Rig rig;
    QVERIFY(rig.files.MakeExportFolder());
    const QString name = rig.files.ExportFolder() + QStringLiteral("/0719H0.csv");
    QVERIFY(QFile::link(QStringLiteral("/dev/full"), ExportFiles::TemporaryName(name)));
    QVERIFY(rig.files.CreateExportFile(QStringLiteral("H0")));
    QCOMPARE(rig.files.WriteLine(u"Почасовой архив"), ENOSPC);
    QCOMPARE(rig.files.FailedFile(), name);
    QCOMPARE(rig.files.CloseExportFile(), ENOSPC);
    QCOMPARE(rig.files.FailedFile(), name);
    QCOMPARE(rig.files.WriteDatCopy(), ENOENT); // it was never put in place
    QCOMPARE(rig.files.FailedFile(), name);

    QVERIFY(rig.files.CreateExportFile(QStringLiteral("H0")));
    QCOMPARE(rig.files.CloseExportFile(), 0);
    const QString copy = ExportFiles::DatCopyName(name);
    QVERIFY(QFile::link(QStringLiteral("/dev/full"), ExportFiles::TemporaryName(copy)));
    QCOMPARE(rig.files.WriteDatCopy(), ENOSPC);
    QCOMPARE(rig.files.FailedFile(), copy);

    QCOMPARE(rig.files.WriteLine(u"no file"), EBADF);
    QCOMPARE(rig.files.FailedFile(), QString());
}

void TestExportFiles::ioErrorText_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("text");

    const QString file =
        QStringLiteral("/home/op/OrvekData/Data/2026-12-10/ОРВЕК-307/1/1210H0.csv");
    const QString shown = QDir::toNativeSeparators(file);
    QTest::newRow("a code the system knows")
        << int(ENOSPC) << file
        << QStringLiteral("I/O error %1: %2 (%3)").arg(ENOSPC).arg(shown, SystemErrorText(ENOSPC));
    QTest::newRow("no file")
        << int(ENOSPC) << QString()
        << QStringLiteral("I/O error %1 (%2)").arg(ENOSPC).arg(SystemErrorText(ENOSPC));
    QTest::newRow("a code the system does not know")
        << 987654 << file << QStringLiteral("I/O error 987654: ") + shown;
}

// The words "I/O error" and the number come first, as the user has always seen them.
void TestExportFiles::ioErrorText()
{
    QFETCH(int, code);
    QFETCH(QString, file);
    QFETCH(QString, text);

#ifdef __GLIBC__
    QCOMPARE(SystemErrorText(ENOSPC), QStringLiteral("No space left on device"));
#endif
    QCOMPARE(ExportFiles::IoErrorText(code, file), text);
}

// With the signal of a file-size limit ignored, as the program does, a write past the
// limit fails like a full disk: the code comes back and no part file takes the name.
void TestExportFiles::fileSizeLimit()
{
#ifndef Q_OS_UNIX
    QSKIP("a file-size limit of the process is a Unix matter");
#else
    Rig rig;
    QVERIFY(rig.files.MakeExportFolder());
    const QString name = rig.files.ExportFolder() + QStringLiteral("/0719H0.csv");
    QVERIFY(MakeFile(name)); // an earlier read-out's file
    rlimit saved{};
    QVERIFY(getrlimit(RLIMIT_FSIZE, &saved) == 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 300;
    const bool limited = setrlimit(RLIMIT_FSIZE, &small) == 0;
    const bool made = rig.files.CreateExportFile(QStringLiteral("H0"));
    int writeError = 0;
    for (int i = 0; i < 20 && writeError == 0; ++i)
        writeError = rig.files.WriteLine(u"19.07.2019 10:00;12,5;55,25;");
    const int closeError = rig.files.CloseExportFile();
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);

    QVERIFY(limited);
    QVERIFY(made);
    QCOMPARE(writeError, EFBIG);
    QCOMPARE(closeError, EFBIG);
    QCOMPARE(ReadBytes(name), QByteArray("in the way"));
    QCOMPARE(FilesIn(rig.files.ExportFolder()), QStringList{QStringLiteral("0719H0.csv")});
#endif
}

QTEST_GUILESS_MAIN(TestExportFiles)
#include "tst_exportfiles.moc"
