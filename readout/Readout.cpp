#include "Readout.h"

#include "AddressList.h"
#include "CancelToken.h"
#include "ExchangeLog.h"
#include "ExportFiles.h"
#include "Line.h"
#include "ModbusMaster.h"
#include "Modem.h"
#include "ReadoutSteps.h"
#include "SessionEvents.h"
#include "TextFormat.h"

#include <QLocale>

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

Readout::Readout(const Parts& parts, const LineConfig& line, const PlanSource& plan, Clock clock)
    : m_log(parts.log), m_line(parts.line), m_master(parts.master), m_modem(parts.modem),
      m_context(parts.context), m_drivers(parts.drivers), m_files(parts.files),
      m_events(parts.events), m_cancel(parts.cancel), m_lineConfig(line), m_planSource(plan),
      m_clock(std::move(clock))
{}

DeviceDriver& Readout::Driver() const
{
    return m_drivers.For(DeviceFamily(m_plan.family));
}

QDateTime Readout::StartDate() const
{
    return CalendarDateTime(m_plan.startDate, QTime(0, 0));
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
    m_events.ShowError(text);
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
    // The file named, with the system's own words: "I/O error 28" alone told the user
    // nothing of which file or why.
    const QString text = ExportFiles::IoErrorText(systemCode, m_files.FailedFile());
    m_log.AddLogLine(text);
    NoteFailure(text);
    m_events.ShowIoError(text);
}

bool Readout::CloseFile()
{
    const int error = m_files.CloseExportFile();
    if (error != 0)
        IoFailure(error);
    return error == 0;
}

void Readout::EndReadout()
{
    if (m_files.IsExportFileOpen())
        m_files.CloseExportFile(); // the read-out ends anyway; its error changes nothing
    m_line.CloseChannel();
}

RecordLoop Readout::Loop()
{
    return RecordLoop(
        m_log, m_context.AbortRequested,
        [this](bool first) { return Driver().ReadMovesDevice(first); }, m_lineConfig.globalTry);
}

void Readout::DoDevice()
{
    m_plan = m_planSource.Snapshot();
    m_report = ReadoutReport();
    m_report.configuration = m_plan.configuration;
    m_report.started = m_clock();
    m_report.line = m_lineConfig.reportText;
    m_device = nullptr;
    m_readoutFailure.clear();
    ReadDevices();
    m_device = nullptr;
}

void Readout::ReadDevices()
{
    const QString addressText = m_plan.addressText;
    const AddressParseResult parsed = ParseAddressList(addressText);
    if (!parsed.Ok()) {
        m_events.ShowError(parsed.error);
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
    m_log.AddLogLine(m_lineConfig.logText);

    // A bad port or speed, or a family no driver serves, is refused before anything is
    // opened.
    if (!LineConfigUsable(m_lineConfig)) {
        Report(Rc::InvalidParameter);
        endUnreached(0);
        return;
    }
    if (!m_drivers.Find(m_plan.family)) {
        ShowAndLog(ResultCodeText(Rc::UnknownDevice) + QStringLiteral(": ") +
                   QString::number(m_plan.family));
        endUnreached(0);
        return;
    }
    m_line.Configure(m_lineConfig);
    m_master.Configure(m_lineConfig);
    m_modem.Configure(m_lineConfig.localTimeOut, m_lineConfig.showLog);

    const ResultCode opened = m_line.OpenChannel();
    if (opened == Rc::Aborted) {
        NoteAborted();
        endUnreached(0);
        return;
    }
    if (opened != Rc::Ok) {
        Report(opened);
        endUnreached(0);
        return;
    }
    if (m_plan.modem && !Dial(m_plan.dialString)) {
        endUnreached(0);
        return;
    }
    qsizetype next = 0;
    while (next < m_report.devices.size()) {
        m_device = &m_report.devices[next++];
        const Outcome outcome = ReadOneDevice(quint8(m_device->address));
        m_device->files = m_files.TakeWritten();
        m_events.DeviceDone(*m_device);
        m_device = nullptr;
        if (outcome == Outcome::End)
            break;
    }
    endUnreached(next);
}

bool Readout::Dial(const QString& dialString)
{
    // The results of the commands tell nothing the answers do not, except that the line
    // itself failed, or the abort ended the wait.
    const auto lineFailed = [this](ResultCode r) {
        if (r == Rc::Aborted) {
            NoteAborted();
            return true;
        }
        if (r == Rc::Ok || r == Rc::NoReply)
            return false;
        Report(r);
        return true;
    };
    m_log.AddLogLine(QStringLiteral(">> AT"));
    ResultCode r = m_modem.ModemCommand(QStringLiteral("AT\r\n"));
    if (lineFailed(r))
        return false;
    if (!m_modem.ModemReply.isEmpty())
        m_log.AddLogLine(QStringLiteral("<< ") + TrimLineBreaks(m_modem.ModemReply));
    if (!m_modem.ModemReply.contains(QStringLiteral("OK"))) {
        const QString text = QStringLiteral("Нет ответа от модема");
        m_log.AddLogLine(text);
        m_events.ShowError(text);
        NoteFailure(text);
        return false;
    }
    m_log.AddLogLine(QStringLiteral(">> ") + dialString);
    r = m_modem.ModemCommand(dialString + QStringLiteral("\r\n"));
    if (r != Rc::Aborted && lineFailed(r))
        return false;
    // No overall limit: the user ends a dial that never connects with the Abort button.
    for (;;) {
        if (m_context.AbortRequested) {
            NoteAborted();
            return false;
        }
        if (!m_modem.ModemReply.isEmpty())
            m_log.AddLogLine(QStringLiteral("<< ") + TrimLineBreaks(m_modem.ModemReply));
        else
            m_log.AppendToLastMemoLine(QStringLiteral(" *"));
        if (m_modem.ModemReply.contains(QStringLiteral("CONNECT")))
            return true;
        r = m_modem.ReceiveModemReply();
        // A line gone during the dial would answer every wait at once, forever.
        if (r != Rc::Aborted && lineFailed(r))
            return false;
    }
}

Readout::Outcome Readout::ReadOneDevice(quint8 address)
{
    // The plan as it stands now serves this device to its end.
    m_plan = m_planSource.Snapshot();
    if (!m_drivers.Find(m_plan.family)) {
        ShowAndLog(ResultCodeText(Rc::UnknownDevice) + QStringLiteral(": ") +
                   QString::number(m_plan.family));
        return Outcome::End;
    }
    m_log.AddLogLine(QStringLiteral("******* прибор по адресу ") + QString::number(address));
    m_context.DeviceAddress = address;
    // An abort that ended a wait of this device ends the read-out here and now.
    const auto aborted = [this](ResultCode r) {
        if (r != Rc::Aborted)
            return false;
        NoteAborted();
        return true;
    };

    m_log.AddLogLine(QStringLiteral("Определение типа прибора"));
    ResultCode r = Driver().IdentifyDevice(DeviceName);
    if (aborted(r))
        return Outcome::End;
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
    if (aborted(r))
        return Outcome::End;
    if (r != Rc::Ok) {
        Report(r);
        return Outcome::NextDevice;
    }
    NoteClock(DeviceClock);
    m_log.AddLogLine(QStringLiteral("Дата - Время = ") + ClockText(DeviceClock));

    m_log.AddLogLine(QStringLiteral("Чтение заводского номера"));
    r = Driver().ReadSerialNumber(SerialNumber);
    if (aborted(r))
        return Outcome::End;
    if (r != Rc::Ok) {
        Report(r);
        return Outcome::NextDevice;
    }
    m_log.AddLogLine(QStringLiteral("Зав. № = ") + SerialNumber);
    m_device->serialNumber = SerialNumber;

    m_log.AddLogLine(QStringLiteral("Чтение конфигурации архивов"));
    Layout.fill(Kind::None);
    r = Driver().ReadArchiveLayout(Layout);
    if (aborted(r))
        return Outcome::End;
    if (r != Rc::Ok) {
        Report(r);
        return Outcome::NextDevice;
    }
    m_log.AddLogLine(QStringLiteral("Выполнено"));
    m_log.AddMemoMark(QStringLiteral("---"));

    m_log.AddLogLine(QStringLiteral("Чтение имен параметров"));
    r = Driver().ReadParameterNames(Names);
    if (m_context.AbortRequested || r == Rc::Aborted) {
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

    // What the family lacks is skipped quietly, as the window never offers its box.
    for (const ArchiveStep& step : ArchiveSteps()) {
        if (!BoxIn(m_plan, step.box) || !Driver().HasArchive(step.kind))
            continue;
        const Outcome outcome = ExportArchive(step.kind);
        if (outcome != Outcome::GoOn)
            return outcome;
    }
    if (BoxIn(m_plan, ReadoutBox::EventLog) && Driver().HasEventLog()) {
        const Outcome outcome = ExportLog(false);
        if (outcome != Outcome::GoOn)
            return outcome;
    }
    if (BoxIn(m_plan, ReadoutBox::ProtectedLog) && Driver().HasProtectedLog()) {
        if (ExportLog(true) == Outcome::End)
            return Outcome::End;
    }
    return Outcome::NextDevice;
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
    m_log.AddLogLine(protectedLog ? QStringLiteral("Чтение защищенного журнала")
                                  : QStringLiteral("Чтение журнала событий"));

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

    const RecordLoopEnd end = Loop().Run(source, [&](int n) {
        const QString t = protectedLog ? FormatDate(m_logRecord.recordTime.date())
                                       : FormatDateTimeSeconds(m_logRecord.recordTime);
        m_log.AddMemoMark(t + QStringLiteral(" --> ") + QString::number(n));
        const int written = m_files.WriteLine(t + u';' + m_logRecord.text + u';');
        if (written == 0)
            report.Add(m_logRecord.recordTime);
        return written;
    });

    // The event log's first record tells what failed to decode; the protected log's
    // message stays plain, as does a later record's.
    return Conclude(end, {false, protectedLog ? Rc::Ok : Rc::LogDecodeError, false});
}

Readout::Outcome Readout::ExportArchive(ArchiveKind kind)
{
    const ArchiveInfo* info = FindArchive(kind);
    if (!info)
        return Outcome::NextDevice;
    if (!m_files.CreateArchiveFile(Text(info->title), Text(info->suffix))) {
        NoteFailure(m_files.LastFailure);
        return Outcome::End;
    }
    SourceReport& report = BeginSource(Text(info->title), info->reportPeriod);
    m_log.AddLogLine(Text(info->logLine));

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

    // A named slot of kind 0 has a header column; where the family decodes it, its value
    // goes under that heading, so that no later value slips one column left.
    const bool namedCells = Driver().DecodesEveryNamedSlot();
    const bool flagsText = Driver().HasFlagsText();
    const RecordLoopEnd end = Loop().Run(source, [&](int n) {
        const QString t = kind == ArchiveKind::Hourly
                              ? FormatDateTimeMinutes(m_archiveRecord.recordTime)
                              : FormatDate(m_archiveRecord.recordTime.date());
        m_log.AddMemoMark(t + QStringLiteral(" --> ") + QString::number(n));
        QString line = t + u';';
        for (int i = 0; i < ArchiveSlots; ++i) {
            const ParameterKind slotKind = Layout[size_t(i)];
            if (slotKind == Kind::None && !(namedCells && !Names[size_t(i)].isEmpty()))
                continue;
            const double value = m_archiveRecord.values[size_t(i)];
            if (slotKind == Kind::Flags) {
                const qint64 flags = RoundHalfEven(value);
                line += flagsText ? Driver().FlagsText(quint32(flags)) : FormatFlagsHex(flags);
            } else {
                line += FormatNumberCell(value);
            }
            line += u';';
        }
        const int written = m_files.WriteLine(line);
        if (written == 0)
            report.Add(m_archiveRecord.recordTime);
        return written;
    });

    return Conclude(end, {true, Rc::ArchiveDecodeError, true});
}

Readout::Outcome Readout::Conclude(const RecordLoopEnd& end, const SourceRules& rules)
{
    const auto failure = [&](bool first) {
        QString text = ResultCodeText(end.code);
        if (end.code == rules.decodeError && (first || rules.detailOnLaterFailure))
            text += QStringLiteral(": ") + m_context.DecodeErrorText;
        ShowAndLog(text);
    };
    Outcome result = Outcome::GoOn;
    switch (end.how) {
    case RecordLoopEnd::How::Aborted:
        NoteAborted();
        if (!rules.archive)
            return Outcome::End; // the end of the read-out closes the file
        // The rows so far stay in the file, but an aborted archive gets no copy. The next
        // device is read up to its names, where the abort is seen again: its waits must
        // not end at once meanwhile.
        m_cancel.Spend();
        return CloseFile() ? Outcome::NextDevice : Outcome::End;
    case RecordLoopEnd::How::WriteFailed:
        IoFailure(end.writeError);
        return Outcome::End;
    case RecordLoopEnd::How::StartFailed:
        Report(end.code);
        return CloseFile() ? Outcome::NextDevice : Outcome::End;
    case RecordLoopEnd::How::FirstFailed:
        failure(true);
        return CloseFile() ? Outcome::NextDevice : Outcome::End;
    case RecordLoopEnd::How::NoRecords:
        m_log.AddLogLine(rules.archive ? QStringLiteral("Нет данных в архиве")
                                       : QStringLiteral("Нет данных в журнале"));
        break;
    case RecordLoopEnd::How::NextFailed:
        failure(false);
        // A failed later record ends an archive's device; the next log of the device is
        // still read.
        if (rules.archive)
            result = Outcome::NextDevice;
        break;
    case RecordLoopEnd::How::Read:
        break;
    }
    if (!CloseFile())
        return Outcome::End;
    if (rules.archive) {
        const int datError = m_files.WriteDatCopy();
        if (datError != 0) {
            IoFailure(datError);
            return Outcome::End;
        }
    }
    if (end.written > 0)
        m_log.AddLogLine(QStringLiteral("Выполнено ") + QString::number(end.written));
    return result;
}
