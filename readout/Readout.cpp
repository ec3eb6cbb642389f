#include "Readout.h"

#include "AddressList.h"
#include "BusScan.h"
#include "Channel.h"
#include "ExchangeLog.h"
#include "ExportFiles.h"
#include "ModbusMaster.h"
#include "Modem.h"
#include "ReadoutFrontEnd.h"
#include "ReadoutSteps.h"
#include "TextFormat.h"

#include <QLocale>

#include <functional>

namespace {

struct ArchiveInfo
{
    ArchiveKind kind;
    const char16_t* title;
    const char16_t* suffix;
    const char16_t* logLine;
    PeriodCode period;
    SourceReport::Period reportPeriod;
};

// The emergency title's doubled letter is one of the kept quirks (docs/QUIRKS.md).
constexpr ArchiveInfo Archives[] = {
    {ArchiveKind::Hourly, u"Почасовой архив", u"H0", u"Чтение почасового архива", Period::Hourly,
     SourceReport::Period::Hour},
    {ArchiveKind::Daily, u"Посуточный архив", u"A0", u"Чтение посуточного архива", Period::Daily,
     SourceReport::Period::Day},
    {ArchiveKind::IntegralDaily, u"Посуточный интегральный архив", u"IA0",
     u"Чтение интегрального посуточного архива", Period::None, SourceReport::Period::Day},
    {ArchiveKind::Monthly, u"Помесячный архив", u"O0", u"Чтение помесячного архива",
     Period::Monthly, SourceReport::Period::Month},
    {ArchiveKind::IntegralMonthly, u"Помесячный интегральный архив", u"I0",
     u"Чтение интегрального помесячного архива", Period::None, SourceReport::Period::Month},
    {ArchiveKind::EmergencyDaily, u"Аварийный посуточнный архив", u"EA0",
     u"Чтение аварийного посуточного архива", Period::None, SourceReport::Period::Day},
};

const ArchiveInfo* FindArchive(ArchiveKind kind)
{
    for (const ArchiveInfo& info : Archives) {
        if (info.kind == kind)
            return &info;
    }
    return nullptr;
}

QString Text(const char16_t* text)
{
    return QString::fromUtf16(text);
}

const QString Aborted = QStringLiteral("Операция прервана");

} // namespace

// One archive or log as the device serves it, and what the read-out has written of it
// so far: enough to find the place again after a lost read.
struct Readout::RecordSource
{
    std::function<ResultCode(const QDateTime& start)> setStart;
    std::function<ResultCode(bool first)> read; // into the record in hand
    std::function<bool()> none;                 // the record in hand is the end mark
    std::function<QDateTime()> time;
    std::function<QString()> text; // logs; archives are told apart by time
    QDateTime startDate;
    bool hourly = false;

    bool written = false;
    QDateTime lastTime;
    // Logs: the texts written at lastTime, in order. Events may share a time, so a text
    // tells which of them the device has handed out already.
    QStringList textsAtLast;

    void NoteWritten()
    {
        const QDateTime t = time();
        if (!written || t != lastTime)
            textsAtLast.clear();
        if (text)
            textsAtLast.append(text());
        written = true;
        lastTime = t;
    }
    bool Logs() const { return bool(text); }
    // Whether the record in hand lies before the place where reading goes on. An archive
    // record is told by its time alone; log records at lastTime are matched by text.
    bool BeforeResumePoint() const
    {
        if (!written)
            return false;
        return Logs() ? time() < lastTime : time() <= lastTime;
    }
    bool Matches(qsizetype at) const
    {
        return at < textsAtLast.size() && time() == lastTime && text() == textsAtLast.at(at);
    }
    // Logs resume at the time of the last record (more events may share it); an archive
    // after it, so that the first-record read alone, which is safe to repeat, returns the
    // next record.
    QDateTime ResumeFrom() const
    {
        if (!written)
            return startDate;
        if (Logs())
            return lastTime;
        return hourly ? lastTime.addSecs(3600)
                      : CalendarDateTime(lastTime.date().addDays(1), QTime(0, 0));
    }
};

Readout::Readout(ExchangeLog& log, Channel& channel, ModbusMaster& master, Modem& modem,
                 DriverContext& context, DriverSet& drivers, ExportFiles& files,
                 ReadoutFrontEnd& frontEnd, ReadoutSettings& settings, Clock clock)
    : m_log(log), m_channel(channel), m_master(master), m_modem(modem), m_context(context),
      m_drivers(drivers), m_files(files), m_frontEnd(frontEnd), m_settings(settings),
      m_clock(std::move(clock))
{}

void Readout::RequestAbort()
{
    m_context.AbortRequested = true;
}

DeviceDriver& Readout::Driver() const
{
    // The family is taken at every call: the user may change it while a read-out runs.
    return m_drivers.For(DeviceFamily(m_settings.family));
}

QDateTime Readout::StartDate() const
{
    return CalendarDateTime(m_settings.startDate, QTime(0, 0));
}

QString Readout::ClockText(const QDateTime& clock)
{
    const QLocale locale;
    QString text = locale.toString(clock.date(), QLocale::ShortFormat);
    if (clock.time() != QTime(0, 0)) {
        // A meter's clock has no zone, so the zone letters of the long format go.
        QString format = locale.timeFormat(QLocale::LongFormat);
        format.remove(u't');
        text += u' ' + clock.time().toString(format.trimmed());
    }
    return text;
}

QString Readout::TypeWord(ParameterKind kind)
{
    switch (kind) {
    case Kind::Electricity:
        return QStringLiteral("Электроэнергия");
    case Kind::Flags:
        return QStringLiteral("Флаги");
    case Kind::Time:
        return QStringLiteral("Время");
    case Kind::Mass:
        return QStringLiteral("Масса");
    case Kind::Pressure:
        return QStringLiteral("Давление");
    case Kind::Heat:
        return QStringLiteral("Тепловая энергия");
    case Kind::Temperature:
        return QStringLiteral("Температура");
    case Kind::Volume:
        return QStringLiteral("Объем");
    default:
        return QString();
    }
}

void Readout::ShowAndLog(const QString& text)
{
    m_frontEnd.ShowError(text);
    m_log.AddLogLine(text);
    NoteFailure(text);
}

void Readout::NoteFailure(const QString& text)
{
    m_readoutFailure = text;
    if (!m_device)
        return;
    if (m_device->result != DeviceReport::Result::Read)
        return; // the first failure tells what went wrong
    m_device->result = DeviceReport::Result::Failed;
    m_device->failure = text;
}

void Readout::NoteAborted()
{
    m_log.AddLogLine(Aborted);
    if (m_device) {
        m_device->result = DeviceReport::Result::Aborted;
        if (m_device->failure.isEmpty())
            m_device->failure = Aborted;
    }
}

void Readout::NoteClock(const QDateTime& meterClock)
{
    const QDateTime now = m_clock();
    m_device->clockRead = true;
    m_device->meterClock = meterClock;
    m_device->computerClock = now;
    // Both as wall-clock fields: a meter's clock has no zone.
    const QDateTime meterFields(meterClock.date(), meterClock.time(), Qt::UTC);
    const QDateTime computerFields(now.date(), now.time(), Qt::UTC);
    m_device->driftSeconds = computerFields.secsTo(meterFields);
}

SourceReport& Readout::BeginSource(const QString& title, SourceReport::Period period)
{
    SourceReport source;
    source.title = title;
    source.period = period;
    m_device->sources.append(source);
    return m_device->sources.last();
}

void Readout::Report(ResultCode code)
{
    ShowAndLog(ResultCodeText(code));
}

void Readout::IoFailure(int systemCode)
{
    NoteFailure(QStringLiteral("I/O error ") + QString::number(systemCode));
    m_frontEnd.ShowIoError(systemCode);
}

void Readout::EndReadout()
{
    if (m_files.IsExportFileOpen())
        m_files.CloseExportFile(); // the read-out ends anyway; its error changes nothing
    m_channel.CloseChannel();
}

void Readout::DoDevice()
{
    // Pressing Read starts afresh: an abort left from the last read-out does not count.
    m_context.AbortRequested = false;
    m_report = ReadoutReport();
    m_report.configuration = m_settings.configuration;
    m_report.started = m_clock();
    m_report.line = m_settings.useTcp
                        ? m_settings.tcpHost + u':' + QString::number(m_settings.tcpPort)
                        : m_settings.comPort + u' ' + m_settings.comSpeed;
    m_device = nullptr;
    m_readoutFailure.clear();
    ReadDevices();
    m_device = nullptr;
}

void Readout::ReadDevices()
{
    m_master.ShowLog = m_settings.showLog ? 1 : 0;
    const QString addressText = m_settings.addressText;
    const AddressParseResult parsed = ParseAddressList(addressText);
    if (!parsed.Ok()) {
        m_frontEnd.ShowError(parsed.error);
        EndReadout();
        return;
    }
    // Every device asked gets its row, also those the read-out never reached.
    for (const quint8 address : parsed.addresses) {
        DeviceReport device;
        device.address = address;
        m_report.devices.append(device);
    }
    const auto endUnreached = [this](qsizetype from) {
        EndReadout();
        for (qsizetype i = from; i < m_report.devices.size(); ++i) {
            DeviceReport& device = m_report.devices[i];
            device.result = m_context.AbortRequested ? DeviceReport::Result::Aborted
                                                     : DeviceReport::Result::Failed;
            device.failure = m_context.AbortRequested ? Aborted : m_readoutFailure;
        }
    };
    m_log.AddLogLine(QString(39, u'='));
    m_log.AddLogLine(QStringLiteral("Адреса приборов: \"") + addressText + u'"');

    m_log.AddLogLine(LineLogText(m_settings));
    // A bad port or speed is refused before anything is opened.
    const ResultCode applied = ApplyLineSettings(m_settings, m_channel, m_master);
    if (applied != Rc::Ok) {
        Report(applied);
        endUnreached(0);
        return;
    }
    const bool modem = m_settings.modem;
    const QString dialString = m_settings.dialString;

    const ResultCode opened = m_channel.OpenChannel();
    if (opened != Rc::Ok) {
        Report(opened);
        endUnreached(0);
        return;
    }
    if (modem) {
        if (!Dial(dialString)) {
            endUnreached(0);
            return;
        }
    }
    qsizetype next = 0;
    while (next < m_report.devices.size()) {
        m_device = &m_report.devices[next++];
        const Outcome outcome = ReadOneDevice(quint8(m_device->address));
        m_device->files = m_files.TakeWritten();
        m_device = nullptr;
        if (outcome == Outcome::End)
            break;
    }
    endUnreached(next);
}

bool Readout::Dial(const QString& dialString)
{
    m_log.AddLogLine(QStringLiteral(">> AT"));
    m_modem.ModemCommand(QStringLiteral("AT\r\n"));
    if (!m_modem.ModemReply.isEmpty())
        m_log.AddLogLine(QStringLiteral("<< ") + TrimLineBreaks(m_modem.ModemReply));
    if (!m_modem.ModemReply.contains(QStringLiteral("OK"))) {
        const QString text = QStringLiteral("Нет ответа от модема");
        m_log.AddLogLine(text);
        m_frontEnd.ShowError(text);
        NoteFailure(text);
        return false;
    }
    m_log.AddLogLine(QStringLiteral(">> ") + dialString);
    m_modem.ModemCommand(dialString + QStringLiteral("\r\n"));
    // No overall limit: the user ends a dial that never connects with the Abort button.
    for (;;) {
        if (m_context.AbortRequested) {
            NoteAborted();
            return false;
        }
        if (!m_modem.ModemReply.isEmpty())
            m_log.AddLogLine(QStringLiteral("<< ") + TrimLineBreaks(m_modem.ModemReply));
        else
            m_frontEnd.AppendToLastMemoLine(QStringLiteral(" *"));
        if (m_modem.ModemReply.contains(QStringLiteral("CONNECT")))
            return true;
        m_modem.ReceiveModemReply();
    }
}

Readout::Outcome Readout::ReadOneDevice(quint8 address)
{
    m_log.AddLogLine(QStringLiteral("******* прибор по адресу ") + QString::number(address));
    m_context.DeviceAddress = address;

    m_log.AddLogLine(QStringLiteral("Определение типа прибора"));
    ResultCode r = Driver().IdentifyDevice(DeviceName);
    if (r != Rc::Ok) {
        QString text = ResultCodeText(r);
        if (r == Rc::UnknownDevice)
            text += QStringLiteral(": ") + DeviceName;
        ShowAndLog(text);
    }
    m_log.AddLogLine(DeviceName);
    m_device->deviceName = DeviceName;

    m_log.AddLogLine(QStringLiteral("Чтение даты и времени"));
    r = Driver().ReadDeviceClock(DeviceClock);
    if (r != Rc::Ok) {
        Report(r);
        return Outcome::NextDevice;
    }
    NoteClock(DeviceClock);
    m_log.AddLogLine(QStringLiteral("Дата - Время = ") + ClockText(DeviceClock));

    m_log.AddLogLine(QStringLiteral("Чтение заводского номера"));
    r = Driver().ReadSerialNumber(SerialNumber);
    if (r != Rc::Ok) {
        Report(r);
        return Outcome::NextDevice;
    }
    m_log.AddLogLine(QStringLiteral("Зав. № = ") + SerialNumber);
    m_device->serialNumber = SerialNumber;

    m_log.AddLogLine(QStringLiteral("Чтение конфигурации архивов"));
    Layout.fill(Kind::None);
    r = Driver().ReadArchiveLayout(Layout);
    if (r != Rc::Ok) {
        Report(r);
        return Outcome::NextDevice;
    }
    m_log.AddLogLine(QStringLiteral("Выполнено"));
    m_log.AddMemoMark(QStringLiteral("---"));

    m_log.AddLogLine(QStringLiteral("Чтение имен параметров"));
    r = Driver().ReadParameterNames(Names);
    if (m_context.AbortRequested) {
        NoteAborted();
        return Outcome::End;
    }
    if (r != Rc::Ok) {
        Report(r);
        return Outcome::NextDevice;
    }
    ArchiveHeaderLine = QStringLiteral("Дата;");
    int named = 0;
    for (const QString& name : Names) {
        if (name.isEmpty())
            continue;
        ArchiveHeaderLine += name + u';';
        ++named;
    }
    m_log.AddLogLine(QStringLiteral("Выполнено ") + QString::number(named));
    m_files.DeviceName = DeviceName;
    m_files.SerialNumber = SerialNumber;
    m_files.ArchiveHeaderLine = ArchiveHeaderLine;

    if (ExportConfiguration() == Outcome::End)
        return Outcome::End;

    // Each box is looked at when its step is due: the user may change them meanwhile.
    // What the family lacks is skipped quietly, as the window never offers its box.
    for (const ArchiveStep& step : ArchiveSteps()) {
        if (!BoxIn(m_settings, step.box) || !Driver().HasArchive(step.kind))
            continue;
        const Outcome outcome = ExportArchive(step.kind);
        if (outcome != Outcome::GoOn)
            return outcome;
    }
    if (BoxIn(m_settings, ReadoutBox::EventLog) && Driver().HasEventLog()) {
        const Outcome outcome = ExportLog(false);
        if (outcome != Outcome::GoOn)
            return outcome;
    }
    if (BoxIn(m_settings, ReadoutBox::ProtectedLog) && Driver().HasProtectedLog()) {
        if (ExportLog(true) == Outcome::End)
            return Outcome::End;
    }
    return Outcome::NextDevice;
}

bool Readout::PositionLost(ResultCode code, bool first) const
{
    if (code == Rc::Ok || !Driver().ReadMovesDevice(first))
        return false;
    // An exception or an undecodable record came whole from the device: the reply was
    // not lost. Everything else may have moved the device unseen.
    return !code.IsException() && code != Rc::LogDecodeError && code != Rc::ArchiveDecodeError &&
           code != Rc::UnknownDevice;
}

ResultCode Readout::ReadRecord(RecordSource& source, bool first)
{
    const ResultCode r = source.read(first);
    return PositionLost(r, first) ? Reposition(source, r) : r;
}

ResultCode Readout::Reposition(RecordSource& source, ResultCode lost)
{
    // Each round costs the device a start date and a first read: as many rounds as a
    // request has attempts.
    const int rounds = qMax(m_master.GlobalTry, 1);
    // The caller shows the failure as that of the read; the log tells what it ended.
    const auto notRecovered = [this](ResultCode code) {
        m_log.AddLogLine(QStringLiteral("Позиция чтения не восстановлена"));
        return code;
    };
    for (int round = 0; round < rounds; ++round) {
        const QDateTime start = source.ResumeFrom();
        m_log.AddLogLine(QStringLiteral("Восстановление позиции чтения с ") +
                         FormatDateTimeMinutes(start));
        ResultCode r = source.setStart(start);
        if (r != Rc::Ok)
            return notRecovered(r);
        r = source.read(true);
        if (PositionLost(r, true)) {
            lost = r;
            continue;
        }
        if (r != Rc::Ok)
            return r;
        bool positionLost = false;
        r = SkipWritten(source, positionLost);
        if (!positionLost)
            return r;
        lost = r;
    }
    return notRecovered(lost);
}

ResultCode Readout::SkipWritten(RecordSource& source, bool& lost)
{
    // seen: how many of the texts written at the last time the device has handed out
    // again. After a lost read the device has moved on by none or one record; the record
    // that follows tells which, as long as the one that may be missing is known.
    qsizetype seen = 0;
    bool skippedOne = false;
    ResultCode lostCode = Rc::Ok;
    const qsizetype known = source.textsAtLast.size();
    const auto positionLost = [&]() {
        lost = true;
        return lostCode;
    };
    for (;;) {
        // The export loop sees the abort before it writes anything of this record.
        if (m_context.AbortRequested)
            return Rc::Ok;
        if (source.none()) {
            // A record lost on the way was the last one written, or a new one.
            return skippedOne && seen + 1 != known ? positionLost() : Rc::Ok;
        }
        if (source.BeforeResumePoint()) {
            skippedOne = false; // whatever was skipped lay before this record: written
        } else if (source.Matches(seen)) {
            // After a lost read this may also be a new record just like the last one.
            if (skippedOne && (seen + 1 == known || source.Matches(seen + 1)))
                return positionLost();
            ++seen;
            skippedOne = false;
        } else if (skippedOne && source.Matches(seen + 1)) {
            seen += 2;
            skippedOne = false;
        } else {
            // A new record. After a lost read it is the next one only when what the lost
            // read returned was the last record written.
            return skippedOne && seen + 1 != known ? positionLost() : Rc::Ok;
        }
        for (;;) {
            const ResultCode r = source.read(false);
            if (!PositionLost(r, false)) {
                if (r != Rc::Ok)
                    return r;
                break;
            }
            lostCode = r;
            if (skippedOne)
                return positionLost(); // two in a row: the position is anybody's guess
            skippedOne = true;
        }
    }
}

Readout::Outcome Readout::ExportConfiguration()
{
    m_log.AddLogLine(QStringLiteral("Создание файла конфигурации"));
    if (!m_files.CreateExportFile(QStringLiteral("CFG"))) {
        NoteFailure(m_files.LastFailure);
        return Outcome::End;
    }
    int error = m_files.WriteLine(u"Конфигурация");
    if (error == 0)
        error = m_files.WriteLine(u"Индекс;Тип;Наименование");
    for (int i = 0; i < ArchiveSlots && error == 0; ++i) {
        const ParameterKind kind = Layout[size_t(i)];
        if (kind == Kind::None)
            continue;
        error =
            m_files.WriteLine(QString::number(i) + u';' + TypeWord(kind) + u';' + Names[size_t(i)]);
    }
    if (error == 0)
        error = m_files.CloseExportFile();
    if (error != 0) {
        IoFailure(error);
        return Outcome::End;
    }
    return Outcome::GoOn;
}

Readout::Outcome Readout::ExportLog(bool protectedLog)
{
    m_log.AddMemoMark(QStringLiteral("---"));
    m_log.AddLogLine(protectedLog ? QStringLiteral("Создание файла защищенного журнала")
                                  : QStringLiteral("Создание файла журнала событий"));
    if (!m_files.CreateExportFile(protectedLog ? QStringLiteral("LOGZ") : QStringLiteral("LOG"))) {
        NoteFailure(m_files.LastFailure);
        return Outcome::End;
    }
    SourceReport& report = BeginSource(
        protectedLog ? QStringLiteral("Защищенный журнал") : QStringLiteral("Журнал событий"),
        protectedLog ? SourceReport::Period::Day : SourceReport::Period::None);
    int error = m_files.WriteLine(protectedLog ? QStringLiteral("Защищенный журнал")
                                               : QStringLiteral("Журнал событий"));
    if (error == 0)
        error = m_files.WriteLine(u"Дата;События;");
    if (error != 0) {
        IoFailure(error);
        return Outcome::End;
    }
    int n = 0;
    m_log.AddLogLine(protectedLog ? QStringLiteral("Чтение защищенного журнала")
                                  : QStringLiteral("Чтение журнала событий"));

    const auto closeFile = [this]() {
        const int closeError = m_files.CloseExportFile();
        if (closeError != 0)
            IoFailure(closeError);
        return closeError == 0;
    };

    RecordSource source;
    source.setStart = [this](const QDateTime& start) {
        return Driver().SetReadStartDate(start, Period::None);
    };
    source.read = [this, protectedLog](bool first) {
        DeviceDriver& driver = Driver();
        if (protectedLog)
            return first ? driver.ReadFirstProtectedRecord(m_logRecord)
                         : driver.ReadNextProtectedRecord(m_logRecord);
        return first ? driver.ReadFirstEventRecord(m_logRecord)
                     : driver.ReadNextEventRecord(m_logRecord);
    };
    source.none = [this]() {
        return m_logRecord.recordIndex == NoMoreRecords;
    };
    source.time = [this]() {
        return m_logRecord.recordTime;
    };
    source.text = [this]() {
        return m_logRecord.text;
    };
    source.startDate = StartDate();

    ResultCode r = source.setStart(source.startDate);
    if (r != Rc::Ok) {
        Report(r);
        return closeFile() ? Outcome::NextDevice : Outcome::End;
    }
    r = ReadRecord(source, true);
    if (r != Rc::Ok) {
        QString text = ResultCodeText(r);
        if (!protectedLog && r == Rc::LogDecodeError)
            text += QStringLiteral(": ") + m_context.DecodeErrorText;
        ShowAndLog(text);
        return closeFile() ? Outcome::NextDevice : Outcome::End;
    }
    bool written = false;
    if (m_logRecord.recordIndex == NoMoreRecords) {
        m_log.AddLogLine(QStringLiteral("Нет данных в журнале"));
    } else {
        do {
            if (m_context.AbortRequested) {
                NoteAborted();
                return Outcome::End;
            }
            ++n;
            written = true;
            const QString t = protectedLog ? FormatDate(m_logRecord.recordTime.date())
                                           : FormatDateTimeSeconds(m_logRecord.recordTime);
            m_log.AddMemoMark(t + QStringLiteral(" --> ") + QString::number(n));
            error = m_files.WriteLine(t + u';' + m_logRecord.text + u';');
            if (error != 0) {
                IoFailure(error);
                return Outcome::End;
            }
            report.Add(m_logRecord.recordTime);
            source.NoteWritten();
            r = ReadRecord(source, false);
            if (r != Rc::Ok) {
                Report(r);
                break;
            }
        } while (m_logRecord.recordIndex != NoMoreRecords);
    }
    if (!closeFile())
        return Outcome::End;
    if (written)
        m_log.AddLogLine(QStringLiteral("Выполнено ") + QString::number(n));
    // A failed later record still lets the next log of this device be read.
    return Outcome::GoOn;
}

Readout::Outcome Readout::ExportArchive(ArchiveKind kind)
{
    const ArchiveInfo* info = FindArchive(kind);
    if (!info)
        return Outcome::NextDevice;
    // Every driver call below takes the family anew: the user may change it meanwhile.
    if (!m_files.CreateArchiveFile(Text(info->title), Text(info->suffix))) {
        NoteFailure(m_files.LastFailure);
        return Outcome::End;
    }
    SourceReport& report = BeginSource(Text(info->title), info->reportPeriod);
    m_log.AddLogLine(Text(info->logLine));

    const auto closeFile = [this]() {
        const int closeError = m_files.CloseExportFile();
        if (closeError != 0)
            IoFailure(closeError);
        return closeError == 0;
    };
    const auto recordFailure = [this](ResultCode code) {
        QString text = ResultCodeText(code);
        if (code == Rc::ArchiveDecodeError)
            text += QStringLiteral(": ") + m_context.DecodeErrorText;
        ShowAndLog(text);
    };

    RecordSource source;
    source.setStart = [this, info](const QDateTime& start) {
        return Driver().SetReadStartDate(start, info->period);
    };
    source.read = [this, kind](bool first) {
        return first ? Driver().ReadFirstArchiveRecord(kind, m_archiveRecord)
                     : Driver().ReadNextArchiveRecord(kind, m_archiveRecord);
    };
    source.none = [this]() {
        return m_archiveRecord.recordIndex == NoMoreRecords;
    };
    source.time = [this]() {
        return m_archiveRecord.recordTime;
    };
    source.startDate = StartDate();
    source.hourly = kind == ArchiveKind::Hourly;

    ResultCode r = source.setStart(source.startDate);
    if (r != Rc::Ok) {
        Report(r);
        return closeFile() ? Outcome::NextDevice : Outcome::End;
    }
    r = ReadRecord(source, true);
    if (r != Rc::Ok) {
        recordFailure(r);
        return closeFile() ? Outcome::NextDevice : Outcome::End;
    }
    Outcome result = Outcome::GoOn;
    int n = 0;
    bool written = false;
    if (m_archiveRecord.recordIndex == NoMoreRecords) {
        m_log.AddLogLine(QStringLiteral("Нет данных в архиве"));
    } else {
        do {
            if (m_context.AbortRequested) {
                NoteAborted();
                // The rows so far stay in the file, but an aborted archive gets no copy.
                // The next device sees the abort once its names are read.
                return closeFile() ? Outcome::NextDevice : Outcome::End;
            }
            ++n;
            written = true;
            const QString t = kind == ArchiveKind::Hourly
                                  ? FormatDateTimeMinutes(m_archiveRecord.recordTime)
                                  : FormatDate(m_archiveRecord.recordTime.date());
            m_log.AddMemoMark(t + QStringLiteral(" --> ") + QString::number(n));
            QString line = t + u';';
            // A named slot of kind 0 has a header column; where the family decodes it, its
            // value goes under that heading, so that no later value slips one column left.
            const bool namedCells = Driver().DecodesEveryNamedSlot();
            for (int i = 0; i < ArchiveSlots; ++i) {
                const ParameterKind slotKind = Layout[size_t(i)];
                if (slotKind == Kind::None && !(namedCells && !Names[size_t(i)].isEmpty()))
                    continue;
                const double value = m_archiveRecord.values[size_t(i)];
                if (slotKind == Kind::Flags) {
                    const qint64 flags = RoundHalfEven(value);
                    line += Driver().HasFlagsText() ? Driver().FlagsText(quint32(flags))
                                                    : FormatFlagsHex(flags);
                } else {
                    line += FormatNumberCell(value);
                }
                line += u';';
            }
            const int error = m_files.WriteLine(line);
            if (error != 0) {
                IoFailure(error);
                return Outcome::End;
            }
            report.Add(m_archiveRecord.recordTime);
            source.NoteWritten();
            r = ReadRecord(source, false);
            if (r != Rc::Ok) {
                recordFailure(r);
                result = Outcome::NextDevice;
                break;
            }
        } while (m_archiveRecord.recordIndex != NoMoreRecords);
    }
    if (!closeFile())
        return Outcome::End;
    const int datError = m_files.WriteDatCopy();
    if (datError != 0) {
        IoFailure(datError);
        return Outcome::End;
    }
    if (written)
        m_log.AddLogLine(QStringLiteral("Выполнено ") + QString::number(n));
    return result;
}
