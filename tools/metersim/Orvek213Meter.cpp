#include "Orvek213Meter.h"

#include "AnsiCodec.h"
#include "SimCommon.h"

#include <QJsonArray>
#include <QJsonValue>

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <vector>

namespace {

constexpr int BodySize = 87;
constexpr int ValueSlots = 20; // the body has room for slots 0..19 only
constexpr int LayoutCodes = 55;
constexpr int UnitsPerHour = 600; // operating and error times count 6-second units
constexpr int MaxReadCount = 125;
constexpr quint16 StartDateRegister = 8288;
constexpr double Pi = 3.14159265358979323846;
constexpr double HoursPerYear = 8766.0;
constexpr double WinterPeak = 14 * 24.0; // mid-January, counted from 2000-01-01

enum RecordKind { Hourly, Daily, Monthly, IntegralDaily, IntegralMonthly, Events, KindCount };

struct KindInfo
{
    quint16 firstRegister; // the next-record register follows it
    const char* depthKey;
    int defaultDepth;
    int maxDepth;
    TimeStep step;
};

const std::array<KindInfo, KindCount> kKinds = {{
    {0x2000, "hourly", 1488, 200000, TimeStep::Hour},
    {0x2010, "daily", 366, 40000, TimeStep::Day},
    {0x2020, "monthly", 48, 1200, TimeStep::Month},
    {0x2090, "integralDaily", 366, 40000, TimeStep::Day},
    {0x2030, "integralMonthly", 48, 1200, TimeStep::Month},
    {0x2050, "events", 200, 20000, TimeStep::Hour},
}};

// Two pipes, then the errors and error times of the system and its operating time: a
// 0xB0 closes the group of codes that shares its system number.
const QList<quint8> kDefaultLayout = {0x10, 0x11, 0x20, 0x21, 0x30, 0x31, 0x40, 0x41, 0x50,
                                      0xC0, 0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xB0};

// The meter keeps standard time all year: its times are calendar fields, held as UTC so
// that no summer-time change skips or repeats an hour.
QDateTime MeterTime(const QDate& date, int hour, int minute = 0, int second = 0)
{
    return QDateTime(date, QTime(hour, minute, second), Qt::UTC);
}

const QDate kEpochDay(2000, 1, 1);

qint64 HourNumber(const QDateTime& time)
{
    return (time.date().toJulianDay() - kEpochDay.toJulianDay()) * 24 + time.time().hour();
}

// depth record times, oldest first, the newest the last one due at newest.
QList<QDateTime> RecordTimes(TimeStep step, const QDateTime& newest, int depth)
{
    QDateTime last = MeterTime(newest.date(), newest.time().hour());
    if (step != TimeStep::Hour)
        last = MeterTime(newest.date(), 0);
    if (step == TimeStep::Month)
        last = MeterTime(QDate(newest.date().year(), newest.date().month(), 1), 0);
    QList<QDateTime> times;
    times.reserve(depth);
    for (int i = depth - 1; i >= 0; --i) {
        if (step == TimeStep::Hour)
            times.append(last.addSecs(-3600ll * i));
        else if (step == TimeStep::Day)
            times.append(last.addDays(-i));
        else
            times.append(last.addMonths(-i));
    }
    return times;
}

qint64 FloorDiv(qint64 value, qint64 divisor)
{
    qint64 quotient = value / divisor;
    if (value % divisor != 0 && value < 0)
        --quotient;
    return quotient;
}

quint64 Mix(quint64 a, quint64 b)
{
    NumberStream stream(a ^ (b * 0xD6E8FEB86659FD93ull));
    return stream.Next();
}

enum Purpose : quint64 {
    FlowRate = 1,
    HourNoise,
    DayNoise,
    EnergyRate,
    TempOffset,
    TempNoise,
    PressOffset,
    PressNoise,
    IncidentDraw,
    EventDraw,
};

// What the program calls the event codes 0..19 (0 ends a record's list) and the bits of
// the flag word; codes from 20 on it shows by number.
const char* const kEventNames[20] = {
    "",                // code 0
    "",                // code 1
    "",                // code 2
    "",                // code 3
    "",                // code 4
    "Vmin",            // code 5
    "Vmax",            // code 6
    "Verr",            // code 7
    "T1min",           // code 8
    "T1max",           // code 9
    "T2min",           // code 10
    "T2max",           // code 11
    "T1err",           // code 12
    "T2err",           // code 13
    "Tdtmax",          // code 14
    "Tdtmin",          // code 15
    "Tdt<3",           // code 16
    "Очистка архивов", // code 17
    "Включение",       // code 18
    "Уст. времени",    // code 19
};
const char* const kFlagNames[32] = {
    "",                     // bit 0
    "",                     // bit 1
    "Авария Gvtp",          // bit 2
    "Авария V",             // bit 3
    "НС Vmin",              // bit 4
    "НС Vmax",              // bit 5
    "",                     // bit 6
    "",                     // bit 7
    "Авария Tmin",          // bit 8
    "Авария Tmax",          // bit 9
    "Авария T",             // bit 10
    "Авария Тdt",           // bit 11
    "НС Tmin",              // bit 12
    "НС Tmax",              // bit 13
    "",                     // bit 14
    "НС Тdt",               // bit 15
    "Авария Qgtp",          // bit 16
    "Авария Uбат",          // bit 17
    "Авария теплосчетчика", // bit 18
    "",                     // bit 19
    "",                     // bit 20
    "НС Uбат",              // bit 21
    "",                     // bit 22
    "",                     // bit 23
    "",                     // bit 24
    "",                     // bit 25
    "",                     // bit 26
    "",                     // bit 27
    "Установка времени",    // bit 28
    "",                     // bit 29
    "Очистка архивов",      // bit 30
    "Включение прибора",    // bit 31
};

quint64 Tag(Purpose purpose, int a = 0, int b = 0)
{
    return (quint64(purpose) << 32) | (quint64(a) << 16) | quint64(b);
}

// Incidents drawn per day and system: 0 is an outage, which shortens the operating time
// and is what 0xD5 (time without power) counts; 1..4 and 6 are the other error times
// 0xD1..0xD6. Each sets one flag bit in the periods it falls in.
struct IncidentFlag
{
    int incident;
    int bit;
};
constexpr std::array<IncidentFlag, 6> kIncidentFlags = {
    {{0, 31}, {1, 4}, {2, 5}, {3, 15}, {4, 18}, {6, 12}}};

int IncidentOf(int code)
{
    const int n = code - 0xD0;
    return n == 5 ? 0 : n;
}

double Round(double value, double step)
{
    return std::round(value / step) * step;
}

// A monotonic counter: rate per hour, swinging over the year and the day, with hourly
// and daily noise. The shares add up to less than one, so every hour adds something.
struct Counter
{
    double rate = 0;
    double season = 0;
    double daily = 0;
    double hourNoise = 0;
    double dayNoise = 0;
    int id = 0;
};

struct Incident
{
    int hour = 0;
    int units = 0; // 0: nothing that day
};

bool CheckKeys(const QJsonObject& object, const QStringList& known, const QString& where,
               QString& error)
{
    for (const QString& key : object.keys()) {
        if (!known.contains(key)) {
            error = QStringLiteral("unknown key \"%1\"%2").arg(key, where);
            return false;
        }
    }
    return true;
}

bool ReadCode(const QJsonValue& value, quint8& code)
{
    if (value.isDouble()) {
        const double number = value.toDouble();
        if (number != std::floor(number) || number < 0 || number > 255)
            return false;
        code = quint8(number);
        return true;
    }
    if (!value.isString())
        return false;
    QString text = value.toString().trimmed();
    if (text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
        text = text.mid(2);
    bool ok = false;
    const uint number = text.toUInt(&ok, 16);
    if (!ok || number > 255)
        return false;
    code = quint8(number);
    return true;
}

class Orvek213Meter : public Meter
{
public:
    Orvek213Meter(quint8 address, const FaultSettings& faults) : Meter(2, address, faults) {}

    bool Load(const QJsonObject& object, QString& error);
    MeterAnswer Handle(const MeterRequest& request) override;
    bool IsStartDateWrite(const MeterRequest& request) const override
    {
        return request.function == 16 && request.firstRegister == StartDateRegister;
    }
    MeterExport Expected(const QDate& startDate) const override;

private:
    struct Records
    {
        QList<QDateTime> times; // oldest first
        RecordCursor cursor;
    };

    MeterAnswer Read(quint16 reg);
    MeterAnswer WriteStartDate(const MeterRequest& request);
    QByteArray ClockBlock() const;
    QByteArray LayoutBlock() const;
    QByteArray RecordReply(RecordKind kind, bool first);
    QByteArray Header(qsizetype position) const;
    QByteArray Body(RecordKind kind, qsizetype position) const;
    // The value words of an archive record, one per slot before the end of the layout
    // that the body has room for.
    QList<quint32> SlotWords(RecordKind kind, qsizetype position) const;
    bool LoadEvents(const QJsonArray& events, QString& error);
    void GenerateEvents(int depth);

    double Unit(quint64 tag, qint64 index) const;
    double CounterAt(const Counter& counter, qint64 hour) const;
    double Amount(const Counter& counter, qint64 from, qint64 to) const;
    Counter FlowCounter(int pair) const;
    double Temperature(int channel, double middle, qint64 hours, qint64 end) const;
    double Pressure(int channel, qint64 hours, qint64 end) const;
    Incident Draw(int system, int incident, qint64 day) const;
    qint64 IncidentUnitsBefore(int system, int incident, qint64 hour) const;
    qint64 IncidentUnits(int system, int incident, qint64 from, qint64 to) const;
    quint32 SlotWord(quint8 code, int system, qint64 end, qint64 hours) const;

    quint16 m_model = 223;
    QByteArray m_serial;
    QDateTime m_clock;
    bool m_clockRuns = true;
    QList<quint8> m_layout;
    quint64 m_key = 1;
    std::array<Records, KindCount> m_records;
    QList<QByteArray> m_eventCodes; // one per event record
    QDateTime m_start;              // invalid until a start date is written
    // Units before each day: a cache, filled as far as asked.
    mutable std::map<quint64, std::vector<qint64>> m_incidentSums;
};

bool Orvek213Meter::Load(const QJsonObject& object, QString& error)
{
    static const QStringList known = {
        QStringLiteral("family"),    QStringLiteral("address"), QStringLiteral("faults"),
        QStringLiteral("model"),     QStringLiteral("serial"),  QStringLiteral("clock"),
        QStringLiteral("clockRuns"), QStringLiteral("layout"),  QStringLiteral("key"),
        QStringLiteral("depth"),     QStringLiteral("events"),
    };
    if (!CheckKeys(object, known, QString(), error))
        return false;

    qint64 model = m_model;
    qint64 key = qint64(m_key);
    if (!ReadWholeNumber(object, QStringLiteral("model"), 0, 65535, model, error) ||
        !ReadWholeNumber(object, QStringLiteral("key"), 0, (1ll << 53), key, error))
        return false;
    m_model = quint16(model);
    m_key = quint64(key);

    const QJsonValue serial = object.value(QStringLiteral("serial"));
    QString serialText = QStringLiteral("%1%2")
                             .arg(m_model % 1000, 3, 10, QLatin1Char('0'))
                             .arg(m_key % 100000, 5, 10, QLatin1Char('0'));
    if (!serial.isUndefined()) {
        if (!serial.isString() || serial.toString().size() > 8) {
            error = QStringLiteral("\"serial\" must be a text of at most 8 characters");
            return false;
        }
        serialText = serial.toString();
    }
    m_serial = AnsiField(serialText, 8);

    const QJsonValue clock = object.value(QStringLiteral("clock"));
    m_clock = QDateTime::currentDateTime();
    m_clock.setTime(QTime(m_clock.time().hour(), m_clock.time().minute(), m_clock.time().second()));
    if (clock.toString() != QLatin1String("now") &&
        !ReadDateTime(object, QStringLiteral("clock"), m_clock, error))
        return false;
    m_clock = MeterTime(m_clock.date(), m_clock.time().hour(), m_clock.time().minute(),
                        m_clock.time().second());
    if (m_clock.date() < kEpochDay || m_clock.date().year() > 2255) {
        error = QStringLiteral("\"clock\" must lie in the years 2000 to 2255");
        return false;
    }
    const QJsonValue clockRuns = object.value(QStringLiteral("clockRuns"));
    if (!clockRuns.isUndefined() && !clockRuns.isBool()) {
        error = QStringLiteral("\"clockRuns\" must be true or false");
        return false;
    }
    m_clockRuns = clockRuns.toBool(true);

    m_layout = kDefaultLayout;
    const QJsonValue layout = object.value(QStringLiteral("layout"));
    if (!layout.isUndefined()) {
        if (!layout.isArray() || layout.toArray().size() > LayoutCodes) {
            error = QStringLiteral("\"layout\" must be a list of at most 55 codes");
            return false;
        }
        m_layout.clear();
        for (const QJsonValue& item : layout.toArray()) {
            quint8 code = 0;
            if (!ReadCode(item, code)) {
                error = QStringLiteral("\"layout\" codes must be 0..255 or hex texts like "
                                       "\"0xB0\"");
                return false;
            }
            m_layout.append(code);
        }
    }

    const QJsonValue depthValue = object.value(QStringLiteral("depth"));
    if (!depthValue.isUndefined() && !depthValue.isObject()) {
        error = QStringLiteral("\"depth\" must be an object");
        return false;
    }
    const QJsonObject depth = depthValue.toObject();
    QStringList depthKeys;
    for (const KindInfo& info : kKinds)
        depthKeys.append(QLatin1String(info.depthKey));
    if (!CheckKeys(depth, depthKeys, QStringLiteral(" in \"depth\""), error))
        return false;
    const QJsonValue events = object.value(QStringLiteral("events"));
    if (!events.isUndefined() && depth.contains(QLatin1String("events"))) {
        error = QStringLiteral("give either \"events\" or \"depth\".\"events\", not both");
        return false;
    }

    for (int kind = 0; kind < KindCount; ++kind) {
        const KindInfo& info = kKinds[kind];
        qint64 records = info.defaultDepth;
        if (!ReadWholeNumber(depth, QLatin1String(info.depthKey), 0, info.maxDepth, records, error))
            return false;
        if (kind == Events) {
            if (!events.isUndefined()) {
                if (!events.isArray()) {
                    error = QStringLiteral("\"events\" must be a list");
                    return false;
                }
                if (!LoadEvents(events.toArray(), error))
                    return false;
            } else {
                GenerateEvents(int(records));
            }
        } else {
            m_records[kind].times = RecordTimes(info.step, m_clock, int(records));
        }
        const QList<QDateTime>& times = m_records[kind].times;
        if (!times.isEmpty() && times.first().date() < kEpochDay) {
            error = QStringLiteral("the %1 records reach back before 2000").arg(info.depthKey);
            return false;
        }
    }
    StartRunning();
    return true;
}

bool Orvek213Meter::LoadEvents(const QJsonArray& events, QString& error)
{
    struct Entry
    {
        QDateTime time;
        QByteArray codes;
    };
    QList<Entry> entries;
    for (const QJsonValue& item : events) {
        if (!item.isObject()) {
            error = QStringLiteral("every event must be an object");
            return false;
        }
        const QJsonObject event = item.toObject();
        if (!CheckKeys(event, {QStringLiteral("time"), QStringLiteral("codes")},
                       QStringLiteral(" in an event"), error))
            return false;
        QDateTime time;
        if (!event.contains(QLatin1String("time"))) {
            error = QStringLiteral("every event needs a \"time\"");
            return false;
        }
        if (!ReadDateTime(event, QStringLiteral("time"), time, error))
            return false;
        if (time.date().year() > 2255) {
            error = QStringLiteral("event times must lie before 2256");
            return false;
        }
        const QJsonArray codes = event.value(QLatin1String("codes")).toArray();
        if (!event.value(QLatin1String("codes")).isArray() || codes.size() > 20) {
            error = QStringLiteral("\"codes\" of an event must be a list of at most 20 codes");
            return false;
        }
        Entry entry{MeterTime(time.date(), time.time().hour()), {}};
        for (const QJsonValue& codeValue : codes) {
            quint8 code = 0;
            if (!ReadCode(codeValue, code)) {
                error = QStringLiteral("event codes must be 0..255");
                return false;
            }
            entry.codes.append(char(code));
        }
        entries.append(entry);
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [](const Entry& a, const Entry& b) { return a.time < b.time; });
    for (const Entry& entry : entries) {
        m_records[Events].times.append(entry.time);
        m_eventCodes.append(entry.codes);
    }
    return true;
}

void Orvek213Meter::GenerateEvents(int depth)
{
    // Mostly limit crossings and sensor faults; archive clearing is rare.
    static const std::array<quint8, 14> common = {5,  6,  7,  8,  9,  10, 11,
                                                  12, 13, 14, 15, 16, 18, 19};
    NumberStream stream(Mix(m_key, Tag(EventDraw)));
    QDateTime time = MeterTime(m_clock.date(), m_clock.time().hour());
    QList<QDateTime> times;
    QList<QByteArray> codes;
    for (int i = 0; i < depth; ++i) {
        time = time.addSecs(-3600ll * (1 + stream.Below(48)));
        QByteArray list;
        const int count = 1 + stream.Below(3);
        for (int tries = 0; list.size() < count && tries < 10; ++tries) {
            const quint8 code = stream.Below(60) == 0 ? 17 : common[stream.Below(14)];
            if (!list.contains(char(code)))
                list.append(char(code));
        }
        times.prepend(time);
        codes.prepend(list);
    }
    m_records[Events].times = times;
    m_eventCodes = codes;
}

MeterAnswer Orvek213Meter::Handle(const MeterRequest& request)
{
    switch (request.function) {
    case 3:
        if (request.count < 1 || request.count > MaxReadCount)
            return MeterAnswer::Exception(3);
        return Read(request.firstRegister);
    case 16:
        return WriteStartDate(request);
    default:
        return MeterAnswer::Exception(1);
    }
}

MeterAnswer Orvek213Meter::Read(quint16 reg)
{
    switch (reg) {
    case 0:
        return {m_serial, 0};
    case 1800: {
        QByteArray model;
        PutU16LE(model, m_model);
        return {model, 0};
    }
    case 5378:
        return {LayoutBlock(), 0};
    case 8290:
        return {ClockBlock(), 0};
    default:
        break;
    }
    for (int kind = 0; kind < KindCount; ++kind) {
        const quint16 first = kKinds[kind].firstRegister;
        if (reg == first || reg == first + 1)
            return {RecordReply(RecordKind(kind), reg == first), 0, reg != first};
    }
    return MeterAnswer::Exception(2);
}

MeterAnswer Orvek213Meter::WriteStartDate(const MeterRequest& request)
{
    if (request.firstRegister != StartDateRegister)
        return MeterAnswer::Exception(2);
    if (request.count != 2 || request.data.size() != 4)
        return MeterAnswer::Exception(3);
    const auto byte = [&](int i) {
        return int(quint8(request.data.at(i)));
    };
    const QDate date(2000 + byte(3), byte(2), byte(1));
    if (!date.isValid() || byte(0) > 23)
        return MeterAnswer::Exception(3);
    m_start = MeterTime(date, byte(0));
    return {};
}

QByteArray Orvek213Meter::ClockBlock() const
{
    const QDateTime now = m_clockRuns ? m_clock.addMSecs(RunningMs()) : m_clock;
    QByteArray block;
    block.append(char(now.time().second()));
    block.append(char(now.time().minute()));
    block.append(char(now.time().hour()));
    block.append(char(now.date().day()));
    block.append(char(now.date().dayOfWeek()));
    block.append(char(now.date().month()));
    PutU16LE(block, quint16(now.date().year()));
    return block;
}

QByteArray Orvek213Meter::LayoutBlock() const
{
    QByteArray block(1, '\0');
    for (const quint8 code : m_layout)
        block.append(char(code));
    block.append(QByteArray(1 + LayoutCodes - block.size(), char(0xFF)));
    return block;
}

QByteArray Orvek213Meter::Header(qsizetype position) const
{
    QByteArray header;
    if (m_model == 213) {
        header.append(char(position % 255));
        header.append(QByteArray(4, '\0'));
    } else {
        PutU16LE(header, quint16(position % 32768));
        header.append(QByteArray(6, '\0'));
    }
    return header;
}

QByteArray Orvek213Meter::RecordReply(RecordKind kind, bool first)
{
    Records& records = m_records[kind];
    if (first) {
        records.cursor.started = true;
        records.cursor.next = m_start.isValid() ? std::lower_bound(records.times.begin(),
                                                                   records.times.end(), m_start) -
                                                      records.times.begin()
                                                : 0;
    }
    if (!records.cursor.started || records.cursor.next >= records.times.size()) {
        QByteArray none(m_model == 213 ? 1 : 2, char(0xFF));
        none.append(QByteArray((m_model == 213 ? 5 : 8) - none.size() + BodySize, '\0'));
        return none;
    }
    const qsizetype position = records.cursor.next++;
    return Header(position) + Body(kind, position);
}

QByteArray Orvek213Meter::Body(RecordKind kind, qsizetype position) const
{
    const QDateTime time = m_records[kind].times.at(position);
    int hour = time.time().hour();
    int day = time.date().day();
    int month = time.date().month();
    if (Faults().badRecordDates) {
        switch (position % 3) {
        case 0:
            day = 31;
            month = 2;
            break;
        case 1:
            month = 13;
            break;
        default:
            hour = 24;
            break;
        }
    }
    QByteArray body(1, '\0');
    body.append(char(hour));
    body.append(char(day));
    body.append(char(month));
    body.append(char((time.date().year() - 2000) & 0xFF));

    if (kind == Events) {
        body.append(m_eventCodes.at(position));
    } else {
        for (const quint32 word : SlotWords(kind, position))
            PutU32LE(body, word);
    }
    body.append(QByteArray(BodySize - body.size(), '\0'));
    return body;
}

QList<quint32> Orvek213Meter::SlotWords(RecordKind kind, qsizetype position) const
{
    const QDateTime time = m_records[kind].times.at(position);
    const qint64 end = HourNumber(time);
    qint64 hours = 0; // 0: the counters at the stamp
    if (kind == Hourly)
        hours = 1;
    else if (kind == Daily)
        hours = 24;
    else if (kind == Monthly)
        hours = 24 * time.date().addMonths(-1).daysInMonth();
    QList<quint32> words;
    int system = 1; // numbered like the slot names: one more after every 0xB0
    for (int slot = 0; slot < m_layout.size() && slot < ValueSlots; ++slot) {
        const quint8 code = m_layout.at(slot);
        if (code >= 0xF0)
            break;
        words.append(SlotWord(code, system, end, hours));
        if (code == 0xB0)
            ++system;
    }
    return words;
}

double Orvek213Meter::Unit(quint64 tag, qint64 index) const
{
    return double(Mix(Mix(m_key, tag), quint64(index)) >> 11) / double(1ull << 53);
}

double Orvek213Meter::CounterAt(const Counter& counter, qint64 hour) const
{
    const double x = double(hour);
    const qint64 day = FloorDiv(hour, 24);
    const double part = double(hour - day * 24) / 24.0;
    const double dayNoise = (1 - part) * Unit(Tag(DayNoise, counter.id), day) +
                            part * Unit(Tag(DayNoise, counter.id), day + 1);
    return counter.rate * (x +
                           counter.season * HoursPerYear / (2 * Pi) *
                               std::sin(2 * Pi * (x - WinterPeak) / HoursPerYear) +
                           counter.daily * 24 / (2 * Pi) * std::sin(2 * Pi * (x - 7) / 24) +
                           counter.hourNoise * Unit(Tag(HourNoise, counter.id), hour) +
                           counter.dayNoise * 24 * dayNoise);
}

// from == to - hours, or 0 for a counter reading.
double Orvek213Meter::Amount(const Counter& counter, qint64 from, qint64 to) const
{
    return CounterAt(counter, to) - CounterAt(counter, from);
}

Counter Orvek213Meter::FlowCounter(int pair) const
{
    return {0.8 + 2.7 * Unit(Tag(FlowRate, pair), 0), 0.3, 0.1, 0.15, 0.25, (1 << 8) | pair};
}

double Orvek213Meter::Temperature(int channel, double middle, qint64 hours, qint64 end) const
{
    const int pair = (channel - 1) / 2;
    const double winter = std::cos(2 * Pi * (middle - WinterPeak) / HoursPerYear);
    double value = 63 + 8 * (Unit(Tag(TempOffset, pair), 0) - 0.5) + 17 * winter;
    if (hours < 24)
        value += 2 * std::cos(2 * Pi * (middle - 7) / 24);
    const double swing = hours <= 1 ? 1.5 : hours <= 24 ? 0.8 : 0.3;
    value += swing * (2 * Unit(Tag(TempNoise, channel, int(qMin<qint64>(hours, 9999))), end) - 1);
    if (channel % 2 == 1)
        return Round(qBound(40.0, value, 90.0), 0.01);
    return Round(qBound(20.0, value - 14 - 8 * winter, 75.0), 0.01);
}

double Orvek213Meter::Pressure(int channel, qint64 hours, qint64 end) const
{
    const int pair = (channel - 1) / 2;
    const double base = channel % 2 == 1 ? 0.62 : 0.41;
    const double swing = hours <= 1 ? 0.02 : hours <= 24 ? 0.01 : 0.004;
    return Round(
        base + 0.04 * (Unit(Tag(PressOffset, pair), 0) - 0.5) +
            swing * (2 * Unit(Tag(PressNoise, channel, int(qMin<qint64>(hours, 9999))), end) - 1),
        0.001);
}

Incident Orvek213Meter::Draw(int system, int incident, qint64 day) const
{
    if (day < 0)
        return {};
    NumberStream stream(Mix(Mix(m_key, Tag(IncidentDraw, system, incident)), quint64(day)));
    const double chance = incident == 0 ? 0.02 : 0.03;
    if (stream.Uniform(0, 1) >= chance)
        return {};
    const int hour = stream.Below(24);
    return {hour, 10 + stream.Below(UnitsPerHour - 9)};
}

qint64 Orvek213Meter::IncidentUnitsBefore(int system, int incident, qint64 hour) const
{
    if (hour <= 0)
        return 0;
    const qint64 day = hour / 24;
    std::vector<qint64>& sums = m_incidentSums[Tag(IncidentDraw, system, incident)];
    if (sums.empty())
        sums.push_back(0);
    while (qint64(sums.size()) <= day) {
        const qint64 last = qint64(sums.size()) - 1;
        sums.push_back(sums.back() + Draw(system, incident, last).units);
    }
    const Incident today = Draw(system, incident, day);
    return sums[size_t(day)] + (today.hour < hour % 24 ? today.units : 0);
}

qint64 Orvek213Meter::IncidentUnits(int system, int incident, qint64 from, qint64 to) const
{
    return IncidentUnitsBefore(system, incident, to) - IncidentUnitsBefore(system, incident, from);
}

quint32 Orvek213Meter::SlotWord(quint8 code, int system, qint64 end, qint64 hours) const
{
    const bool integral = hours == 0;
    const qint64 from = integral ? 0 : end - hours;
    // Averages and flags of an integral record cover its last day.
    const qint64 recent = integral ? 24 : hours;
    const double middle = double(end) - double(recent) / 2;
    const int group = code >> 4;
    const int channel = (code & 0x0F) + 1;
    const bool supply = channel % 2 == 1;
    const int pair = (channel - 1) / 2;
    switch (group) {
    case 0x1:
        return FloatBits(
            float(Round(Amount(FlowCounter(pair), from, end) * (supply ? 1 : 0.985), 0.001)));
    case 0x2:
        return FloatBits(float(
            Round(Amount(FlowCounter(pair), from, end) * (supply ? 0.978 : 0.985 * 0.988), 0.001)));
    case 0x3:
        return FloatBits(float(Temperature(channel, middle, recent, end)));
    case 0x4:
        return FloatBits(float(Pressure(channel, recent, end)));
    case 0x5: {
        // Heat of pair n-1: mass times a typical temperature drop, in Gcal.
        const Counter heat{FlowCounter(channel - 1).rate * 0.978 * 14 / 1000,
                           0.55,
                           0.05,
                           0.1,
                           0.2,
                           (5 << 8) | (channel - 1)};
        return FloatBits(float(Round(Amount(heat, from, end), 0.0001)));
    }
    case 0x6:
    case 0x7:
    case 0x8:
    case 0x9: {
        static const std::array<double, 4> share = {0.55, 0.3, 0.1, 0.05};
        const Counter energy{(0.3 + 1.2 * Unit(Tag(EnergyRate, channel), 0)) * share[group - 6],
                             0.2,
                             0.3,
                             0.2,
                             0.2,
                             (group << 8) | channel};
        return FloatBits(float(Round(Amount(energy, from, end), 0.01)));
    }
    case 0xB:
        if (code != 0xB0)
            return 0;
        return quint32(UnitsPerHour * (end - from) - IncidentUnits(system, 0, from, end));
    case 0xC: {
        if (code != 0xC0)
            return 0;
        quint32 flags = 0;
        for (const IncidentFlag& entry : kIncidentFlags) {
            if (IncidentUnits(system, entry.incident, end - recent, end) > 0)
                flags |= 1u << entry.bit;
        }
        return flags;
    }
    case 0xD:
        if (code < 0xD1 || code > 0xD6)
            return 0;
        return quint32(IncidentUnits(system, IncidentOf(code), from, end));
    default:
        return 0;
    }
}

MeterExport Orvek213Meter::Expected(const QDate& startDate) const
{
    MeterExport out;
    const bool known = m_model == 213 || m_model == 223;
    out.deviceName =
        known ? QStringLiteral("ОРВЕК-%1").arg(m_model) : QStringLiteral("ID = %1").arg(m_model);
    out.serialNumber = ProgramText(DecodeAnsi(m_serial));
    const QByteArray codes = LayoutBlock().mid(1);
    const int slotCount = OrvekSlots(codes, out.kinds, out.names);
    for (const char* flag : kFlagNames)
        out.flagNames.append(QString::fromUtf8(flag));
    // Records of a model the program does not know are refused from the first one on.
    out.recordsRefused = !known;

    const QDateTime start = MeterTime(startDate, 0);
    static const std::pair<RecordKind, ExportArchive> archives[] = {
        {Hourly, ExportArchive::Hourly},
        {Daily, ExportArchive::Daily},
        {IntegralDaily, ExportArchive::IntegralDaily},
        {Monthly, ExportArchive::Monthly},
        {IntegralMonthly, ExportArchive::IntegralMonthly},
    };
    for (const auto& [kind, archive] : archives) {
        const QList<QDateTime>& times = m_records[kind].times;
        QList<ExpectedRecord> records;
        for (qsizetype at = FirstAtOrAfter(times, start); at < times.size(); ++at) {
            ExpectedRecord record;
            record.time = times.at(at);
            const QList<quint32> words = SlotWords(kind, at);
            // Slots past the body's room (20 on) are read as 0.
            for (int slot = 0; slot < qMin<qsizetype>(slotCount, words.size()); ++slot) {
                const quint32 word = words.at(slot);
                switch (quint8(codes.at(slot)) >> 4) {
                case 0x0:
                case 0xA:
                case 0xE:
                case 0xF:
                    break;
                case 0xB: // 6-second units to hours
                case 0xD:
                    record.values[size_t(slot)] = double(word) / UnitsPerHour;
                    break;
                case 0xC:
                    record.values[size_t(slot)] = double(word);
                    break;
                default:
                    record.values[size_t(slot)] = double(FloatFromBits(word));
                    break;
                }
            }
            records.append(record);
        }
        out.archives.append({archive, records});
    }

    const QList<QDateTime>& times = m_records[Events].times;
    QList<ExpectedLogRecord> events;
    for (qsizetype at = FirstAtOrAfter(times, start); at < times.size(); ++at) {
        QString text;
        for (const char c : m_eventCodes.at(at)) {
            const quint8 code = quint8(c);
            if (code == 0)
                break;
            if (!text.isEmpty())
                text += u',';
            text += code < std::size(kEventNames)
                        ? QString::fromUtf8(kEventNames[code])
                        : QStringLiteral("Событие ") + QString::number(code);
        }
        events.append({times.at(at), text});
    }
    out.eventLog = events;
    return out;
}

} // namespace

std::unique_ptr<Meter> MakeOrvek213Meter(quint8 address, const FaultSettings& faults,
                                         const QJsonObject& object, QString& error)
{
    auto meter = std::make_unique<Orvek213Meter>(address, faults);
    if (!meter->Load(object, error))
        return nullptr;
    return meter;
}
