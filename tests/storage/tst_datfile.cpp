#include "AnsiCodec.h"
#include "DatFile.h"
#include "TestFiles.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace {

// An archive file as the exports write it: title lines, header, records.
QByteArray ArchiveCsv()
{
    return AnsiLine(u"Прибор: ОРВЕК-307") + AnsiLine(u"Серийный номер: 001234") +
           AnsiLine(u"Почасовой архив") + AnsiLine(u"Дата;Q1;t1;") +
           AnsiLine(u"19.07.2019 10:00;12,3000001907349;55,5;") +
           AnsiLine(u"19.07.2019 11:00;12,5;-1E-6;");
}

// Rows as text, for one comparison: cells joined by "|", rows by "/".
QString RowsText(const QList<QStringList>& rows)
{
    QStringList texts;
    for (const QStringList& row : rows)
        texts.append(row.join(u'|'));
    return texts.join(u'/');
}

} // namespace

class TestDatFile : public QObject
{
    Q_OBJECT

private slots:
    void knownCopies_data();
    void knownCopies();
    void roundTrip_data();
    void roundTrip();
    void everyChangedByteIsCaught();
    void changedKeyPassesCheck();
    void shortOrThinFilesAreDamaged_data();
    void shortOrThinFilesAreDamaged();
    void viewerTable_data();
    void viewerTable();
    void convertedName_data();
    void convertedName();
    void convertWritesRestoredBytes();
    void convertKeepsDamagedFileUnwritten();
    void commandLine_data();
    void commandLine();
    void onlyRegularFilesAreRead_data();
    void onlyRegularFilesAreRead();
};

// Worked out by hand from the layout: scrambled text, check value, key, in that order.
void TestDatFile::knownCopies_data()
{
    QTest::addColumn<QByteArray>("csv");
    QTest::addColumn<int>("key");
    QTest::addColumn<QByteArray>("copy");

    QTest::newRow("key 1234") << QByteArray("A;1\r\n") << 0x1234
                              << QByteArray::fromHex("9a81a02d2d 4fad 1234");
    QTest::newRow("key FFFF") << QByteArray("A;1\r\n") << 0xFFFF
                              << QByteArray::fromHex("bfce95c620 6769 ffff");
}

void TestDatFile::knownCopies()
{
    QFETCH(QByteArray, csv);
    QFETCH(int, key);
    QFETCH(QByteArray, copy);

    QCOMPARE(MakeDatCopy(csv, static_cast<quint16>(key)), copy);
    QByteArray restored = copy;
    QVERIFY(RestoreDatBytes(restored));
    QCOMPARE(restored, csv + "    ");
}

void TestDatFile::roundTrip_data()
{
    QTest::addColumn<QByteArray>("csv");
    QTest::addColumn<int>("key");

    QTest::newRow("archive, key 0") << ArchiveCsv() << 0;
    QTest::newRow("archive, key 1") << ArchiveCsv() << 1;
    QTest::newRow("archive, key FFFF") << ArchiveCsv() << 0xFFFF;
    QByteArray allBytes;
    for (int i = 0; i < 256; ++i)
        allBytes.append(static_cast<char>(i));
    QTest::newRow("every byte value") << allBytes << 0xA5C3;
}

void TestDatFile::roundTrip()
{
    QFETCH(QByteArray, csv);
    QFETCH(int, key);

    const QByteArray copy = MakeDatCopy(csv, static_cast<quint16>(key));
    const qsizetype n = csv.size();
    QCOMPARE(copy.size(), n + 4);
    QCOMPARE(static_cast<quint8>(copy.at(n + 2)), key >> 8);
    QCOMPARE(static_cast<quint8>(copy.at(n + 3)), key & 0xFF);
    QVERIFY(copy.first(n) != csv);
    // Another key scrambles to other bytes under a matching check value of its own.
    const QByteArray other = MakeDatCopy(csv, static_cast<quint16>(key ^ 0x0101));
    QVERIFY(other.first(n) != copy.first(n));

    QByteArray restored = copy;
    QVERIFY(RestoreDatBytes(restored));
    QCOMPARE(restored, csv + QByteArray(4, ' '));
    restored = other;
    QVERIFY(RestoreDatBytes(restored));
    QCOMPARE(restored, csv + QByteArray(4, ' '));
}

void TestDatFile::everyChangedByteIsCaught()
{
    const QByteArray copy = MakeDatCopy(ArchiveCsv(), 0x4D2E);
    // Text and check bytes; the key bytes follow and are not covered.
    for (qsizetype i = 0; i < copy.size() - 2; ++i) {
        for (const int flip : {0x01, 0x80, 0xFF}) {
            QByteArray changed = copy;
            changed[i] = static_cast<char>(changed.at(i) ^ flip);
            QVERIFY2(!RestoreDatBytes(changed), qPrintable(QString::number(i)));
            QCOMPARE(changed.at(i), static_cast<char>(copy.at(i) ^ flip)); // left as it was
        }
    }
}

void TestDatFile::changedKeyPassesCheck()
{
    const QByteArray csv = ArchiveCsv();
    const QByteArray copy = MakeDatCopy(csv, 0x4D2E);
    const qsizetype n = csv.size();

    // The low key byte drives the whole key stream: every byte comes out garbled.
    QByteArray changed = copy;
    changed[n + 3] = static_cast<char>(changed.at(n + 3) ^ 0x10);
    QVERIFY(RestoreDatBytes(changed));
    for (qsizetype i = 0; i < n; ++i)
        QVERIFY2(changed.at(i) != csv.at(i), qPrintable(QString::number(i)));

    // Only the low 8 bits of the state reach the bytes, and they never depend on the
    // high key byte: changing it alone restores the same text.
    changed = copy;
    changed[n + 2] = static_cast<char>(changed.at(n + 2) ^ 0x10);
    QVERIFY(RestoreDatBytes(changed));
    QCOMPARE(changed, csv + "    ");
}

void TestDatFile::shortOrThinFilesAreDamaged_data()
{
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("empty") << QByteArray();
    QTest::newRow("1 byte") << QByteArray("\x00", 1);
    QTest::newRow("4 bytes, copy of nothing") << MakeDatCopy({}, 0x1234);
    QTest::newRow("three lines") << MakeDatCopy(AnsiLine(u"a") + AnsiLine(u"b") + "c;", 7);
    QTest::newRow("only blanks") << MakeDatCopy("          ", 7);
    QTest::newRow("a plain csv") << ArchiveCsv();
}

void TestDatFile::shortOrThinFilesAreDamaged()
{
    QFETCH(QByteArray, bytes);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("0719H0.dat"));
    QVERIFY(WriteFile(path, bytes));
    const DatContent content = ReadDatFile(path);
    QCOMPARE(content.status, DatStatus::Damaged);
    QCOMPARE(content.text, QString());
}

void TestDatFile::viewerTable_data()
{
    QTest::addColumn<QByteArray>("csv");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("columns");
    QTest::addColumn<QString>("rows");
    QTest::addColumn<int>("fixedRows");

    const QByteArray titles =
        AnsiLine(u"Прибор: ИЛЬМ") + AnsiLine(u"Серийный номер: 7") + AnsiLine(u"Посуточный архив");
    const QString titleText = QStringLiteral("Прибор: ИЛЬМ\r\nСерийный номер: 7\r\n"
                                             "Посуточный архив\r\n");

    QTest::newRow("header ends with ;")
        << titles + AnsiLine(u"Дата;Q;M;") + AnsiLine(u"19.07.2019;1;2;")
        << titleText + QStringLiteral("Дата;Q;M;\r\n19.07.2019;1;2;\r\n") << 3
        << QStringLiteral("Дата|Q|M/19.07.2019|1|2") << 1;
    QTest::newRow("header without final ;")
        << titles + AnsiLine(u"Дата;Q;M") + AnsiLine(u"19.07.2019;1;2;")
        << titleText + QStringLiteral("Дата;Q;M\r\n19.07.2019;1;2;\r\n") << 2
        << QStringLiteral("Дата|Q|M/19.07.2019|1|2") << 1;
    QTest::newRow("exactly four lines")
        << titles + AnsiLine(u"Дата;Q;") << titleText + QStringLiteral("Дата;Q;\r\n") << 2
        << QStringLiteral("Дата|Q") << 0;
    QTest::newRow("record longer than header")
        << titles + AnsiLine(u"Дата;Q;") + AnsiLine(u"19.07.2019;1;2;3;") +
               AnsiLine(u"20.07.2019;4;")
        << titleText + QStringLiteral("Дата;Q;\r\n19.07.2019;1;2;3;\r\n20.07.2019;4;\r\n") << 2
        << QStringLiteral("Дата|Q/19.07.2019|1|2|3/20.07.2019|4") << 1;
    // Blanks that ended the text go with the four trailing ones; inner blanks stay.
    QTest::newRow("text ending in blanks")
        << titles + AnsiLine(u"Дата; Q ;") + "19.07.2019; 1 ;  "
        << titleText + QStringLiteral("Дата; Q ;\r\n19.07.2019; 1 ;") << 2
        << QStringLiteral("Дата| Q /19.07.2019| 1 ") << 1;
}

void TestDatFile::viewerTable()
{
    QFETCH(QByteArray, csv);
    QFETCH(QString, text);
    QFETCH(int, columns);
    QFETCH(QString, rows);
    QFETCH(int, fixedRows);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("0719A0.dat"));
    QVERIFY(WriteFile(path, MakeDatCopy(csv, 0x0102)));
    const DatContent content = ReadDatFile(path);
    QCOMPARE(content.status, DatStatus::Ok);
    QCOMPARE(content.text, text);

    const DatTable table = SplitDatText(content.text);
    QCOMPARE(table.titleLines,
             (QStringList{QStringLiteral("Прибор: ИЛЬМ"), QStringLiteral("Серийный номер: 7"),
                          QStringLiteral("Посуточный архив")}));
    QCOMPARE(table.columnCount, columns);
    QCOMPARE(RowsText(table.rows), rows);
    QCOMPARE(table.fixedRows, fixedRows);
}

void TestDatFile::convertedName_data()
{
    QTest::addColumn<QString>("dat");
    QTest::addColumn<QString>("csv");
    QTest::newRow("copy") << "d/0719H0.dat"
                          << "d/0719H0_1.csv";
    QTest::newRow("upper-case ending") << "d/0719H0.DAT"
                                       << "d/0719H0_1.csv";
    QTest::newRow("no ending") << "sub/ab"
                               << "sub/ab_1.csv";
    QTest::newRow("other ending") << "sub/file.csv"
                                  << "sub/file.csv_1.csv";
    QTest::newRow("ending alone") << "sub/.dat"
                                  << "sub/.dat_1.csv";
    QTest::newRow("ending in a folder name") << "x.dat/ab"
                                             << "x.dat/ab_1.csv";
}

void TestDatFile::convertedName()
{
    QFETCH(QString, dat);
    QFETCH(QString, csv);
    QCOMPARE(ConvertedCsvName(dat), csv);
}

void TestDatFile::convertWritesRestoredBytes()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString dat = dir.filePath(QStringLiteral("0719H0.dat"));
    const QString csv = dir.filePath(QStringLiteral("0719H0_1.csv"));
    QCOMPARE(ConvertedCsvName(dat), csv);
    QVERIFY(WriteFile(dat, MakeDatCopy(ArchiveCsv(), 0xBEEF)));
    QVERIFY(WriteFile(csv, QByteArray(10000, 'x'))); // replaced, not appended to

    const DatContent content = ConvertDatFile(dat);
    QCOMPARE(content.status, DatStatus::Ok);
    QCOMPARE(ReadBytes(csv), ArchiveCsv() + "    ");
}

void TestDatFile::convertKeepsDamagedFileUnwritten()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString dat = dir.filePath(QStringLiteral("0719H0.dat"));
    QByteArray copy = MakeDatCopy(ArchiveCsv(), 0xBEEF);
    copy[5] = static_cast<char>(copy.at(5) ^ 0x20);
    QVERIFY(WriteFile(dat, copy));
    QCOMPARE(ConvertDatFile(dat).status, DatStatus::Damaged);
    QVERIFY(!QFile::exists(ConvertedCsvName(dat)));

    const DatContent missing = ConvertDatFile(dir.filePath(QStringLiteral("none.dat")));
    QCOMPARE(missing.status, DatStatus::ReadFailed);
    QCOMPARE(missing.systemError, ENOENT);

    // A folder where the converted file must go.
    QVERIFY(WriteFile(dat, MakeDatCopy(ArchiveCsv(), 1)));
    QVERIFY(QDir().mkdir(ConvertedCsvName(dat)));
    const DatContent blocked = ConvertDatFile(dat);
    QCOMPARE(blocked.status, DatStatus::WriteFailed);
    QCOMPARE(blocked.systemError, EISDIR);
}

void TestDatFile::commandLine_data()
{
    QTest::addColumn<QByteArray>("dat");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("csv");
    QTest::addColumn<QString>("stdErr");

    const QByteArray good = MakeDatCopy(ArchiveCsv(), 0x7777);
    QByteArray damaged = good;
    damaged[good.size() - 4] = static_cast<char>(damaged.at(good.size() - 4) ^ 1);
    QTest::newRow("intact") << good << 0 << ArchiveCsv() + "    " << QString();
    QTest::newRow("damaged") << damaged << 1 << QByteArray() << QStringLiteral("Файл поврежден\n");
    QTest::newRow("too short") << QByteArray("abcd") << 1 << QByteArray()
                               << QStringLiteral("Файл поврежден\n");
}

void TestDatFile::commandLine()
{
    QFETCH(QByteArray, dat);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, csv);
    QFETCH(QString, stdErr);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("0720EA0.dat"));
    QVERIFY(WriteFile(path, dat));

    QProcess program;
    program.start(QStringLiteral(ORVEKDATA_PROGRAM), {QStringLiteral("dat2csv"), path});
    QVERIFY(program.waitForFinished(30000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), exitCode);
    QCOMPARE(QString::fromUtf8(program.readAllStandardError()), stdErr);
    const QString written = dir.filePath(QStringLiteral("0720EA0_1.csv"));
    QCOMPARE(QFile::exists(written), !csv.isEmpty());
    QCOMPARE(ReadBytes(written), csv);
}

void TestDatFile::onlyRegularFilesAreRead_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("error");

#ifdef Q_OS_UNIX
    // Read whole, the one would block for ever and the other never end.
    QTest::newRow("named pipe") << QStringLiteral("fifo") << int(EINVAL);
    QTest::newRow("endless device") << QStringLiteral("/dev/zero") << int(EINVAL);
#endif
    QTest::newRow("folder") << QStringLiteral("folder") << int(EISDIR);
    QTest::newRow("just over the size limit") << QStringLiteral("large") << int(EFBIG);
}

// Anything but a regular file of a sane size is a failed read, in-process and through
// the program, at once and with the system's code.
void TestDatFile::onlyRegularFilesAreRead()
{
    QFETCH(QString, kind);
    QFETCH(int, error);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QString path = dir.filePath(QStringLiteral("0719H0.dat"));
    if (kind == QLatin1String("fifo")) {
#ifdef Q_OS_UNIX
        QVERIFY(::mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
#endif
    } else if (kind == QLatin1String("folder")) {
        QVERIFY(QDir().mkdir(path));
    } else if (kind == QLatin1String("large")) {
        QFile file(path); // sparse: takes no room on the disk
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.resize(DatFileSizeLimit + 1));
    } else {
        path = kind;
    }

    const DatContent content = ReadDatFile(path);
    QCOMPARE(content.status, DatStatus::ReadFailed);
    QCOMPARE(content.systemError, error);
    QCOMPARE(content.bytes, QByteArray());

    QProcess program;
    program.start(QStringLiteral(ORVEKDATA_PROGRAM), {QStringLiteral("dat2csv"), path});
    QVERIFY(program.waitForFinished(30000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 1);
    QCOMPARE(QString::fromUtf8(program.readAllStandardError()),
             QStringLiteral("orvekdata: %1: I/O error %2\n").arg(path).arg(error));
    QVERIFY(!QFileInfo::exists(ConvertedCsvName(path)));
}

QTEST_GUILESS_MAIN(TestDatFile)
#include "tst_datfile.moc"
