#include "IlmMeter.h"

#include "AnsiCodec.h"
#include "SimCommon.h"

#include <QJsonArray>
#include <QJsonValue>
#include <QTimeZone>

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>

namespace {

constexpr int kSlots = 60;
constexpr int kColumns = 10;
constexpr int kRows = kSlots / kColumns;
constexpr int kHeaderBytes = 4;
constexpr int kFieldBytes = 4;
constexpr int kPageBytes = kHeaderBytes + kSlots * kFieldBytes;

// Input registers.
constexpr int kClockRegister = 0;
constexpr int kClockCount = 3;
constexpr int kPageRegister = 256;
constexpr int kPageCount = kPageBytes / 2;
constexpr int kSerialRegister = 834;
constexpr int kSerialCount = 4;
constexpr int kModelRegister = 842;

// Holding registers: the archive request block overlaps the page switch.
constexpr int kRequestRegister = 0;
constexpr int kRequestCount = 7;
constexpr int kPageSwitchRegister = 6;
constexpr quint16 kNamesPage = 16;
constexpr quint8 kRequestTail = 98;

constexpr int kMaxReadCount = 125;
constexpr int kMaxWriteCount = 123;
constexpr int kMaxDepth = 100000;

enum class Archive { Hourly, Daily, Monthly, Count };
constexpr int kArchives = int(Archive::Count);
constexpr std::array<quint8, kArchives> kSelectors = {26, 27, 28};
constexpr std::array<TimeStep, kArchives> kSteps = {TimeStep::Hour, TimeStep::Day, TimeStep::Month};
constexpr std::array<const char*, kArchives> kArchiveNames = {"hourly", "daily", "monthly"};

// The program prints byte 1, 0, 3, 2, ... of the serial block: the low byte of every
// register first.
constexpr std::array<int, 8> kPrintOrder = {1, 0, 3, 2, 5, 4, 7, 6};

enum class Quantity {
    Flags,
    Hours,
    Heat,
    Volume,
    Mass,
    Electric,
    Counter,
    Supply,
    Return,
    SupplyPressure,
    ReturnPressure
};

struct Settings
{
    quint8 model = 4;
    std::array<quint8, 8> serial{}; // as the reply carries it
    QDateTime clock;
    bool secondsBit7 = false;
    std::array<QString, kSlots> names;
    quint64 key = 1;
    std::array<int, kArchives> depth = {2208, 366, 36};
};

// Two circuits of a district-heating substation.
const std::array<const char*, 2 * kColumns> kDefaultNames = {
    "НС1", "Tр1", "Q1", "", "V1", "V2", "t1", "t2", "P1", "P2",
    "НС2", "Tр2", "Q2", "", "G3", "G4", "t3", "t4", "P3", "P4",
};

// The meter's clock knows no summer time: every hour of the calendar has its one
// record, so the times are kept as wall-clock times in a zone without shifts.
QDateTime WallTime(const QDate& date, const QTime& time)
{
    return QDateTime(date, time, QTimeZone::utc());
}

QList<QDateTime> RecordTimes(TimeStep step, const QDateTime& clock, int depth)
{
    const QDate today = clock.date();
    QDateTime last;
    switch (step) {
    case TimeStep::Hour:
        last = WallTime(today, QTime(clock.time().hour(), 0));
        break;
    case TimeStep::Day:
        last = WallTime(today, QTime(0, 0));
        break;
    case TimeStep::Month:
        last = WallTime(QDate(today.year(), today.month(), 1), QTime(0, 0));
        break;
    }
    QList<QDateTime> times;
    times.reserve(depth);
    for (int i = depth - 1; i >= 0; --i) {
        times.append(step == TimeStep::Hour  ? last.addSecs(-3600ll * i)
                     : step == TimeStep::Day ? last.addDays(-i)
                                             : last.addMonths(-i));
    }
    return times;
}

qint64 HourIndex(const QDateTime& time)
{
    static const qint64 origin = QDate(2000, 1, 1).toJulianDay();
    return (time.date().toJulianDay() - origin) * 24 + time.time().hour();
}

QByteArray Bytes(std::initializer_list<int> values)
{
    QByteArray bytes;
    for (int value : values)
        bytes.append(char(value));
    return bytes;
}

quint64 Mix(quint64 a, quint64 b, quint64 c)
{
    NumberStream stream(a ^ (b * 0xD6E8FEB86659FD93ull) ^ (c * 0x9E3779B97F4A7C15ull));
    return stream.Next();
}

class IlmMeter : public Meter
{
public:
    IlmMeter(quint8 address, const FaultSettings& faults, const Settings& settings,
             const QByteArray& namesPage, const std::array<QList<QDateTime>, kArchives>& times);

    MeterAnswer Handle(const MeterRequest& request) override;
    MeterExport Expected(const QDate& startDate) const override;
    bool IsStartDateWrite(const MeterRequest& request) const override
    {
        return request.function == 16 && request.firstRegister == kRequestRegister &&
               request.count == kRequestCount;
    }

private:
    struct SlotModel
    {
        Quantity quantity = Quantity::Counter;
        bool used = false;
        double base = 0;
        double rate = 0; // per hour, for counters
    };

    MeterAnswer ReadInput(const MeterRequest& request);
    MeterAnswer ReadHolding(const MeterRequest& request) const;
    MeterAnswer Write(const MeterRequest& request);
    bool SelectArchive(const QByteArray& block);

    QByteArray NextPage();
    QByteArray RecordPage(Archive archive, const QDateTime& time) const;
    double Value(int slot, qint64 hour) const;
    double Jitter(int slot, qint64 hour) const;
    double Supply(int row, qint64 hour) const;

    Settings m_settings;
    QByteArray m_namesPage;
    std::array<QList<QDateTime>, kArchives> m_times;
    std::array<SlotModel, kSlots> m_slots;
    std::array<double, kRows> m_rowOffset{};
    qint64 m_firstHour = 0; // the counters start here
    QByteArray m_holding = QByteArray(2 * kRequestCount, '\0');

    Archive m_archive = Archive::Hourly;
    RecordCursor m_cursor;
    int m_pagesSinceStart = 0;
};

Quantity QuantityOf(int column, char firstLetter)
{
    switch (column) {
    case 0:
        return Quantity::Flags;
    case 1:
        return Quantity::Hours;
    case 2:
    case 3:
        return Quantity::Heat;
    case 4:
    case 5:
        return firstLetter == 'V'   ? Quantity::Volume
               : firstLetter == 'G' ? Quantity::Mass
               : firstLetter == 'E' ? Quantity::Electric
                                    : Quantity::Counter;
    case 6:
        return Quantity::Supply;
    case 7:
        return Quantity::Return;
    case 8:
        return Quantity::SupplyPressure;
    default:
        return Quantity::ReturnPressure;
    }
}

IlmMeter::IlmMeter(quint8 address, const FaultSettings& faults, const Settings& settings,
                   const QByteArray& namesPage,
                   const std::array<QList<QDateTime>, kArchives>& times)
    : Meter(1, address, faults), m_settings(settings), m_namesPage(namesPage), m_times(times)
{
    NumberStream stream(settings.key);
    for (int f = 0; f < kSlots; ++f) {
        SlotModel& slot = m_slots[size_t(f)];
        const char first = namesPage.at(kHeaderBytes + f * kFieldBytes);
        slot.used = first != 0;
        slot.quantity = QuantityOf(f % kColumns, first);
        // Drawn for every slot, so renaming one slot leaves the others' values alone.
        const double size = stream.Uniform(0, 1);
        const double speed = stream.Uniform(0, 1);
        switch (slot.quantity) {
        case Quantity::Heat: // Gcal
            slot.base = 100 + 2900 * size;
            slot.rate = 0.05 + 0.55 * speed;
            break;
        case Quantity::Volume: // m³
        case Quantity::Mass:   // t
            slot.base = 1000 + 59000 * size;
            slot.rate = 0.5 + 11.5 * speed;
            break;
        case Quantity::Electric: // kWh
            slot.base = 100 + 19900 * size;
            slot.rate = 0.2 + 2.8 * speed;
            break;
        case Quantity::Counter:
            slot.base = 1000 * size;
            slot.rate = 0.1 + 1.9 * speed;
            break;
        case Quantity::Hours:
            slot.base = std::floor(5000 * size);
            break;
        default:
            break;
        }
    }
    for (double& offset : m_rowOffset)
        offset = stream.Uniform(-4, 4);

    qint64 oldest = HourIndex(settings.clock);
    for (const QList<QDateTime>& list : m_times) {
        if (!list.isEmpty())
            oldest = std::min(oldest, HourIndex(list.first()));
    }
    m_firstHour = oldest - 1000 - stream.Below(20000);
}

MeterAnswer IlmMeter::Handle(const MeterRequest& request)
{
    switch (request.function) {
    case 3:
        return ReadHolding(request);
    case 4:
        return ReadInput(request);
    case 16:
        return Write(request);
    default:
        return MeterAnswer::Exception(1);
    }
}

MeterAnswer IlmMeter::ReadInput(const MeterRequest& request)
{
    if (request.count < 1 || request.count > kMaxReadCount)
        return MeterAnswer::Exception(3);
    const int first = request.firstRegister;
    const int end = first + request.count;
    auto within = [&](int low, int count) {
        return first >= low && end <= low + count;
    };

    const QDateTime& clock = m_settings.clock;
    QByteArray block;
    int blockStart = 0;
    bool nextRecord = false;
    if (within(kClockRegister, kClockCount)) {
        const int seconds = clock.time().second() | (m_settings.secondsBit7 ? 0x80 : 0);
        block = Bytes({clock.date().year() - 2000, clock.date().month(), clock.date().day(),
                       clock.time().hour(), clock.time().minute(), seconds});
        blockStart = kClockRegister;
    } else if (within(kPageRegister, kPageCount)) {
        // The first page after a start date is that date's record; every later one moves
        // on from the record before.
        nextRecord = m_cursor.started && m_pagesSinceStart++ > 0;
        block = NextPage();
        blockStart = kPageRegister;
    } else if (within(kSerialRegister, kSerialCount)) {
        for (quint8 byte : m_settings.serial)
            block.append(char(byte));
        blockStart = kSerialRegister;
    } else if (within(kModelRegister, 1)) {
        block = Bytes({0, m_settings.model});
        blockStart = kModelRegister;
    } else {
        return MeterAnswer::Exception(2);
    }
    return MeterAnswer{block.mid(2 * (first - blockStart), 2 * request.count), 0, nextRecord};
}

MeterAnswer IlmMeter::ReadHolding(const MeterRequest& request) const
{
    if (request.count < 1 || request.count > kMaxReadCount)
        return MeterAnswer::Exception(3);
    if (request.firstRegister + request.count > kRequestRegister + kRequestCount)
        return MeterAnswer::Exception(2);
    return MeterAnswer{m_holding.mid(2 * request.firstRegister, 2 * request.count), 0};
}

MeterAnswer IlmMeter::Write(const MeterRequest& request)
{
    if (request.count < 1 || request.count > kMaxWriteCount ||
        request.data.size() != 2 * request.count)
        return MeterAnswer::Exception(3);
    if (request.firstRegister == kRequestRegister && request.count == kRequestCount) {
        if (!SelectArchive(request.data))
            return MeterAnswer::Exception(3);
    } else if (request.firstRegister == kPageSwitchRegister && request.count == 1) {
        if (quint16((quint8(request.data.at(0)) << 8) | quint8(request.data.at(1))) != kNamesPage)
            return MeterAnswer::Exception(3);
        m_cursor.started = false; // back to the names
    } else {
        return MeterAnswer::Exception(2);
    }
    m_holding.replace(2 * request.firstRegister, request.data.size(), request.data);
    return MeterAnswer{};
}

bool IlmMeter::SelectArchive(const QByteArray& block)
{
    auto byte = [&](int i) {
        return quint8(block.at(i));
    };
    const auto selector = std::find(kSelectors.begin(), kSelectors.end(), byte(7));
    if (selector == kSelectors.end() || byte(13) != kRequestTail)
        return false;
    for (int i : {4, 5, 6, 8, 9, 10, 11, 12}) {
        if (byte(i) != 0)
            return false;
    }
    const QDate date(2000 + byte(0), byte(1), byte(2));
    if (!date.isValid() || byte(3) > 23)
        return false;
    m_archive = Archive(selector - kSelectors.begin());
    m_cursor.next = FirstAtOrAfter(m_times[size_t(m_archive)], WallTime(date, QTime(byte(3), 0)));
    m_cursor.started = true;
    m_pagesSinceStart = 0;
    return true;
}

QByteArray IlmMeter::NextPage()
{
    if (!m_cursor.started)
        return m_namesPage;
    const QList<QDateTime>& times = m_times[size_t(m_archive)];
    if (m_cursor.next >= times.size())
        return QByteArray(kPageBytes, char(0xFF)); // erased memory past the newest record
    return RecordPage(m_archive, times.at(m_cursor.next++));
}

QByteArray IlmMeter::RecordPage(Archive archive, const QDateTime& time) const
{
    QByteArray page;
    page.reserve(kPageBytes);
    const QDate date = time.date();
    int month = date.month();
    int day = date.day();
    if (Faults().badRecordDates) {
        // A monthly record's day is not looked at, so only a month can be wrong there.
        month = archive == Archive::Monthly ? 13 : 2;
        day = archive == Archive::Monthly ? day : 31;
    }
    page.append(char(date.year() - 2000));
    page.append(char(month));
    page.append(char(day));
    page.append(char(time.time().hour()));

    const qint64 hour = HourIndex(time);
    for (int f = 0; f < kSlots; ++f) {
        const SlotModel& slot = m_slots[size_t(f)];
        if (!slot.used)
            PutU32Words(page, 0);
        else if (slot.quantity == Quantity::Flags)
            PutU32Words(page, quint32(Value(f, hour)));
        else
            PutFloatWords(page, float(Value(f, hour)));
    }
    return page;
}

MeterExport IlmMeter::Expected(const QDate& startDate) const
{
    MeterExport out;
    out.deviceName = QStringLiteral("ИЛЬМ-%1").arg(m_settings.model);
    // Every named field is decoded and written, whatever its kind.
    out.namedSlotsHaveCells = true;
    for (int at : kPrintOrder)
        out.serialNumber += QString::number(m_settings.serial[size_t(at)]);

    // A name runs from its field's first byte to the next zero byte, maybe on into the
    // following fields; the column and, for columns 4 and 5, its first letter tell the kind.
    for (int f = 0; f < kSlots; ++f) {
        const int start = kHeaderBytes + f * kFieldBytes;
        const char first = m_namesPage.at(start);
        if (first == 0)
            continue;
        out.names[size_t(f)] = ProgramText(AnsiFieldText(m_namesPage, start, kPageBytes - start));
        switch (f % kColumns) {
        case 0:
            out.kinds[size_t(f)] = 102;
            break;
        case 1:
            out.kinds[size_t(f)] = 104;
            break;
        case 2:
        case 3:
            out.kinds[size_t(f)] = 113;
            break;
        case 4:
        case 5:
            out.kinds[size_t(f)] = first == 'V' ? 118 : first == 'G' ? 109 : first == 'E' ? 101 : 0;
            break;
        case 6:
        case 7:
            out.kinds[size_t(f)] = 116;
            break;
        default:
            out.kinds[size_t(f)] = 112;
            break;
        }
    }

    static const std::pair<Archive, ExportArchive> archives[] = {
        {Archive::Hourly, ExportArchive::Hourly},
        {Archive::Daily, ExportArchive::Daily},
        {Archive::Monthly, ExportArchive::Monthly},
    };
    const QDateTime start = WallTime(startDate, QTime(0, 0));
    for (const auto& [archive, kind] : archives) {
        const QList<QDateTime>& times = m_times[size_t(archive)];
        QList<ExpectedRecord> records;
        for (qsizetype at = FirstAtOrAfter(times, start); at < times.size(); ++at) {
            const QDateTime& time = times.at(at);
            ExpectedRecord record;
            // A monthly record is dated by its month alone.
            record.time =
                archive == Archive::Monthly
                    ? WallTime(QDate(time.date().year(), time.date().month(), 1), QTime(0, 0))
                    : WallTime(time.date(), QTime(time.time().hour(), 0));
            const qint64 hour = HourIndex(time);
            for (int f = 0; f < kSlots; ++f) {
                const SlotModel& slot = m_slots[size_t(f)];
                if (!slot.used)
                    continue;
                record.values[size_t(f)] = slot.quantity == Quantity::Flags
                                               ? double(quint32(Value(f, hour)))
                                               : double(float(Value(f, hour)));
            }
            records.append(record);
        }
        out.archives.append({kind, records});
    }
    return out;
}

double IlmMeter::Jitter(int slot, qint64 hour) const
{
    NumberStream stream(Mix(m_settings.key, quint64(slot) + 1, quint64(hour)));
    return stream.Uniform(-1, 1);
}

constexpr double kYearAngle = 2 * std::numbers::pi / (365.2425 * 24); // per hour
constexpr qint64 kMidJanuary = 14 * 24;

// Colder months (around mid-January) call for hotter supply water and more heat.
double Season(qint64 hour)
{
    return std::cos(kYearAngle * double(hour - kMidJanuary));
}

// The integral of 1 + 0.6 * Season from the first hour on: the flow of a counter.
double SeasonalHours(qint64 hour, qint64 firstHour)
{
    return double(hour - firstHour) + 0.6 / kYearAngle *
                                          (std::sin(kYearAngle * double(hour - kMidJanuary)) -
                                           std::sin(kYearAngle * double(firstHour - kMidJanuary)));
}

double IlmMeter::Supply(int row, qint64 hour) const
{
    const double t =
        64 + 18 * Season(hour) + m_rowOffset[size_t(row)] + 3 * Jitter(row * kColumns + 6, hour);
    return std::clamp(t, 40.0, 90.0);
}

double IlmMeter::Value(int slot, qint64 hour) const
{
    const SlotModel& model = m_slots[size_t(slot)];
    const int row = slot / kColumns;
    switch (model.quantity) {
    case Quantity::Flags: {
        NumberStream stream(Mix(m_settings.key, quint64(slot) + 1, quint64(hour)));
        return stream.Below(48) == 0 ? double(1u << stream.Below(12)) : 0.0;
    }
    case Quantity::Hours:
        return model.base + double(hour - m_firstHour);
    case Quantity::Supply:
        return Supply(row, hour);
    case Quantity::Return: {
        const double supply = Supply(row, hour);
        return std::clamp(0.55 * supply + 10 + 2 * Jitter(slot, hour), 25.0, supply - 5);
    }
    case Quantity::SupplyPressure:
        return 0.6 + 0.01 * m_rowOffset[size_t(row)] + 0.04 * Jitter(slot, hour);
    case Quantity::ReturnPressure:
        return 0.38 + 0.03 * Jitter(slot, hour);
    default:
        // An hour's flow is at least 0.4 of the rate and the jitter moves two
        // neighbouring hours apart by at most 0.3, so a counter always grows.
        return model.base +
               model.rate * (SeasonalHours(hour, m_firstHour) + 0.15 * Jitter(slot, hour));
    }
}

// --- the meter file ---

bool ReadWhole(const QJsonValue& value, double low, double high, double& number)
{
    if (!value.isDouble())
        return false;
    number = value.toDouble();
    return number == std::floor(number) && number >= low && number <= high;
}

bool ReadInt(const QJsonObject& object, const QString& key, int low, int high, int& value,
             QString& error)
{
    qint64 number = value;
    if (!ReadWholeNumber(object, key, low, high, number, error))
        return false;
    value = int(number);
    return true;
}

bool ReadSerial(const QJsonValue& field, std::array<quint8, 8>& serial, QString& error)
{
    std::array<int, 8> printed{};
    bool ok = false;
    if (field.isString()) {
        const QString text = field.toString();
        ok = text.size() == 8 &&
             std::all_of(text.begin(), text.end(), [](QChar c) { return c.isDigit(); });
        for (int i = 0; ok && i < 8; ++i)
            printed[size_t(i)] = text.at(i).digitValue();
    } else if (field.isArray() && field.toArray().size() == 8) {
        ok = true;
        for (int i = 0; ok && i < 8; ++i) {
            double number = 0;
            ok = ReadWhole(field.toArray().at(i), 0, 255, number);
            printed[size_t(i)] = int(number);
        }
    }
    if (!ok) {
        error = QStringLiteral("\"serial\" must be a text of 8 digits or 8 numbers 0 to 255");
        return false;
    }
    for (int i = 0; i < 8; ++i)
        serial[size_t(kPrintOrder[size_t(i)])] = quint8(printed[size_t(i)]);
    return true;
}

bool ReadFields(const QJsonValue& field, std::array<QString, kSlots>& names, QString& error)
{
    if (!field.isArray() || field.toArray().size() > kSlots) {
        error = QStringLiteral("\"fields\" must be an array of at most 60 names");
        return false;
    }
    names = {};
    std::array<bool, kSlots> given{};
    const QJsonArray array = field.toArray();
    for (qsizetype i = 0; i < array.size(); ++i) {
        const QJsonValue entry = array.at(i);
        double slot = double(i);
        QString name;
        if (entry.isString()) {
            name = entry.toString();
        } else if (entry.isObject()) {
            const QJsonObject object = entry.toObject();
            for (const QString& key : object.keys()) {
                if (key != QLatin1String("slot") && key != QLatin1String("name")) {
                    error = QStringLiteral("unknown key \"%1\" in \"fields\"").arg(key);
                    return false;
                }
            }
            if (!ReadWhole(object.value(QLatin1String("slot")), 0, kSlots - 1, slot) ||
                !object.value(QLatin1String("name")).isString()) {
                error = QStringLiteral("a field of \"fields\" needs \"slot\" 0 to 59 and a "
                                       "text \"name\"");
                return false;
            }
            name = object.value(QLatin1String("name")).toString();
        } else {
            error = QStringLiteral("\"fields\" holds names or {\"slot\", \"name\"} objects");
            return false;
        }
        if (given[size_t(slot)]) {
            error = QStringLiteral("slot %1 is named twice in \"fields\"").arg(int(slot));
            return false;
        }
        if (name.contains(QChar(0))) {
            error = QStringLiteral("the name of slot %1 holds a zero character").arg(int(slot));
            return false;
        }
        given[size_t(slot)] = true;
        names[size_t(slot)] = name;
    }
    return true;
}

// The page the meter shows after the switch to names. The program reads a name from
// the field's first byte up to the next zero byte, so a long name runs on into the
// following fields, which therefore cannot carry a name of their own.
bool BuildNamesPage(const std::array<QString, kSlots>& names, QByteArray& page, QString& error)
{
    page = QByteArray(kPageBytes, '\0');
    int freeFrom = 0; // the first field no earlier name reaches into
    for (int f = 0; f < kSlots; ++f) {
        const QByteArray text = EncodeAnsi(names[size_t(f)]);
        if (text.isEmpty())
            continue;
        if (f < freeFrom) {
            error = QStringLiteral("the name of a slot before slot %1 runs into its field; "
                                   "shorten it or leave slot %1 without a name")
                        .arg(f);
            return false;
        }
        const int start = kHeaderBytes + f * kFieldBytes;
        if (start + text.size() > kPageBytes) {
            error = QStringLiteral("the name of slot %1 runs past the end of the page").arg(f);
            return false;
        }
        page.replace(start, text.size(), text);
        // The terminating zero byte belongs to the field it falls into.
        freeFrom = f + int(text.size()) / kFieldBytes + 1;
    }
    return true;
}

bool ReadDepth(const QJsonValue& field, std::array<int, kArchives>& depth, QString& error)
{
    if (!field.isObject()) {
        error = QStringLiteral("\"depth\" must be an object like {\"hourly\": 8760}");
        return false;
    }
    const QJsonObject object = field.toObject();
    for (const QString& key : object.keys()) {
        const auto name = std::find_if(kArchiveNames.begin(), kArchiveNames.end(),
                                       [&](const char* n) { return key == QLatin1String(n); });
        if (name == kArchiveNames.end()) {
            error = QStringLiteral("unknown archive \"%1\" in \"depth\"").arg(key);
            return false;
        }
        if (!ReadInt(object, key, 0, kMaxDepth, depth[size_t(name - kArchiveNames.begin())], error))
            return false;
    }
    return true;
}

} // namespace

std::unique_ptr<Meter> MakeIlmMeter(quint8 address, const FaultSettings& faults,
                                    const QJsonObject& object, QString& error)
{
    static const QStringList known = {
        QStringLiteral("family"),  QStringLiteral("address"),     QStringLiteral("faults"),
        QStringLiteral("comment"), QStringLiteral("model"),       QStringLiteral("serial"),
        QStringLiteral("clock"),   QStringLiteral("secondsBit7"), QStringLiteral("fields"),
        QStringLiteral("key"),     QStringLiteral("depth"),
    };
    for (const QString& key : object.keys()) {
        if (!known.contains(key)) {
            error = QStringLiteral("unknown key \"%1\" for an ИЛЬМ meter").arg(key);
            return nullptr;
        }
    }

    Settings settings;
    for (size_t i = 0; i < kDefaultNames.size(); ++i)
        settings.names[i] = QString::fromUtf8(kDefaultNames[i]);
    const QDateTime now = QDateTime::currentDateTime();
    settings.clock =
        QDateTime(now.date(), QTime(now.time().hour(), now.time().minute(), now.time().second()));
    int model = settings.model;
    if (!ReadInt(object, QStringLiteral("model"), 0, 255, model, error))
        return nullptr;
    settings.model = quint8(model);
    ReadSerial(QJsonValue(QStringLiteral("12345678")), settings.serial, error);
    const QJsonValue serial = object.value(QLatin1String("serial"));
    if (!serial.isUndefined() && !ReadSerial(serial, settings.serial, error))
        return nullptr;
    if (!ReadDateTime(object, QStringLiteral("clock"), settings.clock, error))
        return nullptr;
    if (settings.clock.date().year() < 2000 || settings.clock.date().year() > 2255) {
        error = QStringLiteral("\"clock\" must lie in the years 2000 to 2255");
        return nullptr;
    }
    const QJsonValue bit7 = object.value(QLatin1String("secondsBit7"));
    if (!bit7.isUndefined() && !bit7.isBool()) {
        error = QStringLiteral("\"secondsBit7\" must be true or false");
        return nullptr;
    }
    settings.secondsBit7 = bit7.toBool();
    const QJsonValue fields = object.value(QLatin1String("fields"));
    if (!fields.isUndefined() && !ReadFields(fields, settings.names, error))
        return nullptr;
    const QJsonValue key = object.value(QLatin1String("key"));
    if (!key.isUndefined()) {
        double number = 0;
        if (!ReadWhole(key, 0, 9007199254740992.0, number)) {
            error = QStringLiteral("\"key\" must be a whole number of 0 or more");
            return nullptr;
        }
        settings.key = quint64(number);
    }
    const QJsonValue depth = object.value(QLatin1String("depth"));
    if (!depth.isUndefined() && !ReadDepth(depth, settings.depth, error))
        return nullptr;

    QByteArray namesPage;
    if (!BuildNamesPage(settings.names, namesPage, error))
        return nullptr;
    std::array<QList<QDateTime>, kArchives> times;
    for (int a = 0; a < kArchives; ++a) {
        times[size_t(a)] =
            RecordTimes(kSteps[size_t(a)], settings.clock, settings.depth[size_t(a)]);
        if (!times[size_t(a)].isEmpty() && times[size_t(a)].first().date().year() < 2000) {
            error = QStringLiteral("the %1 archive reaches back before 2000")
                        .arg(QLatin1String(kArchiveNames[size_t(a)]));
            return nullptr;
        }
    }
    return std::make_unique<IlmMeter>(address, faults, settings, namesPage, times);
}
