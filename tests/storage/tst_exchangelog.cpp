#include "AnsiCodec.h"
#include "ExchangeLog.h"
#include "TestFiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <latch>
#include <thread>
#include <vector>

namespace {

// A memo holding its text the way a window's plain-text control does.
class TextMemo : public LogMemo
{
public:
    void AddMemoLine(const QString& line) override
    {
        text = text.isEmpty() ? line : text + u'\n' + line;
    }
    void AppendToLastLine(const QString& more) override { text += more; }
    QString text;
};

} // namespace

class TestExchangeLog : public QObject
{
    Q_OBJECT

private slots:
    void stampRule_data();
    void stampRule();
    void fileBytes();
    void newDayNewFile();
    void memoAndFile();
    void dayFileStartedByManyAtOnce();
    void unwritableFolder_data();
    void unwritableFolder();

private:
    QDateTime m_now;
    ExchangeLog::Clock Clock()
    {
        return [this] {
            return m_now;
        };
    }
};

void TestExchangeLog::stampRule_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("stamped");

    QTest::newRow("port line") << "Порт COM3 скорость 19200" << true;
    QTest::newRow("separator of 39") << QString(39, u'=') << false;
    QTest::newRow("=======") << "=======" << false;
    QTest::newRow("four =") << "====" << false;
    QTest::newRow("three = leave two") << "===" << true;
    QTest::newRow("single character") << "*" << false;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("ends with ': '") << "Ошибка чтения: " << false;
    QTest::newRow("'===' after ': '") << "Итог: =====" << false;
    QTest::newRow("text after ': '") << "Зав. № = : 12345" << true;
    QTest::newRow("only the first ': ' counts") << "a: : b" << true;
    QTest::newRow("colon without blank") << "a:" << true;
}

void TestExchangeLog::stampRule()
{
    QFETCH(QString, text);
    QFETCH(bool, stamped);

    QTemporaryDir home;
    m_now = QDateTime(QDate(2019, 7, 19), QTime(14, 3, 22, 517));
    ExchangeLog log(home.path() + u'/', Clock());
    TextMemo memo;
    log.SetMemo(&memo);
    log.AddLogLine(text);
    const QString expected = stamped ? QStringLiteral("---14:03:22.517: ") + text : text;
    QCOMPARE(memo.text, expected);
    QCOMPARE(ReadBytes(home.path() + QStringLiteral("/Protocols/2019-07-19.log")),
             QByteArray("\r\n") + AnsiLine(expected));
}

void TestExchangeLog::fileBytes()
{
    QTemporaryDir home;
    m_now = QDateTime(QDate(2019, 7, 19), QTime(9, 5, 1, 7));
    ExchangeLog log(home.path() + u'/', Clock()); // no memo: the file alone
    log.AddLogLine(QStringLiteral("Порт COM3 скорость 19200"));
    m_now = m_now.addMSecs(1500);
    log.AddLogLine(QString(39, u'='));

    const QByteArray expected = "\r\n"
                                "---09:05:01.007: \xCF\xEE\xF0\xF2 COM3 \xF1\xEA\xEE\xF0\xEE\xF1"
                                "\xF2\xFC 19200\r\n" +
                                QByteArray(39, '=') + "\r\n";
    QCOMPARE(ReadBytes(log.LogFilePath(m_now.date())), expected);
    QCOMPARE(QDir(log.LogFolder()).entryList(QDir::Files), QStringList{"2019-07-19.log"});
}

void TestExchangeLog::newDayNewFile()
{
    QTemporaryDir home;
    m_now = QDateTime(QDate(2019, 12, 31), QTime(23, 59, 59, 998));
    ExchangeLog log(home.path() + u'/', Clock());
    log.AddLogLine(QStringLiteral("before midnight"));
    m_now = m_now.addMSecs(3);
    log.AddLogLine(QStringLiteral("after midnight"));
    log.AddLogLine(QStringLiteral("later"));

    QCOMPARE(ReadBytes(home.path() + QStringLiteral("/Protocols/2019-12-31.log")),
             QByteArray("\r\n---23:59:59.998: before midnight\r\n"));
    QCOMPARE(ReadBytes(home.path() + QStringLiteral("/Protocols/2020-01-01.log")),
             QByteArray("\r\n---00:00:00.001: after midnight\r\n"
                        "---00:00:00.001: later\r\n"));
}

void TestExchangeLog::memoAndFile()
{
    // The log hands every entry to the memo, which keeps its newest lines itself; marks
    // and the dialing's asterisks go to the memo only, every entry to the file.
    QTemporaryDir home;
    m_now = QDateTime(QDate(2019, 7, 19), QTime(12, 0));
    ExchangeLog log(home.path() + u'/', Clock());
    TextMemo memo;
    log.SetMemo(&memo);
    for (int i = 1; i <= 305; ++i)
        log.AddLogLine(QStringLiteral("line %1").arg(i));
    log.AddMemoMark(QStringLiteral("10.12.2026 --> 1"));
    log.AddLogLine(QStringLiteral(">> ATD5551234"));
    log.AppendToLastMemoLine(QStringLiteral(" *"));

    const QStringList lines = memo.text.split(u'\n');
    QCOMPARE(lines.size(), 307);
    QCOMPARE(lines.first(), QStringLiteral("---12:00:00.000: line 1"));
    QCOMPARE(lines.mid(305), (QStringList{QStringLiteral("10.12.2026 --> 1"),
                                          QStringLiteral("---12:00:00.000: >> ATD5551234 *")}));
    const QByteArray file = ReadBytes(log.LogFilePath(m_now.date()));
    QCOMPARE(file.count("\r\n"), 307); // the day's empty first line, 306 entries
    QVERIFY(file.endsWith("---12:00:00.000: >> ATD5551234\r\n"));
}

void TestExchangeLog::dayFileStartedByManyAtOnce()
{
    // Several programs (here threads) log the first entries of a day at once: the day's
    // file still begins with its empty line, and every entry is whole, once.
    QTemporaryDir home;
    constexpr int Rounds = 400;
    constexpr int Writers = 6;
    for (int round = 0; round < Rounds; ++round) {
        const QDateTime day(QDate(2019, 1, 1).addDays(round), QTime(12, 0));
        ExchangeLog log(home.path() + u'/', [day] { return day; });
        std::latch start(Writers);
        std::vector<std::thread> writers;
        for (int w = 0; w < Writers; ++w) {
            writers.emplace_back([&log, &start, w] {
                start.arrive_and_wait();
                log.AddLogLine(QStringLiteral("writer %1").arg(w));
            });
        }
        for (std::thread& writer : writers)
            writer.join();
        const QList<QByteArray> lines = ReadBytes(log.LogFilePath(day.date())).split('\n');
        QCOMPARE(lines.size(), 1 + Writers + 1);
        QCOMPARE(lines.first(), QByteArray("\r"));
        QCOMPARE(lines.last(), QByteArray());
        for (const QByteArray& line : lines.mid(1, Writers))
            QVERIFY2(line.startsWith("---12:00:00.000: writer "), line.constData());
    }
}

void TestExchangeLog::unwritableFolder_data()
{
    QTest::addColumn<bool>("protocolsIsAFile");
    QTest::newRow("Protocols taken by a file") << true;
    QTest::newRow("program folder missing") << false;
}

void TestExchangeLog::unwritableFolder()
{
    QFETCH(bool, protocolsIsAFile);

    QTemporaryDir home;
    QString programDir = home.path() + u'/';
    if (protocolsIsAFile) {
        QFile blocker(programDir + QStringLiteral("Protocols"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
    } else {
        programDir += QStringLiteral("missing/folder/");
    }
    m_now = QDateTime(QDate(2019, 7, 19), QTime(12, 0));
    ExchangeLog log(programDir, Clock());
    TextMemo memo;
    log.SetMemo(&memo);
    log.AddLogLine(QStringLiteral("first"));
    log.AddLogLine(QStringLiteral("second"));

    QCOMPARE(memo.text, QStringLiteral("---12:00:00.000: first\n---12:00:00.000: second"));
    QVERIFY(!QFile::exists(log.LogFilePath(m_now.date())));
}

QTEST_APPLESS_MAIN(TestExchangeLog)
#include "tst_exchangelog.moc"
