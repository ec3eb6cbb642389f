#include "AddressList.h"
#include "AnsiCodec.h"
#include "Channel.h"
#include "DatFile.h"
#include "DeviceDriver.h"
#include "ExchangeLog.h"
#include "ExportFiles.h"
#include "IniFile.h"
#include "LogFile.h"
#include "MemoryLine.h"
#include "Meter.h"
#include "ModbusMaster.h"
#include "OffThread.h"
#include "ProgramSettings.h"
#include "ReadCommand.h"
#include "Readout.h"
#include "ReadoutPlan.h"
#include "ReadoutSession.h"
#include "ResultCode.h"
#include "SessionEvents.h"
#include "SimServer.h"
#include "TextFormat.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <array>
#include <cerrno>
#include <cstring>
#include <functional>
#include <mutex>

namespace {

// Every clock of the rig reads this, so that folders, names and stamps are known.
const QDateTime Now(QDate(2026, 12, 10), QTime(12, 0));
const QString Day = QStringLiteral("Data/2026-12-10/");

// The memo and the front end of the tests. The session calls them on its own thread,
// where the hooks run too: a hook that presses Abort does so at an exact point.
class RecordingMemo : public LogMemo
{
public:
    void AddMemoLine(const QString& line) override
    {
        {
            std::lock_guard lock(mutex);
            lines.append(line);
        }
        if (onLine)
            onLine(line);
    }
    void AppendToLastLine(const QString& text) override
    {
        {
            std::lock_guard lock(mutex);
            appended.append(text);
            if (!lines.isEmpty())
                lines.last() += text;
        }
        if (onAppend)
            onAppend();
    }

    std::mutex mutex;
    QStringList lines;
    QStringList appended;
    std::function<void(const QString&)> onLine;
    std::function<void()> onAppend;
};

class RecordingFrontEnd : public SessionEvents
{
public:
    void ShowError(const QString& text) override
    {
        errors.append(text);
        if (onError)
            onError(text);
    }
    void ShowIoError(const QString& text) override { ioErrors.append(text); }

    QStringList errors;
    QStringList ioErrors;
    std::function<void(const QString&)> onError;
};

// The read-out with everything it works on, over the simulator's pseudo-terminal.
struct Rig
{
    explicit Rig(const QJsonArray& meters, const ModemOptions& modemOptions = {})
        : log(home.path() + u'/', [] { return Now; })
    {
        log.SetMemo(&memo);
        general.globalTimeOut = 300;
        general.localTimeOut = 30;
        general.globalTry = 1;
        settings.startDate = QDate(2020, 1, 1);
        server.SetModem(modemOptions);
        ready =
            home.isValid() &&
            server.LoadMeterFile(QJsonDocument(QJsonObject{{"meters", meters}}).toJson(), error) &&
            server.OpenPty(QString(), error);
        settings.comPort = server.PtyPath();
    }

    // A read-out of the settings as they stand now, run on a thread of its own while the
    // stand-in meters answer on this one.
    void Run()
    {
        plan.Update(PlanFrom(settings));
        session = std::make_unique<ReadoutSession>(home.path() + u'/', log, frontEnd,
                                                   LineConfigFrom(settings, general), plan,
                                                   [] { return Now; });
        OffThread([this] { session->Run(); });
    }
    // The Abort button, from a hook on the session's thread.
    void Abort() { session->RequestAbort(); }
    // The settings changed by the user meanwhile reach the devices still to come.
    void Publish() { plan.Update(PlanFrom(settings)); }
    Channel& LineChannel() { return static_cast<Channel&>(session->line); }

    QString Path(const QString& relative) const { return home.path() + u'/' + relative; }

    // The day's log file, each line without its time stamp.
    QStringList LogLines() const { return UnstampedLogLines(log.LogFilePath(Now.date())); }

    QStringList AllFiles() const
    {
        QStringList found;
        QDirIterator it(home.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext())
            found.append(QDir(home.path()).relativeFilePath(it.next()));
        found.sort();
        return found;
    }

    QTemporaryDir home;
    SimServer server;
    RecordingMemo memo;
    ExchangeLog log;
    RecordingFrontEnd frontEnd;
    ReadoutSettings settings;
    GeneralSettings general;
    PlanSource plan;
    std::unique_ptr<ReadoutSession> session;
    bool ready = false;
    QString error;
};

QJsonObject Orvek307(int address, const QString& serial, const QJsonObject& extra = {})
{
    QJsonObject meter{
        {"family", 0},
        {"address", address},
        {"model", 307},
        {"serial", serial},
        {"clock", "2026-12-10T10:15:42"},
        {"layout", QJsonArray{16, 17}},
        {"names", QJsonObject{{"0x201", "V подачи"}, {"0x202", "V обратки"}}},
        {"key", 7},
        {"depth",
         QJsonObject{
             {"hourly", 3}, {"daily", 2}, {"monthly", 2}, {"integral", 2}, {"emergency", 2}}},
        {"events", QJsonArray{QJsonObject{{"time", "2026-12-09T08:00:00"}, {"text", "Вкл"}},
                              QJsonObject{{"time", "2026-12-10T09:00:00"}, {"text", "Откл"}}}},
        {"protected",
         QJsonArray{QJsonObject{{"time", "2026-11-30T12:00:00"}, {"text", "Смена пароля"}}}},
    };
    for (auto it = extra.begin(); it != extra.end(); ++it)
        meter.insert(it.key(), it.value());
    return meter;
}

void TickAll(ReadoutSettings& settings)
{
    settings.archiveHourly = settings.archiveDaily = settings.archiveMonthly = true;
    settings.archiveIntegral = settings.archiveEmergency = true;
    settings.eventLog = settings.protectedLog = true;
}

// Boxes by letter: H hourly, D daily, M monthly, I integral, E emergency, L event log,
// Z protected log.
void Tick(ReadoutSettings& settings, const QString& boxes)
{
    settings.archiveHourly = boxes.contains(u'H');
    settings.archiveDaily = boxes.contains(u'D');
    settings.archiveMonthly = boxes.contains(u'M');
    settings.archiveIntegral = boxes.contains(u'I');
    settings.archiveEmergency = boxes.contains(u'E');
    settings.eventLog = boxes.contains(u'L');
    settings.protectedLog = boxes.contains(u'Z');
}

// An export file: cp1251, every line ended by CR LF, no lone LF.
QStringList CsvLines(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {QStringLiteral("<missing %1>").arg(path)};
    const QByteArray bytes = file.readAll();
    if (!bytes.endsWith("\r\n") || bytes.count('\n') != bytes.count("\r\n"))
        return {QStringLiteral("<bad line ends>")};
    QStringList lines = DecodeAnsi(bytes).split(QStringLiteral("\r\n"));
    lines.removeLast();
    return lines;
}

quint32 U32(const QByteArray& block, int at)
{
    quint32 value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | quint8(block.at(at + i));
    return value;
}

} // namespace

class TestReadout : public QObject
{
    Q_OBJECT

private slots:
    void fullReadout();
    void failures_data();
    void failures();
    void abortDuringRecords_data();
    void abortDuringRecords();
    void unwritableDataFolder();
    void unsafeDeviceTexts_data();
    void unsafeDeviceTexts();
    void otherFamilies_data();
    void otherFamilies();
    void modem_data();
    void modem();
    void lineSettings_data();
    void lineSettings();
    void linePace_data();
    void linePace();
    void pausesOnTheWire_data();
    void pausesOnTheWire();
    void tcpPortOutOfRange_data();
    void tcpPortOutOfRange();
    void exportFileUnwritable_data();
    void exportFileUnwritable();
    void settingsChangedWhileRunning_data();
    void settingsChangedWhileRunning();
    void repeatedAddress();
};

void TestReadout::fullReadout()
{
    const QJsonObject meterObject = Orvek307(5, QStringLiteral("AB123456"));
    Rig rig(QJsonArray{meterObject});
    QVERIFY2(rig.ready, qPrintable(rig.error));
    rig.settings.addressText = QStringLiteral("5");
    TickAll(rig.settings);
    rig.Run();

    QCOMPARE(rig.frontEnd.errors, QStringList());
    QCOMPARE(rig.frontEnd.ioErrors, QStringList());
    const QString clock =
        Readout::ClockText(CalendarDateTime(QDate(2026, 12, 10), QTime(10, 15, 42)));
    // A new log file starts with an empty line; the channel logs its own opening.
    const QStringList expected = {
        QString(),
        QString(39, u'='),
        QStringLiteral("Адреса приборов: \"5\""),
        QStringLiteral("Порт ") + rig.server.PtyPath() + QStringLiteral(" скорость 19200"),
        QStringLiteral("открытие порта ") + rig.server.PtyPath() + QStringLiteral(" --> успешно"),
    };
    const QStringList lines = rig.LogLines();
    QVERIFY(lines.size() > expected.size());
    QCOMPARE(lines.mid(0, expected.size()), expected);
    const QStringList steps = {
        "******* прибор по адресу 5",
        "Определение типа прибора",
        "ОРВЕК-307",
        "Чтение даты и времени",
        "Дата - Время = " + clock,
        "Чтение заводского номера",
        "Зав. № = AB123456",
        "Чтение конфигурации архивов",
        "Выполнено",
        "Чтение имен параметров",
        "Выполнено 2",
        "Создание файла конфигурации",
        "Почасовой архив создание файла",
        "Чтение почасового архива",
        "Выполнено 3",
        "Посуточный архив создание файла",
        "Чтение посуточного архива",
        "Выполнено 2",
        "Помесячный архив создание файла",
        "Чтение помесячного архива",
        "Выполнено 2",
        "Помесячный интегральный архив создание файла",
        "Чтение интегрального помесячного архива",
        "Выполнено 2",
        "Аварийный посуточнный архив создание файла",
        "Чтение аварийного посуточного архива",
        "Выполнено 2",
        "Создание файла журнала событий",
        "Чтение журнала событий",
        "Выполнено 2",
        "Создание файла защищенного журнала",
        "Чтение защищенного журнала",
        "Выполнено 1",
        "закрытие порта",
    };
    QCOMPARE(lines.mid(expected.size()), steps);
    QVERIFY(!lines.contains(QStringLiteral("---")));
    // Memo-only marks: the "---" before the names, before each archive and log, and
    // one progress line per record.
    QCOMPARE(rig.memo.lines.count(QStringLiteral("---")), 1 + 5 + 2);
    QVERIFY(rig.memo.lines.contains(QStringLiteral("10.12.2026 10:00 --> 3")));
    QVERIFY(rig.memo.lines.contains(QStringLiteral("10.12.2026 09:00:00 --> 2")));
    QVERIFY(rig.memo.lines.contains(QStringLiteral("30.11.2026 --> 1")));

    const QString folder = Day + QStringLiteral("ОРВЕК-307/AB123456/");
    QStringList expectedFiles = {QStringLiteral("Protocols/2026-12-10.log")};
    for (const char* suffix : {"CFG", "LOG", "LOGZ"})
        expectedFiles.append(folder + "1210" + suffix + ".csv");
    for (const char* suffix : {"H0", "A0", "O0", "I0", "EA0"}) {
        expectedFiles.append(folder + "1210" + suffix + ".csv");
        expectedFiles.append(folder + "1210" + suffix + ".dat");
    }
    expectedFiles.append(QStringLiteral("Reports/2026-12-10/120000.csv"));
    expectedFiles.sort();
    QCOMPARE(rig.AllFiles(), expectedFiles);

    const QString head1 = QStringLiteral("Прибор: ОРВЕК-307");
    const QString head2 = QStringLiteral("Серийный номер: AB123456");
    QCOMPARE(CsvLines(rig.Path(folder + "1210CFG.csv")),
             QStringList({head1, head2, "Конфигурация", "Индекс;Тип;Наименование",
                          "0;Объем;V подачи", "1;Объем;V обратки"}));
    QCOMPARE(CsvLines(rig.Path(folder + "1210LOG.csv")),
             QStringList({head1, head2, "Журнал событий", "Дата;События;",
                          "09.12.2026 08:00:00;Вкл;", "10.12.2026 09:00:00;Откл;"}));
    QCOMPARE(CsvLines(rig.Path(folder + "1210LOGZ.csv")),
             QStringList(
                 {head1, head2, "Защищенный журнал", "Дата;События;", "30.11.2026;Смена пароля;"}));

    // The first hourly line, built from the meter's own reply bytes.
    QString error;
    const std::unique_ptr<Meter> reference = Meter::FromJson(meterObject, error);
    QVERIFY2(reference, qPrintable(error));
    MeterRequest start;
    start.function = 16;
    start.firstRegister = 96;
    start.count = 2;
    start.data = QByteArray::fromHex("00010114"); // 2020-01-01, hour 0
    reference->Handle(start);
    MeterRequest first;
    first.function = 3;
    first.firstRegister = 0x00;
    first.count = 1;
    const QByteArray block = reference->Handle(first).data;
    QVERIFY(block.size() >= 26);
    QString line =
        FormatDateTimeMinutes(CalendarDateTime(
            QDate(2000 + quint8(block.at(17)), quint8(block.at(16)), quint8(block.at(15))),
            QTime(quint8(block.at(14)), 0))) +
        u';';
    for (int slot = 0; slot < 2; ++slot) {
        const quint32 bits = U32(block, 18 + 4 * slot);
        float value = 0;
        std::memcpy(&value, &bits, sizeof value);
        line += FormatNumberCell(double(value)) + u';';
    }
    const QStringList hourly = CsvLines(rig.Path(folder + "1210H0.csv"));
    QCOMPARE(hourly.size(), 4 + 3);
    QCOMPARE(hourly.mid(0, 4),
             QStringList({head1, head2, "Почасовой архив", "Дата;V подачи;V обратки;"}));
    QCOMPARE(hourly.at(4), line);
    QCOMPARE(CsvLines(rig.Path(folder + "1210EA0.csv")).at(2),
             QStringLiteral("Аварийный посуточнный архив"));

    // Each copy holds its file's bytes plus the four bytes of check value and key.
    for (const char* suffix : {"H0", "A0", "O0", "I0", "EA0"}) {
        QFile csv(rig.Path(folder + "1210" + suffix + ".csv"));
        QFile dat(rig.Path(folder + "1210" + suffix + ".dat"));
        QVERIFY(csv.open(QIODevice::ReadOnly) && dat.open(QIODevice::ReadOnly));
        QCOMPARE(dat.size(), csv.size() + 4);
    }
    QCOMPARE(rig.LineChannel().Kind(), ChannelKind::Closed);
}

void TestReadout::failures_data()
{
    QTest::addColumn<QJsonArray>("meters");
    QTest::addColumn<QString>("addresses");
    QTest::addColumn<int>("family");
    QTest::addColumn<QString>("boxes");
    QTest::addColumn<QString>("comSpeed");
    QTest::addColumn<QStringList>("errors");
    QTest::addColumn<QStringList>("logInOrder");
    QTest::addColumn<QStringList>("present");
    QTest::addColumn<QStringList>("absent");
    QTest::addColumn<bool>("abortOnError");     // the button, pressed while a message shows
    QTest::addColumn<QStringList>("notLogged"); // no log line starts so

    const QString noReply = ResultCodeText(Rc::NoReply);
    const QString dev1 = Day + QStringLiteral("ОРВЕК-307/11111111/1210");
    const QString dev2 = Day + QStringLiteral("ОРВЕК-307/22222222/1210");
    const QJsonObject second = Orvek307(2, QStringLiteral("22222222"));

    QTest::newRow("silent device, then the next")
        << QJsonArray{Orvek307(1, "11111111", {{"faults", QJsonObject{{"silent", true}}}}), second}
        << "1 2" << 0 << "H"
        << "19200" << QStringList{noReply, noReply}
        << QStringList{"******* прибор по адресу 1",
                       "Определение типа прибора",
                       noReply,
                       "ОРВЕК-30x",
                       "Чтение даты и времени",
                       noReply,
                       "******* прибор по адресу 2",
                       "Зав. № = 22222222",
                       "Чтение почасового архива",
                       "Выполнено 3",
                       "закрытие порта"}
        << QStringList{dev2 + "H0.csv", dev2 + "H0.dat"} << QStringList{} << false << QStringList{};

    QTest::newRow("unknown model, clock still read")
        << QJsonArray{Orvek307(1, "11111111", {{"model", 305}})} << "1" << 0 << ""
        << "19200" << QStringList{ResultCodeText(Rc::UnknownDevice) + QStringLiteral(": ID = 305")}
        << QStringList{"Определение типа прибора",
                       ResultCodeText(Rc::UnknownDevice) + QStringLiteral(": ID = 305"), "ID = 305",
                       "Чтение даты и времени",
                       "Дата - Время = " + Readout::ClockText(CalendarDateTime(QDate(2026, 12, 10),
                                                                               QTime(10, 15, 42)))}
        << QStringList{} << QStringList{} << false << QStringList{};

    QTest::newRow("empty archive and empty log")
        << QJsonArray{Orvek307(1, "11111111",
                               {{"depth", QJsonObject{{"hourly", 0}}}, {"events", QJsonArray{}}})}
        << "1" << 0 << "HL"
        << "19200" << QStringList{}
        << QStringList{"Чтение почасового архива",       "Нет данных в архиве",
                       "Создание файла журнала событий", "Чтение журнала событий",
                       "Нет данных в журнале",           "закрытие порта"}
        << QStringList{dev1 + "H0.csv", dev1 + "H0.dat", dev1 + "LOG.csv"} << QStringList{} << false
        << QStringList{};

    QTest::newRow("later record fails: copy made, next device")
        << QJsonArray{Orvek307(1, "11111111",
                               {{"faults",
                                 QJsonObject{{"exceptionRegister", 5}, {"exceptionCode", 2}}}}),
                      second}
        << "1 2" << 0 << "HD"
        << "19200" << QStringList{ResultCodeText(ResultCode::Exception(2))}
        << QStringList{"Чтение почасового архива", ResultCodeText(ResultCode::Exception(2)),
                       "******* прибор по адресу 2", "Чтение посуточного архива"}
        << QStringList{dev1 + "H0.csv", dev1 + "H0.dat", dev2 + "A0.csv"}
        << QStringList{dev1 + "A0.csv"} << false << QStringList{};

    // ИЛЬМ keeps no integral archive and no event log.
    const auto ilm = [](int address, const QString& serial) {
        return QJsonObject{{"family", 1},
                           {"address", address},
                           {"serial", serial},
                           {"clock", "2026-12-10T10:00:00"},
                           {"depth", QJsonObject{{"hourly", 2}, {"daily", 2}, {"monthly", 2}}}};
    };
    const QString ilm1 = Day + QStringLiteral("ИЛЬМ-4/11111111/1210");
    const QString ilm2 = Day + QStringLiteral("ИЛЬМ-4/22222222/1210");
    QTest::newRow("family without the archive: nothing shown, next device")
        << QJsonArray{ilm(1, "11111111"), ilm(2, "22222222")} << "1 2" << 1 << "DIL"
        << "19200" << QStringList{}
        << QStringList{"******* прибор по адресу 1",
                       "Чтение посуточного архива",
                       "Выполнено 2",
                       "******* прибор по адресу 2",
                       "Чтение посуточного архива",
                       "Выполнено 2",
                       "закрытие порта"}
        << QStringList{ilm1 + "A0.csv", ilm2 + "A0.csv"}
        << QStringList{ilm1 + "I0.csv", ilm1 + "LOG.csv", ilm2 + "I0.csv", ilm2 + "LOG.csv"}
        << false << QStringList{};

    QTest::newRow("bad speed: nothing opened")
        << QJsonArray{Orvek307(1, "11111111")} << "1" << 0 << "H"
        << "19200 baud" << QStringList{ResultCodeText(Rc::InvalidParameter)}
        << QStringList{"Адреса приборов: \"1\"", ResultCodeText(Rc::InvalidParameter)}
        << QStringList{} << QStringList{"Data"} << false << QStringList{"открытие порта"};

    // Never read as some other family.
    QTest::newRow("family no family has: nothing opened")
        << QJsonArray{Orvek307(1, "11111111")} << "1" << 7 << "H"
        << "19200" << QStringList{ResultCodeText(Rc::UnknownDevice) + QStringLiteral(": 7")}
        << QStringList{"Адреса приборов: \"1\"", ResultCodeText(Rc::UnknownDevice) + ": 7"}
        << QStringList{} << QStringList{"Data"} << false << QStringList{"открытие порта"};

    QTest::newRow("address text refused: nothing logged or opened")
        << QJsonArray{Orvek307(1, "11111111")} << "1 300" << 0 << "H"
        << "19200" << QStringList{ParseAddressList(QStringLiteral("1 300")).error} << QStringList{}
        << QStringList{} << QStringList{"Data", "Protocols"} << false << QStringList{};

    QTest::newRow("empty address text: line opened and closed")
        << QJsonArray{Orvek307(1, "11111111")} << "" << 0 << "H"
        << "19200" << QStringList{}
        << QStringList{QString(39, u'='), "Адреса приборов: \"\"", "закрытие порта"}
        << QStringList{} << QStringList{"Data"} << false << QStringList{};

    // The abort ends the next wait on the silent device at once: neither its clock's
    // time-outs nor the next device are waited for.
    QTest::newRow("abort while a silent device is reported: ends at the next wait")
        << QJsonArray{Orvek307(1, "11111111", {{"faults", QJsonObject{{"silent", true}}}}), second}
        << "1 2" << 0 << "H"
        << "19200" << QStringList{noReply} << QStringList{"Определение типа прибора",
                                                          noReply,
                                                          "ОРВЕК-30x",
                                                          "Чтение даты и времени",
                                                          "Операция прервана",
                                                          "закрытие порта"}
        << QStringList{} << QStringList{dev2 + "CFG.csv"} << true
        << QStringList{"******* прибор по адресу 2"};

    QTest::newRow("later event record fails: the protected log follows")
        << QJsonArray{Orvek307(1, "11111111",
                               {{"faults",
                                 QJsonObject{{"exceptionRegister", 0x55}, {"exceptionCode", 4}}}}),
                      second}
        << "1 2" << 0 << "LZ"
        << "19200" << QStringList{ResultCodeText(ResultCode::Exception(4))}
        << QStringList{"Чтение журнала событий",
                       ResultCodeText(ResultCode::Exception(4)),
                       "Выполнено 1",
                       "Чтение защищенного журнала",
                       "Выполнено 1",
                       "******* прибор по адресу 2"}
        << QStringList{dev1 + "LOG.csv", dev1 + "LOGZ.csv", dev2 + "LOGZ.csv"} << QStringList{}
        << false << QStringList{};

    QTest::newRow("first event record refused: next device")
        << QJsonArray{Orvek307(1, "11111111",
                               {{"faults",
                                 QJsonObject{{"exceptionRegister", 0x50}, {"exceptionCode", 2}}}}),
                      second}
        << "1 2" << 0 << "LZ"
        << "19200" << QStringList{ResultCodeText(ResultCode::Exception(2))}
        << QStringList{"Чтение журнала событий", ResultCodeText(ResultCode::Exception(2)),
                       "******* прибор по адресу 2", "Чтение защищенного журнала"}
        << QStringList{dev1 + "LOG.csv", dev2 + "LOGZ.csv"} << QStringList{dev1 + "LOGZ.csv"}
        << false << QStringList{"Выполнено 0"};

    // This family leaves the decoding detail alone for its logs: the event log's message
    // still gets its ": " (the detail is empty), the protected log's stays plain.
    const QJsonObject badDates{{"faults", QJsonObject{{"badRecordDates", true}}}};
    QTest::newRow("first event record undecodable: message with the empty detail")
        << QJsonArray{Orvek307(1, "11111111", badDates), second} << "1 2" << 0 << "LZ"
        << "19200" << QStringList{ResultCodeText(Rc::LogDecodeError) + QStringLiteral(": ")}
        << QStringList{"Чтение журнала событий",
                       ResultCodeText(Rc::LogDecodeError) + QStringLiteral(": "),
                       "******* прибор по адресу 2", "Чтение защищенного журнала", "Выполнено 1"}
        << QStringList{dev1 + "LOG.csv", dev2 + "LOG.csv", dev2 + "LOGZ.csv"}
        << QStringList{dev1 + "LOGZ.csv"} << false << QStringList{"Выполнено 0"};
    QTest::newRow("first protected record undecodable: plain message")
        << QJsonArray{Orvek307(1, "11111111", badDates)} << "1" << 0 << "Z"
        << "19200" << QStringList{ResultCodeText(Rc::LogDecodeError)}
        << QStringList{"Чтение защищенного журнала", ResultCodeText(Rc::LogDecodeError),
                       "закрытие порта"}
        << QStringList{dev1 + "LOGZ.csv"} << QStringList{} << false << QStringList{};

    QTest::newRow("impossible record dates: the decoding detail is shown")
        << QJsonArray{QJsonObject{{"family", 2},
                                  {"address", 1},
                                  {"model", 223},
                                  {"serial", "22300042"},
                                  {"clock", "2026-12-10T10:30:00"},
                                  {"clockRuns", false},
                                  {"depth", QJsonObject{{"daily", 2}, {"integralDaily", 2}}},
                                  {"faults", QJsonObject{{"badRecordDates", true}}}}}
        << "1" << 2 << "D"
        << "19200" << QStringList{ResultCodeText(Rc::ArchiveDecodeError) + ": *"}
        << QStringList{"Чтение посуточного архива"} << QStringList{}
        << QStringList{Day + "ОРВЕК-223/22300042/1210A0.dat",
                       Day + "ОРВЕК-223/22300042/1210IA0.csv"}
        << false << QStringList{};
}

void TestReadout::failures()
{
    QFETCH(QJsonArray, meters);
    QFETCH(QString, addresses);
    QFETCH(int, family);
    QFETCH(QString, boxes);
    QFETCH(QString, comSpeed);
    QFETCH(QStringList, errors);
    QFETCH(QStringList, logInOrder);
    QFETCH(QStringList, present);
    QFETCH(QStringList, absent);
    QFETCH(bool, abortOnError);
    QFETCH(QStringList, notLogged);

    Rig rig(meters);
    QVERIFY2(rig.ready, qPrintable(rig.error));
    if (abortOnError)
        rig.frontEnd.onError = [&rig](const QString&) {
            rig.Abort();
        };
    rig.settings.addressText = addresses;
    rig.settings.family = family;
    rig.settings.comSpeed = comSpeed;
    Tick(rig.settings, boxes);
    rig.Run();

    // An expected message ending in "*" gives only its beginning.
    QCOMPARE(rig.frontEnd.errors.size(), errors.size());
    for (qsizetype i = 0; i < errors.size(); ++i) {
        const QString& want = errors.at(i);
        if (want.endsWith(u'*'))
            QVERIFY2(rig.frontEnd.errors.at(i).startsWith(want.chopped(1)) &&
                         rig.frontEnd.errors.at(i).size() > want.size(),
                     qPrintable(rig.frontEnd.errors.at(i)));
        else
            QCOMPARE(rig.frontEnd.errors.at(i), want);
    }
    const QStringList lines = rig.LogLines();
    QString missing;
    QVERIFY2(InOrder(lines, logInOrder, missing),
             qPrintable(missing + QStringLiteral(" not in order in:\n") + lines.join(u'\n')));
    for (const QString& start : notLogged) {
        for (const QString& line : lines)
            QVERIFY2(!line.startsWith(start), qPrintable(line));
    }
    for (const QString& file : present)
        QVERIFY2(QFileInfo::exists(rig.Path(file)), qPrintable(file));
    for (const QString& file : absent)
        QVERIFY2(!QFileInfo::exists(rig.Path(file)), qPrintable(file));
    QCOMPARE(rig.LineChannel().Kind(), ChannelKind::Closed);
}

void TestReadout::abortDuringRecords_data()
{
    QTest::addColumn<QString>("boxes");
    QTest::addColumn<QString>("pressedAt"); // the memo line that ends so
    QTest::addColumn<QString>("suffix");    // the file being written
    QTest::addColumn<int>("rows");
    QTest::addColumn<QStringList>("absent"); // of the first device
    QTest::addColumn<QStringList>("tail");

    const QString clock =
        "Дата - Время = " +
        Readout::ClockText(CalendarDateTime(QDate(2026, 12, 10), QTime(10, 15, 42)));
    // An aborted archive sends the read-out on to the next device, which stops after
    // its names; an aborted log ends the read-out at once.
    QTest::newRow("hourly archive of the first of two")
        << "HD"
        << " --> 2"
        << "H0" << 2 << QStringList{"H0.dat", "A0.csv"}
        << QStringList{"Чтение почасового архива",
                       "Операция прервана",
                       "******* прибор по адресу 2",
                       "Определение типа прибора",
                       "ОРВЕК-307",
                       "Чтение даты и времени",
                       clock,
                       "Чтение заводского номера",
                       "Зав. № = 22222222",
                       "Чтение конфигурации архивов",
                       "Выполнено",
                       "Чтение имен параметров",
                       "Операция прервана",
                       "закрытие порта"};
    QTest::newRow("event log") << "LZ"
                               << " --> 1"
                               << "LOG" << 1 << QStringList{"LOGZ.csv"}
                               << QStringList{"Чтение журнала событий", "Операция прервана",
                                              "закрытие порта"};
}

void TestReadout::abortDuringRecords()
{
    QFETCH(QString, boxes);
    QFETCH(QString, pressedAt);
    QFETCH(QString, suffix);
    QFETCH(int, rows);
    QFETCH(QStringList, absent);
    QFETCH(QStringList, tail);

    Rig rig(QJsonArray{Orvek307(1, "11111111"), Orvek307(2, "22222222")});
    QVERIFY2(rig.ready, qPrintable(rig.error));
    rig.settings.addressText = QStringLiteral("1 2");
    Tick(rig.settings, boxes);
    rig.memo.onLine = [&rig, pressedAt](const QString& line) {
        if (line.endsWith(pressedAt))
            rig.Abort();
    };
    rig.Run();

    QCOMPARE(rig.frontEnd.errors, QStringList());
    const QString dev1 = Day + QStringLiteral("ОРВЕК-307/11111111/1210");
    QCOMPARE(CsvLines(rig.Path(dev1 + suffix + ".csv")).size(), 4 + rows);
    for (const QString& file : absent)
        QVERIFY2(!QFileInfo::exists(rig.Path(dev1 + file)), qPrintable(file));

    const QStringList lines = rig.LogLines();
    QVERIFY(lines.size() >= tail.size());
    QCOMPARE(lines.mid(lines.size() - tail.size()), tail);
    QVERIFY(!QFileInfo::exists(rig.Path(Day + QStringLiteral("ОРВЕК-307/22222222"))));
}

void TestReadout::unwritableDataFolder()
{
    Rig rig(QJsonArray{Orvek307(1, "11111111"), Orvek307(2, "22222222")});
    QVERIFY2(rig.ready, qPrintable(rig.error));
    QFile blocker(rig.Path(QStringLiteral("Data")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    rig.settings.addressText = QStringLiteral("1 2");
    rig.Run();

    QCOMPARE(rig.frontEnd.errors, QStringList());
    const QStringList lines = rig.LogLines();
    const QStringList tail = {"Создание файла конфигурации",
                              QStringLiteral("Ошибка \"%1\" создания папки \"%2\"")
                                  .arg(EEXIST)
                                  .arg(QDir::toNativeSeparators(rig.Path(QStringLiteral("Data")))),
                              "закрытие порта"};
    QVERIFY(lines.size() >= tail.size());
    QCOMPARE(lines.mid(lines.size() - tail.size()), tail);
    QVERIFY(!lines.contains(QStringLiteral("******* прибор по адресу 2")));
    QCOMPARE(rig.LineChannel().Kind(), ChannelKind::Closed);
}

void TestReadout::unsafeDeviceTexts_data()
{
    QTest::addColumn<QString>("deviceName");
    QTest::addColumn<QString>("serial");
    QTest::addColumn<QString>("refusedLevel"); // below Data/2026-12-10

    QTest::newRow("serial climbing up") << "ОРВЕК-307"
                                        << "..\\..\\xx"
                                        << "ОРВЕК-307/..\\..\\xx";
    QTest::newRow("serial with a slash") << "ОРВЕК-307"
                                         << "a/b12345"
                                         << "ОРВЕК-307/a/b12345";
    QTest::newRow("serial with a colon") << "ОРВЕК-307"
                                         << "ab:12345"
                                         << "ОРВЕК-307/ab:12345";
    QTest::newRow("name is ..") << ".."
                                << "12345678"
                                << "..";
    QTest::newRow("serial is .") << "ОРВЕК-307"
                                 << "."
                                 << "ОРВЕК-307/.";
    QTest::newRow("empty serial") << "ОРВЕК-307"
                                  << ""
                                  << "ОРВЕК-307/";
    QTest::newRow("name with a control character") << "A\tB"
                                                   << "12345678"
                                                   << "A\tB";
    QTest::newRow("name with a star") << "A*B"
                                      << "12345678"
                                      << "A*B";
}

void TestReadout::unsafeDeviceTexts()
{
    QFETCH(QString, deviceName);
    QFETCH(QString, serial);
    QFETCH(QString, refusedLevel);

    QTemporaryDir home;
    QVERIFY(home.isValid());
    ExchangeLog log(home.path() + u'/', [] { return Now; });
    ExportFiles files(log, home.path() + u'/', [] { return Now; });
    files.DeviceName = deviceName;
    files.SerialNumber = serial;
    QVERIFY(!files.CreateExportFile(QStringLiteral("CFG")));

    QFile logFile(log.LogFilePath(Now.date()));
    QVERIFY(logFile.open(QIODevice::ReadOnly));
    const QString expected =
        QStringLiteral("Ошибка \"%1\"создания папки \"%2\"")
            .arg(EINVAL)
            .arg(QDir::toNativeSeparators(home.path() + u'/' + Day + refusedLevel));
    QVERIFY2(DecodeAnsi(logFile.readAll()).contains(expected), qPrintable(expected));
    // Nothing but the log and the folders up to the refused level.
    QDirIterator it(home.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    QStringList found;
    while (it.hasNext())
        found.append(QDir(home.path()).relativeFilePath(it.next()));
    QCOMPARE(found, QStringList{QStringLiteral("Protocols/2026-12-10.log")});
}

void TestReadout::otherFamilies_data()
{
    QTest::addColumn<QJsonObject>("meter");
    QTest::addColumn<int>("family");
    QTest::addColumn<QString>("boxes");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QStringList>("archives"); // suffix=title, in reading order

    QTest::newRow("ИЛЬМ") << QJsonObject{{"family", 1},
                                         {"address", 3},
                                         {"serial", "20190719"},
                                         {"clock", "2026-12-10T10:00:00"},
                                         {"depth",
                                          QJsonObject{{"hourly", 2}, {"daily", 2}, {"monthly", 2}}}}
                          << 1 << "HDM"
                          << "ИЛЬМ-4/20190719"
                          << QStringList{"H0=Почасовой архив", "A0=Посуточный архив",
                                         "O0=Помесячный архив"};
    QTest::newRow("ОРВЕК-223") << QJsonObject{{"family", 2},
                                              {"address", 3},
                                              {"model", 223},
                                              {"serial", "22300042"},
                                              {"clock", "2026-12-10T10:30:00"},
                                              {"clockRuns", false},
                                              {"depth", QJsonObject{{"hourly", 2},
                                                                    {"daily", 2},
                                                                    {"monthly", 2},
                                                                    {"integralDaily", 2},
                                                                    {"integralMonthly", 2},
                                                                    {"events", 2}}}}
                               << 2 << "HDMIL"
                               << "ОРВЕК-223/22300042"
                               << QStringList{"H0=Почасовой архив", "A0=Посуточный архив",
                                              "IA0=Посуточный интегральный архив",
                                              "O0=Помесячный архив",
                                              "I0=Помесячный интегральный архив"};
}

void TestReadout::otherFamilies()
{
    QFETCH(QJsonObject, meter);
    QFETCH(int, family);
    QFETCH(QString, boxes);
    QFETCH(QString, folder);
    QFETCH(QStringList, archives);

    Rig rig(QJsonArray{meter});
    QVERIFY2(rig.ready, qPrintable(rig.error));
    rig.settings.addressText = QStringLiteral("3");
    rig.settings.family = family;
    Tick(rig.settings, boxes);
    rig.Run();
    QCOMPARE(rig.frontEnd.errors, QStringList());

    const QString base = Day + folder + QStringLiteral("/1210");
    const QStringList config = CsvLines(rig.Path(base + "CFG.csv"));
    QVERIFY(config.size() > 4);
    QString header = QStringLiteral("Дата;");
    for (const QString& line : config.mid(4))
        header += line.section(u';', 2) + u';';

    QStringList titles;
    for (const QString& archive : archives) {
        const QString suffix = archive.section(u'=', 0, 0);
        const QString title = archive.section(u'=', 1);
        const QStringList lines = CsvLines(rig.Path(base + suffix + ".csv"));
        QVERIFY2(lines.size() > 4, qPrintable(suffix));
        QCOMPARE(lines.at(0), config.at(0));
        QCOMPARE(lines.at(1), config.at(1));
        QCOMPARE(lines.at(2), title);
        QCOMPARE(lines.at(3), header);
        QCOMPARE(lines.at(4).count(u';'), config.size() - 4 + 1);
        QVERIFY(QFileInfo::exists(rig.Path(base + suffix + ".dat")));
        titles.append(title + QStringLiteral(" создание файла"));
    }
    QString missing;
    QVERIFY2(InOrder(rig.LogLines(), titles, missing), qPrintable(missing));
    if (boxes.contains(u'L'))
        QCOMPARE(CsvLines(rig.Path(base + "LOG.csv")).at(2), QStringLiteral("Журнал событий"));
}

void TestReadout::modem_data()
{
    QTest::addColumn<bool>("answersOk");
    QTest::addColumn<bool>("connects");
    QTest::addColumn<QStringList>("errors");
    QTest::addColumn<QStringList>("logInOrder");
    QTest::addColumn<bool>("deviceRead");

    QTest::newRow("OK, then CONNECT")
        << true << true << QStringList{} << QStringList{">> AT",
                                                        "<< OK",
                                                        ">> ATD5551234",
                                                        "<< CONNECT 9600",
                                                        "******* прибор по адресу 1",
                                                        "закрытие порта"}
        << true;
    QTest::newRow("no OK") << false << true << QStringList{"Нет ответа от модема"}
                           << QStringList{">> AT", "<< ERROR", "Нет ответа от модема",
                                          "закрытие порта"}
                           << false;
    QTest::newRow("abort while dialing")
        << true << false << QStringList{}
        << QStringList{">> AT", "<< OK", ">> ATD5551234", "Операция прервана", "закрытие порта"}
        << false;
}

void TestReadout::modem()
{
    QFETCH(bool, answersOk);
    QFETCH(bool, connects);
    QFETCH(QStringList, errors);
    QFETCH(QStringList, logInOrder);
    QFETCH(bool, deviceRead);

    ModemOptions options;
    options.enabled = true;
    options.connectDelayMs = 200;
    options.answersOk = answersOk;
    options.connects = connects;
    Rig rig(QJsonArray{Orvek307(1, "11111111")}, options);
    QVERIFY2(rig.ready, qPrintable(rig.error));
    rig.settings.addressText = QStringLiteral("1");
    rig.settings.modem = true;
    rig.settings.dialString = QStringLiteral("ATD5551234");
    // The button, pressed after two empty waits for CONNECT.
    rig.memo.onAppend = [&rig] {
        if (rig.memo.appended.size() == 2)
            rig.Abort();
    };
    rig.Run();

    QCOMPARE(rig.frontEnd.errors, errors);
    const QStringList lines = rig.LogLines();
    QString missing;
    QVERIFY2(InOrder(lines, logInOrder, missing),
             qPrintable(missing + QStringLiteral(" not in order in:\n") + lines.join(u'\n')));
    QCOMPARE(lines.contains(QStringLiteral("******* прибор по адресу 1")), deviceRead);
    if (!connects)
        QCOMPARE(rig.memo.appended, QStringList({" *", " *"}));
    QCOMPARE(rig.LineChannel().Kind(), ChannelKind::Closed);
}

void TestReadout::lineSettings_data()
{
    QTest::addColumn<bool>("echo");
    QTest::addColumn<bool>("showLog");
    QTest::addColumn<bool>("tcp");
    QTest::addColumn<int>("replyDelay");
    QTest::addColumn<int>("frameDumps");

    QTest::newRow("serial port") << false << false << false << 50 << 0;
    QTest::newRow("M-Bus, frames shown") << true << true << false << 250 << 1;
    QTest::newRow("TCP gateway on this machine") << false << false << true << 50 << 0;
}

void TestReadout::lineSettings()
{
    QFETCH(bool, echo);
    QFETCH(bool, showLog);
    QFETCH(bool, tcp);
    QFETCH(int, replyDelay);
    QFETCH(int, frameDumps);

    Rig rig(QJsonArray{Orvek307(1, "11111111")});
    QVERIFY2(rig.ready, qPrintable(rig.error));
    QVERIFY2(rig.server.ListenTcp(QHostAddress::LocalHost, 0, rig.error), qPrintable(rig.error));
    // An M-Bus line hands every request back ahead of the reply.
    rig.server.SetEcho(echo);
    rig.settings.addressText = QStringLiteral("1");
    rig.settings.echo = echo;
    rig.settings.showLog = showLog;
    rig.settings.useTcp = tcp;
    rig.settings.tcpHost = QStringLiteral("127.0.0.1");
    rig.settings.tcpPort = rig.server.TcpPort();
    rig.Run();

    QCOMPARE(rig.frontEnd.errors, QStringList());
    const LineConfig& line = rig.session->master.Config();
    QCOMPARE(line.ReplyPause(), replyDelay);
    QCOMPARE(line.echo, echo);
    QCOMPARE(line.showLog, frameDumps);
    const QStringList lines = rig.LogLines();
    const QString portLine =
        tcp ? QStringLiteral("Порт %1 по IP адресу 127.0.0.1").arg(rig.server.TcpPort())
            : QStringLiteral("Порт %1 скорость 19200").arg(rig.server.PtyPath());
    QVERIFY2(lines.contains(portLine), qPrintable(lines.join(u'\n')));
    QVERIFY(lines.contains(QStringLiteral("Зав. № = 11111111")));
    QCOMPARE(lines.filter(QRegularExpression(QStringLiteral("^>> "))).isEmpty(), !showLog);
    QCOMPARE(rig.LineChannel().TcpHost(), tcp ? QStringLiteral("127.0.0.1") : QString());
}

void TestReadout::linePace_data()
{
    QTest::addColumn<int>("sendPause");
    QTest::addColumn<int>("replyPause");
    QTest::addColumn<bool>("echo");
    QTest::addColumn<int>("sent");
    QTest::addColumn<int>("replied");
    QTest::newRow("the line's own") << 100 << -1 << false << 100 << 50;
    QTest::newRow("the line's own on M-Bus") << 100 << -1 << true << 100 << 250;
    QTest::newRow("a gateway that keeps up") << 0 << 0 << false << 0 << 0;
    QTest::newRow("set on M-Bus") << 20 << 5 << true << 20 << 5;
}

// The pauses of a read-out are those of its settings, set before the line opens.
void TestReadout::linePace()
{
    QFETCH(int, sendPause);
    QFETCH(int, replyPause);
    QFETCH(bool, echo);
    QFETCH(int, sent);
    QFETCH(int, replied);
    Rig rig(QJsonArray{Orvek307(1, "11111111")});
    QVERIFY2(rig.ready, qPrintable(rig.error));
    rig.settings.addressText = QStringLiteral("1");
    rig.settings.comPort = rig.Path(QStringLiteral("no such port"));
    rig.settings.sendPause = sendPause;
    rig.settings.replyPause = replyPause;
    rig.settings.echo = echo;
    rig.Run();
    QCOMPARE(rig.frontEnd.errors, QStringList{ResultCodeText(Rc::PortNotOpen)});
    QCOMPARE(rig.session->master.Config().sendPause, sent);
    QCOMPARE(rig.session->master.Config().ReplyPause(), replied);
}

void TestReadout::pausesOnTheWire_data()
{
    QTest::addColumn<QStringList>("general"); // keys of [General]
    QTest::addColumn<bool>("mbus");
    QTest::addColumn<std::optional<int>>("sendOption");
    QTest::addColumn<std::optional<int>>("replyOption");
    QTest::addColumn<int>("first"); // ms of quiet before the first request
    QTest::addColumn<int>("gap");   // ms from a reply to the next request
    const std::optional<int> none;
    QTest::newRow("no keys") << QStringList{} << false << none << none << 100 << 150;
    QTest::newRow("no keys, M-Bus") << QStringList{} << true << none << none << 100 << 350;
    QTest::newRow("keys") << QStringList{"SendPause=20", "ReplyPause=5"} << false << none << none
                          << 20 << 25;
    QTest::newRow("keys, M-Bus") << QStringList{"SendPause=20", "ReplyPause=5"} << true << none
                                 << none << 20 << 25;
    QTest::newRow("send pause only, M-Bus")
        << QStringList{"SendPause=0"} << true << none << none << 0 << 250;
    QTest::newRow("options over the keys")
        << QStringList{"SendPause=20", "ReplyPause=5"} << false << std::optional<int>(0)
        << std::optional<int>(3) << 0 << 3;
}

// From the settings file and the options to the line: what passes between a meter's
// reply and the next request, on a line that keeps its own time.
void TestReadout::pausesOnTheWire()
{
    QFETCH(QStringList, general);
    QFETCH(bool, mbus);
    QFETCH(std::optional<int>, sendOption);
    QFETCH(std::optional<int>, replyOption);
    QFETCH(int, first);
    QFETCH(int, gap);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString iniPath = dir.filePath(QStringLiteral("OrvekData.ini"));
    QFile file(iniPath);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write((QStringList{"[General]"} + general).join(QStringLiteral("\r\n")).toLatin1() +
               "\r\n");
    file.close();
    const IniFile ini(iniPath);
    ReadOptions options;
    options.port = QStringLiteral("ttyS0");
    options.speed = QStringLiteral("9600");
    options.mbus = mbus;
    options.sendPause = sendOption;
    options.replyPause = replyOption;
    ReadoutSettings settings;
    QString error;
    QVERIFY2(BuildReadSettings(options, ini, ReadGeneralSettings(ini), QDate(2026, 12, 1), settings,
                               error),
             qPrintable(error));

    ExchangeLog log(dir.path() + u'/');
    MemoryLine line;
    const QByteArray reply = QByteArray::fromHex("0103021234B533");
    line.SetResponder([&](QByteArrayView request) {
        return std::optional<QByteArray>((mbus ? request.toByteArray() : QByteArray()) + reply);
    });
    ModbusMaster master(line, log);
    const LineConfig config = LineConfigFrom(settings, ReadGeneralSettings(ini));
    QVERIFY(LineConfigUsable(config));
    master.Configure(config);
    std::array<quint8, 2> value{};
    for (int i = 0; i < 3; ++i) {
        quint16 count = 1;
        QCOMPARE(master.ReadHoldingRegisters(1, 0, count, value), Rc::Ok);
    }
    QCOMPARE(line.SentAt(), QList<qint64>({first, first + gap, first + 2 * gap}));
}

void TestReadout::tcpPortOutOfRange_data()
{
    QTest::addColumn<int>("port");
    QTest::newRow("0") << 0;
    QTest::newRow("negative") << -7;
    QTest::newRow("beyond 16 bits") << 70000;
}

// A port the gateway cannot have is refused before anything is opened; it never wraps
// to another port.
void TestReadout::tcpPortOutOfRange()
{
    QFETCH(int, port);
    Rig rig(QJsonArray{Orvek307(1, "11111111")});
    QVERIFY2(rig.ready, qPrintable(rig.error));
    rig.settings.addressText = QStringLiteral("1");
    rig.settings.useTcp = true;
    rig.settings.tcpHost = QStringLiteral("127.0.0.1");
    rig.settings.tcpPort = port;
    rig.Run();

    QCOMPARE(rig.frontEnd.errors, QStringList{ResultCodeText(Rc::InvalidParameter)});
    const QStringList lines = rig.LogLines();
    QString missing;
    QVERIFY2(InOrder(lines,
                     {QStringLiteral("Порт %1 по IP адресу 127.0.0.1").arg(port),
                      ResultCodeText(Rc::InvalidParameter)},
                     missing),
             qPrintable(missing));
    QCOMPARE(rig.LineChannel().Kind(), ChannelKind::Closed);
    QVERIFY(!QFileInfo::exists(rig.Path(QStringLiteral("Data"))));
}

void TestReadout::exportFileUnwritable_data()
{
    QTest::addColumn<QString>("file");     // in the first device's folder
    QTest::addColumn<bool>("folderInWay"); // a folder stands there; else the full device
    QTest::addColumn<QJsonObject>("meterExtra");
    QTest::addColumn<QString>("boxes");
    QTest::addColumn<QStringList>("errors");
    QTest::addColumn<int>("ioError");
    QTest::addColumn<QStringList>("tail");

    const QStringList none;
    const QJsonObject plain;
    QTest::newRow("configuration") << "1210CFG.csv" << false << plain << "H" << none << ENOSPC
                                   << QStringList{"Создание файла конфигурации", "закрытие порта"};
    QTest::newRow("hourly archive") << "1210H0.csv" << false << plain << "H" << none << ENOSPC
                                    << QStringList{"Чтение почасового архива", "закрытие порта"};
    QTest::newRow("event log") << "1210LOG.csv" << false << plain << "LZ" << none << ENOSPC
                               << QStringList{"Создание файла журнала событий", "закрытие порта"};
    // No record follows the header lines, so closing the file is what reports them lost.
    QTest::newRow("empty hourly archive: the close fails")
        << "1210H0.csv" << false << QJsonObject{{"depth", QJsonObject{{"hourly", 0}}}} << "H"
        << none << ENOSPC << QStringList{"Нет данных в архиве", "закрытие порта"};
    // A refused start date alone would send the read-out on to the next device.
    QTest::newRow("start date refused, then the close fails")
        << "1210H0.csv" << false
        << QJsonObject{{"faults", QJsonObject{{"exceptionRegister", 96}, {"exceptionCode", 2}}}}
        << "H" << QStringList{ResultCodeText(ResultCode::Exception(2))} << ENOSPC
        << QStringList{ResultCodeText(ResultCode::Exception(2)), "закрытие порта"};
    QTest::newRow("copy of the hourly archive cannot be made")
        << "1210H0.dat" << true << plain << "HD" << none << EISDIR
        << QStringList{"Чтение почасового архива", "закрытие порта"};
}

// A file that takes no byte (its name leads to the full device) or a copy that cannot be
// made (a folder holds its name): an I/O error, and the read-out ends there.
void TestReadout::exportFileUnwritable()
{
    QFETCH(QString, file);
    QFETCH(bool, folderInWay);
    QFETCH(QJsonObject, meterExtra);
    QFETCH(QString, boxes);
    QFETCH(QStringList, errors);
    QFETCH(int, ioError);
    QFETCH(QStringList, tail);
    if (!folderInWay && !QFileInfo(QStringLiteral("/dev/full")).isWritable())
        QSKIP("this system has no full device");

    Rig rig(QJsonArray{Orvek307(1, "11111111", meterExtra), Orvek307(2, "22222222")});
    QVERIFY2(rig.ready, qPrintable(rig.error));
    const QString folder = rig.Path(Day + QStringLiteral("ОРВЕК-307/11111111/"));
    QVERIFY(QDir().mkpath(folder));
    if (folderInWay)
        QVERIFY(QDir().mkdir(folder + file));
    else // where the file is written until it is closed
        QVERIFY(
            QFile::link(QStringLiteral("/dev/full"), ExportFiles::TemporaryName(folder + file)));
    rig.settings.addressText = QStringLiteral("1 2");
    Tick(rig.settings, boxes);
    rig.Run();

    // "I/O error" and its number first, then the file and the system's reason; logged too.
    QCOMPARE(rig.frontEnd.ioErrors.size(), 1);
    const QString shown = rig.frontEnd.ioErrors.first();
    QVERIFY2(shown.startsWith(QStringLiteral("I/O error %1: ").arg(ioError)) &&
                 shown.contains(SystemErrorText(ioError)),
             qPrintable(shown));
    QCOMPARE(rig.frontEnd.errors, errors);
    const QStringList lines = rig.LogLines();
    QVERIFY(lines.size() >= tail.size() + 1);
    const QStringList ending = tail.mid(0, tail.size() - 1) + QStringList{shown, tail.last()};
    QCOMPARE(lines.mid(lines.size() - ending.size()), ending);
    QVERIFY(!lines.contains(QStringLiteral("******* прибор по адресу 2")));
    QCOMPARE(rig.LineChannel().Kind(), ChannelKind::Closed);
    if (folderInWay) {
        // The archive itself was written in full before its copy failed.
        QCOMPARE(CsvLines(folder + file.chopped(3) + "csv").size(), 4 + 3);
    } else {
        // The file that lost its lines is not left behind under either name.
        QVERIFY(!QFileInfo::exists(folder + file));
        QVERIFY(!QFileInfo::exists(ExportFiles::TemporaryName(folder + file)));
    }
    QCOMPARE(QDir(folder).entryList({QStringLiteral("*.dat")}, QDir::Files), QStringList());
}

void TestReadout::settingsChangedWhileRunning_data()
{
    QTest::addColumn<QJsonArray>("meters");
    QTest::addColumn<QString>("addresses");
    QTest::addColumn<int>("family");
    QTest::addColumn<QString>("boxes");
    QTest::addColumn<QString>("changedAt"); // the memo line that ends so; empty: a message
    QTest::addColumn<int>("newFamily");
    QTest::addColumn<QString>("newBoxes");
    QTest::addColumn<QStringList>("errors");
    QTest::addColumn<QStringList>("logInOrder");
    QTest::addColumn<QStringList>("present");
    QTest::addColumn<QStringList>("absent");

    const QString orvek = Day + QStringLiteral("ОРВЕК-307/11111111/1210");
    const QString ilm = Day + QStringLiteral("ИЛЬМ-4/33333333/1210");
    const QJsonObject ilmMeter{{"family", 1},
                               {"address", 3},
                               {"serial", "33333333"},
                               {"clock", "2026-12-10T10:00:00"},
                               {"depth", QJsonObject{{"hourly", 2}, {"daily", 2}}}};

    // The change, made while the first device is read, serves the second.
    QTest::newRow("family and boxes switched for the second device")
        << QJsonArray{Orvek307(1, "11111111"), ilmMeter} << "1 3" << 0 << "HZ"
        << " --> 2" << 1 << "D" << QStringList{}
        << QStringList{"Зав. № = 11111111",
                       "Чтение почасового архива",
                       "Чтение защищенного журнала",
                       "******* прибор по адресу 3",
                       "ИЛЬМ-4",
                       "Зав. № = 33333333",
                       "Чтение посуточного архива",
                       "Выполнено 2",
                       "закрытие порта"}
        << QStringList{orvek + "H0.csv", orvek + "LOGZ.csv", ilm + "A0.csv"}
        << QStringList{orvek + "A0.csv", ilm + "H0.csv", ilm + "LOGZ.csv"};
    // A device is read to its end as the plan stood when it began: boxes changed while
    // its hourly archive runs wait for the next device.
    QTest::newRow("boxes changed while the hourly archive is read")
        << QJsonArray{Orvek307(1, "11111111")} << "1" << 0 << "HZ"
        << " --> 1" << 0 << "DL" << QStringList{}
        << QStringList{"Чтение почасового архива", "Выполнено 3", "Чтение защищенного журнала",
                       "Выполнено 1", "закрытие порта"}
        << QStringList{orvek + "H0.dat", orvek + "LOGZ.csv"}
        << QStringList{orvek + "A0.csv", orvek + "LOG.csv"};
    // Never another family's driver in the middle of a device's archive.
    QTest::newRow("family switched while the hourly archive is read")
        << QJsonArray{Orvek307(1, "11111111")} << "1" << 0 << "H"
        << " --> 1" << 1 << "H" << QStringList{}
        << QStringList{"Чтение почасового архива", "Выполнено 3", "закрытие порта"}
        << QStringList{orvek + "H0.csv", orvek + "H0.dat"} << QStringList{};
    // The family corrected while a failed identification's message shows serves the
    // devices after this one; this one is read on as it began.
    QTest::newRow("family corrected after a failed identification")
        << QJsonArray{Orvek307(1, "11111111")} << "1 1" << 1 << "H" << QString() << 0 << "H"
        << QStringList{ResultCodeText(ResultCode::Exception(1)),
                       ResultCodeText(ResultCode::Exception(1))}
        << QStringList{"Определение типа прибора",
                       ResultCodeText(ResultCode::Exception(1)),
                       "ИЛЬМ-x",
                       "Чтение даты и времени",
                       ResultCodeText(ResultCode::Exception(1)),
                       "******* прибор по адресу 1",
                       "ОРВЕК-307",
                       "Зав. № = 11111111",
                       "Чтение почасового архива",
                       "Выполнено 3",
                       "закрытие порта"}
        << QStringList{orvek + "H0.csv", orvek + "H0.dat"} << QStringList{};
}

// The family and the archive and log boxes, changed by the user while a read-out runs.
void TestReadout::settingsChangedWhileRunning()
{
    QFETCH(QJsonArray, meters);
    QFETCH(QString, addresses);
    QFETCH(int, family);
    QFETCH(QString, boxes);
    QFETCH(QString, changedAt);
    QFETCH(int, newFamily);
    QFETCH(QString, newBoxes);
    QFETCH(QStringList, errors);
    QFETCH(QStringList, logInOrder);
    QFETCH(QStringList, present);
    QFETCH(QStringList, absent);

    Rig rig(meters);
    QVERIFY2(rig.ready, qPrintable(rig.error));
    rig.settings.addressText = addresses;
    rig.settings.family = family;
    Tick(rig.settings, boxes);
    bool changed = false;
    const auto change = [&] {
        if (changed)
            return;
        changed = true;
        rig.settings.family = newFamily;
        Tick(rig.settings, newBoxes);
        rig.Publish();
    };
    if (changedAt.isEmpty()) {
        rig.frontEnd.onError = [&](const QString&) {
            change();
        };
    } else {
        rig.memo.onLine = [&](const QString& line) {
            if (line.endsWith(changedAt))
                change();
        };
    }
    rig.Run();

    QVERIFY(changed);
    QCOMPARE(rig.frontEnd.errors, errors);
    const QStringList lines = rig.LogLines();
    QString missing;
    QVERIFY2(InOrder(lines, logInOrder, missing),
             qPrintable(missing + QStringLiteral(" not in order in:\n") + lines.join(u'\n')));
    for (const QString& file : present)
        QVERIFY2(QFileInfo::exists(rig.Path(file)), qPrintable(file));
    for (const QString& file : absent)
        QVERIFY2(!QFileInfo::exists(rig.Path(file)), qPrintable(file));
}

// "1 1": the device is read twice and the second pass replaces the first one's files.
// The start date, moved before the second pass, makes the two passes' files differ.
void TestReadout::repeatedAddress()
{
    Rig rig(QJsonArray{Orvek307(1, "11111111")});
    QVERIFY2(rig.ready, qPrintable(rig.error));
    rig.settings.addressText = QStringLiteral("1 1");
    Tick(rig.settings, QStringLiteral("DL"));
    int passes = 0;
    // Moved while the first pass runs: the second takes it.
    rig.memo.onLine = [&](const QString& line) {
        if (line.endsWith(QStringLiteral("******* прибор по адресу 1")))
            ++passes;
        if (passes == 1 && line.endsWith(QStringLiteral("Чтение журнала событий"))) {
            rig.settings.startDate = Now.date();
            rig.Publish();
        }
    };
    rig.Run();

    QCOMPARE(passes, 2);
    QCOMPARE(rig.frontEnd.errors, QStringList());
    const QStringList pass = {"******* прибор по адресу 1", "Зав. № = 11111111",
                              "Создание файла конфигурации", "Посуточный архив создание файла",
                              "Чтение посуточного архива"};
    const QStringList lines = rig.LogLines();
    QString missing;
    QVERIFY2(InOrder(lines,
                     pass + QStringList{"Выполнено 2", "Чтение журнала событий", "Выполнено 2"} +
                         pass +
                         QStringList{"Выполнено 1", "Чтение журнала событий", "Выполнено 1",
                                     "закрытие порта"},
                     missing),
             qPrintable(missing + QStringLiteral(" not in order in:\n") + lines.join(u'\n')));

    const QString folder = Day + QStringLiteral("ОРВЕК-307/11111111/1210");
    QCOMPARE(rig.AllFiles(), QStringList({folder + "A0.csv", folder + "A0.dat", folder + "CFG.csv",
                                          folder + "LOG.csv", "Protocols/2026-12-10.log",
                                          "Reports/2026-12-10/120000.csv"}));
    QCOMPARE(CsvLines(rig.Path(folder + "CFG.csv")).size(), 4 + 2);
    const QStringList events = CsvLines(rig.Path(folder + "LOG.csv"));
    QCOMPARE(events.mid(4), QStringList{"10.12.2026 09:00:00;Откл;"});
    const QStringList daily = CsvLines(rig.Path(folder + "A0.csv"));
    QCOMPARE(daily.size(), 4 + 1);
    QVERIFY2(daily.at(4).startsWith(QStringLiteral("10.12.2026;")), qPrintable(daily.at(4)));
    // The copy is of the second pass's file too.
    const DatContent copy = ReadDatFile(rig.Path(folder + "A0.dat"));
    QCOMPARE(copy.status, DatStatus::Ok);
    QFile csv(rig.Path(folder + "A0.csv"));
    QVERIFY(csv.open(QIODevice::ReadOnly));
    QCOMPARE(copy.bytes.chopped(DatTrailerSize), csv.readAll());
}

QTEST_GUILESS_MAIN(TestReadout)
#include "tst_readout.moc"
