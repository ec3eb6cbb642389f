#include "Orvek307Meter.h"

#include "AnsiCodec.h"
#include "SimCommon.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonValue>
#include <QStringList>

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <utility>

namespace {

constexpr quint16 StartDateRegister = 96;
constexpr quint16 ClockRegister = 98;
constexpr quint16 SerialRegister = 257;
constexpr quint16 LayoutRegister = 262;
constexpr quint16 SystemsRegister = 1538;
constexpr quint16 ModelRegister = 1800;

constexpr int SlotLimit = 55;
constexpr quint8 LayoutEnd = 0xF0;
constexpr int NameWidth = 10;
constexpr int SystemLimit = 25; // 25 entries of 10 bytes fill one reply
constexpr int SerialLength = 8;
constexpr int ChannelsPerGroup = 16;
constexpr int DescriptorSize = 40;

constexpr int BlockSize = 240;
constexpr int BodyOffset = 18;
constexpr int BodySize = 220; // 55 slot values of 4 bytes, or one event text
// Record indexes are signed 16-bit and -1 ends an archive.
constexpr int DepthLimit = 32767;

// A channel descriptor of groups 0x10 to 0x50: its first register and where its name sits.
struct Descriptor
{
    quint16 first;
    int nameOffset;
};
constexpr std::array<Descriptor, 5> Descriptors = {{
    {0x201, 19}, // volume
    {0x221, 11}, // mass
    {0x301, 15}, // temperature
    {0x401, 23}, // pressure
    {0x501, 2},  // heat energy
}};

// The archives and the two logs share one way of reading.
enum Archive { Hourly, Daily, Monthly, Integral, Emergency, Events, Protected, ArchiveCount };

struct ArchiveInfo
{
    const char* name; // key in "depth"
    quint16 first;    // first-record register
    quint16 next;     // next-record register
    int depth;        // default number of records
};
constexpr std::array<ArchiveInfo, ArchiveCount> Archives = {{
    {"hourly", 0x00, 0x05, 720},
    {"daily", 0x10, 0x15, 60},
    {"monthly", 0x20, 0x25, 24},
    {"integral", 0x30, 0x35, 24},
    {"emergency", 0x40, 0x45, 10},
    {"events", 0x50, 0x55, 40},
    {"protected", 0x70, 0x75, 12},
}};

// Bits of the flag word that the meter knows; the others never come up.
constexpr std::array<int, 24> FlagBits = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11,
                                          12, 13, 14, 15, 16, 17, 18, 20, 21, 22, 26, 30};

const char* const EventTexts[] = {
    "Вкл;Сеть",        "Откл. питания",  "Вкл. питания",    "Авария T1: T < Tmin",
    "НС V1: V > Vmax", "Снятие НС V1",   "Коррекция часов", "Открыт корпус",
    "Закрыт корпус",   "Разряд батареи", "Сброс ошибок",    "Связь;RS-485",
};

const char* const ProtectedTexts[] = {
    "Изменение схемы ТС1", "Изменение веса импульса V1",
    "Изменение Tmin T2",   "Изменение даты;времени",
    "Смена пароля",        "Изменение Pmax P1",
    "Ввод в эксплуатацию", "Обнуление архивов",
};

// What the program calls the bits of the flag word; the unnamed ones stay empty.
const char* const FlagNames[32] = {
    "Авария Vmin", // bit 0
    "Авария Vmax", // bit 1
    "Авария V",    // bit 2
    "Авария Gvtp", // bit 3
    "НС Vmin",     // bit 4
    "НС Vmax",     // bit 5
    "НС V",        // bit 6
    "НС G",        // bit 7
    "Авария Tmin", // bit 8
    "Авария Tmax", // bit 9
    "Авария T",    // bit 10
    "Авария Тdt",  // bit 11
    "НС Tmin",     // bit 12
    "НС Tmax",     // bit 13
    "НС T",        // bit 14
    "НС Тdt",      // bit 15
    "Авария Pmin", // bit 16
    "Авария Pmax", // bit 17
    "Авария P",    // bit 18
    "",            // bit 19
    "НС Pmin",     // bit 20
    "НС Pmax",     // bit 21
    "НС P",        // bit 22
    "",            // bit 23
    "",            // bit 24
    "",            // bit 25
    "Авария Qgtp", // bit 26
    "",            // bit 27
    "",            // bit 28
    "",            // bit 29
    "НС Q",        // bit 30
    "",            // bit 31
};

struct LogEntry
{
    QDateTime time;
    QString text;
};

struct Settings
{
    int model = 307;
    QString serial = QStringLiteral("00000001");
    QDateTime clock;
    QByteArray layout = QByteArray::fromHex("101130314050b0c0d1");
    QHash<int, QString> names; // descriptor register -> stored name
    std::optional<QStringList> systems;
    quint64 key = 1;
    std::array<int, ArchiveCount> depth{};
    std::optional<QList<LogEntry>> logs[2]; // events, protected
    QList<QDateTime> hourlyHoles;           // hours the hourly archive has no record for
};

// ---- meter-file reading ----

// Text of at most width Windows-1251 bytes.
bool ReadText(const QJsonValue& field, const QString& what, int width, QString& value,
              QString& error)
{
    if (!field.isString()) {
        error = QStringLiteral("%1 must be a text").arg(what);
        return false;
    }
    if (EncodeAnsi(field.toString()).size() > width) {
        error = QStringLiteral("%1 is longer than %2 characters").arg(what).arg(width);
        return false;
    }
    value = field.toString();
    return true;
}

bool ReadLayout(const QJsonObject& object, Settings& settings, QString& error)
{
    const QJsonValue field = object.value(QStringLiteral("layout"));
    if (field.isUndefined())
        return true;
    const QString wrong = QStringLiteral("\"layout\" must be an array of up to 55 codes 0 to 255");
    if (!field.isArray() || field.toArray().size() > SlotLimit) {
        error = wrong;
        return false;
    }
    settings.layout.clear();
    for (const QJsonValue& item : field.toArray()) {
        const double code = item.toDouble(-1);
        if (!item.isDouble() || code != std::floor(code) || code < 0 || code > 255) {
            error = wrong;
            return false;
        }
        settings.layout.append(char(quint8(code)));
    }
    return true;
}

bool IsDescriptor(int reg)
{
    return std::any_of(Descriptors.begin(), Descriptors.end(), [reg](const Descriptor& d) {
        return reg >= d.first && reg < d.first + ChannelsPerGroup;
    });
}

bool ReadNames(const QJsonObject& object, Settings& settings, QString& error)
{
    const QJsonValue field = object.value(QStringLiteral("names"));
    if (field.isUndefined())
        return true;
    if (!field.isObject()) {
        error = QStringLiteral("\"names\" must be an object like {\"0x301\": \"Подача\"}");
        return false;
    }
    const QJsonObject names = field.toObject();
    for (auto it = names.begin(); it != names.end(); ++it) {
        const QString key = it.key().trimmed();
        bool ok = false;
        const int reg = key.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)
                            ? key.mid(2).toInt(&ok, 16)
                            : key.toInt(&ok, 10);
        if (!ok || !IsDescriptor(reg)) {
            error = QStringLiteral("\"names\": \"%1\" is no channel descriptor (0x201-0x210, "
                                   "0x221-0x230, 0x301-0x310, 0x401-0x410, 0x501-0x510)")
                        .arg(it.key());
            return false;
        }
        QString name;
        if (!ReadText(it.value(), QStringLiteral("\"names\": \"%1\"").arg(it.key()), NameWidth,
                      name, error))
            return false;
        settings.names.insert(reg, name);
    }
    return true;
}

bool ReadSystems(const QJsonObject& object, Settings& settings, QString& error)
{
    const QJsonValue field = object.value(QStringLiteral("systems"));
    if (field.isUndefined())
        return true;
    if (!field.isArray() || field.toArray().size() > SystemLimit) {
        error = QStringLiteral("\"systems\" must be an array of up to %1 names").arg(SystemLimit);
        return false;
    }
    QStringList systems;
    for (const QJsonValue& item : field.toArray()) {
        QString name;
        if (!ReadText(item, QStringLiteral("a name in \"systems\""), NameWidth, name, error))
            return false;
        systems.append(name);
    }
    settings.systems = systems;
    return true;
}

bool ReadDepth(const QJsonObject& object, Settings& settings, QString& error)
{
    for (int a = 0; a < ArchiveCount; ++a)
        settings.depth[a] = Archives[a].depth;
    const QJsonValue field = object.value(QStringLiteral("depth"));
    if (field.isUndefined())
        return true;
    if (!field.isObject()) {
        error = QStringLiteral("\"depth\" must be an object like {\"hourly\": 720}");
        return false;
    }
    const QJsonObject depth = field.toObject();
    for (const QString& key : depth.keys()) {
        const auto known = std::find_if(Archives.begin(), Archives.end(), [&](const auto& a) {
            return key == QLatin1String(a.name);
        });
        if (known == Archives.end()) {
            error = QStringLiteral("unknown archive \"%1\" in \"depth\"").arg(key);
            return false;
        }
        qint64 value = 0;
        if (!ReadWholeNumber(depth, key, 0, DepthLimit, value, error))
            return false;
        settings.depth[known - Archives.begin()] = int(value);
    }
    return true;
}

bool ReadLog(const QJsonObject& object, const QString& key, std::optional<QList<LogEntry>>& log,
             QString& error)
{
    const QJsonValue field = object.value(key);
    if (field.isUndefined())
        return true;
    if (!field.isArray() || field.toArray().size() > DepthLimit) {
        error =
            QStringLiteral("\"%1\" must be an array of {\"time\": ..., \"text\": ...}").arg(key);
        return false;
    }
    QList<LogEntry> entries;
    const QJsonArray items = field.toArray();
    for (qsizetype i = 0; i < items.size(); ++i) {
        const QString where = QStringLiteral("\"%1\" entry %2").arg(key).arg(i + 1);
        const QJsonObject item = items.at(i).toObject();
        for (const QString& itemKey : item.keys()) {
            if (itemKey != QLatin1String("time") && itemKey != QLatin1String("text")) {
                error = QStringLiteral("%1: unknown key \"%2\"").arg(where, itemKey);
                return false;
            }
        }
        if (!items.at(i).isObject() || !item.contains(QLatin1String("time"))) {
            error = QStringLiteral("%1 needs a \"time\"").arg(where);
            return false;
        }
        LogEntry entry;
        QString timeError;
        if (!ReadDateTime(item, QStringLiteral("time"), entry.time, timeError)) {
            error = QStringLiteral("%1: %2").arg(where, timeError);
            return false;
        }
        const QJsonValue text = item.value(QLatin1String("text"));
        if (!text.isUndefined() &&
            !ReadText(text, QStringLiteral("%1: \"text\"").arg(where), BodySize, entry.text, error))
            return false;
        entries.append(entry);
    }
    // The meter keeps its logs in time order, whatever order the file lists them in.
    std::stable_sort(entries.begin(), entries.end(),
                     [](const LogEntry& a, const LogEntry& b) { return a.time < b.time; });
    log = entries;
    return true;
}

bool ReadSettings(const QJsonObject& object, Settings& settings, QString& error)
{
    static const QStringList known = {
        QStringLiteral("family"),    QStringLiteral("address"),     QStringLiteral("faults"),
        QStringLiteral("model"),     QStringLiteral("serial"),      QStringLiteral("clock"),
        QStringLiteral("layout"),    QStringLiteral("names"),       QStringLiteral("systems"),
        QStringLiteral("key"),       QStringLiteral("depth"),       QStringLiteral("events"),
        QStringLiteral("protected"), QStringLiteral("hourlyHoles"),
    };
    for (const QString& key : object.keys()) {
        if (!known.contains(key)) {
            error = QStringLiteral("unknown key \"%1\" for an ОРВЕК-306/307/308 meter").arg(key);
            return false;
        }
    }

    qint64 model = settings.model;
    if (!ReadWholeNumber(object, QStringLiteral("model"), 0, 0xFFFF, model, error))
        return false;
    settings.model = int(model);

    const QJsonValue serial = object.value(QStringLiteral("serial"));
    if (!serial.isUndefined()) {
        if (!serial.isString() || EncodeAnsi(serial.toString()).size() != SerialLength) {
            error = QStringLiteral("\"serial\" must be a text of exactly 8 characters");
            return false;
        }
        settings.serial = serial.toString();
    }

    const QDateTime now = QDateTime::currentDateTime();
    settings.clock = CalendarTime(now.date(), QTime(now.time().hour(), now.time().minute()));
    if (!ReadDateTime(object, QStringLiteral("clock"), settings.clock, error))
        return false;

    // JSON numbers are doubles: keys stay exact up to 2^53.
    constexpr qint64 keyLimit = qint64(1) << 53;
    qint64 key = 1;
    if (!ReadWholeNumber(object, QStringLiteral("key"), -keyLimit, keyLimit, key, error))
        return false;
    settings.key = quint64(key);

    const QJsonValue holes = object.value(QStringLiteral("hourlyHoles"));
    if (!holes.isUndefined() && !holes.isArray()) {
        error = QStringLiteral("\"hourlyHoles\" must be a list of times");
        return false;
    }
    for (const QJsonValue& hole : holes.toArray()) {
        QDateTime time;
        if (!ReadDateTime(QJsonObject{{QStringLiteral("hourlyHoles"), hole}},
                          QStringLiteral("hourlyHoles"), time, error))
            return false;
        settings.hourlyHoles.append(time);
    }

    return ReadLayout(object, settings, error) && ReadNames(object, settings, error) &&
           ReadSystems(object, settings, error) && ReadDepth(object, settings, error) &&
           ReadLog(object, QStringLiteral("events"), settings.logs[0], error) &&
           ReadLog(object, QStringLiteral("protected"), settings.logs[1], error);
}

// ---- archive values ----

// Fills the value slots of records. Per interval quantities (volume, mass, energy,
// operating time) are amounts of the interval, or running totals in the integral archive.
class ValueMaker
{
public:
    ValueMaker(quint64 key, QByteArray codes, bool integral)
        : m_codes(std::move(codes)), m_integral(integral)
    {
        // The meter's own scale, the same for all its archives.
        NumberStream profile(key * 16);
        for (int n = 0; n < ChannelsPerGroup; ++n) {
            m_flow[n] = profile.Uniform(0.8, 4.0);  // m³/h
            m_power[n] = profile.Uniform(0.2, 2.0); // kW
        }
    }

    QByteArray Body(NumberStream& rng, double hours, bool emergency)
    {
        QByteArray body;
        body.reserve(BodySize);
        const double supply = rng.Uniform(42.0, 88.0);
        const double drop = rng.Uniform(12.0, 25.0);
        const int seconds = int(hours * 3600);
        for (int slot = 0; slot < m_codes.size(); ++slot) {
            const int code = quint8(m_codes.at(slot));
            const int group = code & 0xF0;
            const int channel = code & 0x0F;
            const bool supplyLine = channel % 2 == 0; // channels 1, 3, 5...: supply pipes
            double amount = 0;
            switch (group) {
            case 0x10:
                amount = m_flow[channel] * hours * rng.Uniform(0.85, 1.15);
                break;
            case 0x20:
                amount = m_flow[channel] * 0.975 * hours * rng.Uniform(0.85, 1.15);
                break;
            case 0x30:
                PutFloatLE(body,
                           float((supplyLine ? supply : supply - drop) + rng.Uniform(-0.3, 0.3)));
                continue;
            case 0x40:
                PutFloatLE(body,
                           float(supplyLine ? rng.Uniform(0.55, 0.65) : rng.Uniform(0.35, 0.45)));
                continue;
            case 0x50:
                amount = m_flow[channel] * drop * hours / 1000 * rng.Uniform(0.9, 1.1);
                break;
            case 0x60:
            case 0x70:
            case 0x80:
            case 0x90:
                amount = m_power[channel] * hours * rng.Uniform(0.5, 1.5);
                break;
            case 0xB0: // seconds of operation, less when the power was off
                amount = seconds;
                if (rng.Below(100) < (emergency ? 30 : 5))
                    amount -= rng.Below(seconds / 2);
                break;
            case 0xD0: // seconds spent in a fault state
                if (rng.Below(100) < (emergency ? 50 : 5))
                    amount = 1 + rng.Below(seconds / 4);
                break;
            case 0xC0:
                PutU32LE(body, Flags(rng, emergency));
                continue;
            default:
                PutU32LE(body, 0);
                continue;
            }
            if (m_integral) {
                // Years of history before the first record held.
                if (!m_hasTotal[slot]) {
                    m_total[slot] = amount * rng.Uniform(12.0, 60.0);
                    m_hasTotal[slot] = true;
                }
                m_total[slot] += amount;
                amount = m_total[slot];
            }
            if (group == 0xB0 || group == 0xD0)
                PutU32LE(body, quint32(quint64(std::llround(amount)))); // counters wrap
            else
                PutFloatLE(body, float(amount));
        }
        body.append(QByteArray(BodySize - body.size(), '\0'));
        return body;
    }

private:
    static quint32 Flags(NumberStream& rng, bool emergency)
    {
        quint32 flags = 0;
        if (emergency || rng.Below(100) < 5) {
            for (int i = 1 + rng.Below(2); i > 0; --i)
                flags |= 1u << FlagBits[rng.Below(int(FlagBits.size()))];
        }
        return flags;
    }

    QByteArray m_codes;
    bool m_integral;
    std::array<double, ChannelsPerGroup> m_flow{};
    std::array<double, ChannelsPerGroup> m_power{};
    std::array<double, SlotLimit> m_total{};
    std::array<bool, SlotLimit> m_hasTotal{};
};

struct ArchiveData
{
    QList<QDateTime> times; // oldest first
    QByteArray bodies;      // BodySize bytes per record
    RecordCursor cursor;
};

class Orvek307Meter : public Meter
{
public:
    Orvek307Meter(quint8 address, const FaultSettings& faults, const Settings& settings)
        : Meter(0, address, faults)
    {
        BuildBlocks(settings);
        BuildArchives(settings);
        BuildLogs(settings);
    }

    bool IsStartDateWrite(const MeterRequest& request) const override
    {
        return request.function == 16 && request.firstRegister == StartDateRegister;
    }

    MeterAnswer Handle(const MeterRequest& request) override
    {
        switch (request.function) {
        case 3:
            return Read(request.firstRegister);
        case 16:
            return Write(request);
        default:
            return MeterAnswer::Exception(1);
        }
    }

    MeterExport Expected(const QDate& startDate) const override;

private:
    void BuildBlocks(const Settings& settings)
    {
        QByteArray model;
        PutU16LE(model, quint16(settings.model));
        m_blocks.insert(ModelRegister, model);

        m_blocks.insert(SerialRegister, QByteArray(1, '\0') + EncodeAnsi(settings.serial));

        const QDateTime& clock = settings.clock;
        QByteArray time;
        time.append(char(clock.time().second()));
        time.append(char(clock.time().minute()));
        time.append(char(clock.time().hour()));
        time.append(char(clock.date().day()));
        time.append(char(clock.date().dayOfWeek()));
        time.append(char(clock.date().month()));
        PutU16LE(time, quint16(clock.date().year()));
        m_blocks.insert(ClockRegister, time);

        QByteArray layout(1, char(settings.layout.size()));
        layout.append(settings.layout);
        layout.append(QByteArray(SlotLimit - settings.layout.size(), char(LayoutEnd)));
        m_blocks.insert(LayoutRegister, layout);

        if (settings.systems) {
            QByteArray systems;
            for (const QString& name : *settings.systems)
                systems.append(AnsiField(name, NameWidth));
            if (systems.isEmpty())
                systems = QByteArray(NameWidth, '\0');
            m_blocks.insert(SystemsRegister, systems);
        }

        for (int g = 0; g < int(Descriptors.size()); ++g) {
            for (int n = 0; n < ChannelsPerGroup; ++n) {
                const int reg = Descriptors[g].first + n;
                QByteArray block(DescriptorSize, '\0');
                block[0] = char(n + 1);
                block[1] = char((g + 1) << 4);
                const QString name = settings.names.value(reg);
                if (!name.isEmpty())
                    block.replace(Descriptors[g].nameOffset, NameWidth,
                                  AnsiField(name, NameWidth, ' '));
                m_blocks.insert(quint16(reg), block);
            }
        }
    }

    void BuildArchives(const Settings& settings)
    {
        // Records carry values for the slots before the end of the layout.
        QByteArray codes = settings.layout;
        const auto end =
            std::find_if(codes.begin(), codes.end(), [](char c) { return quint8(c) >= LayoutEnd; });
        codes.truncate(end - codes.begin());

        for (int a = Hourly; a <= Emergency; ++a) {
            NumberStream rng(settings.key * 16 + quint64(a) + 1);
            const int depth = settings.depth[a];
            ArchiveData& data = m_archives[a];
            switch (a) {
            case Hourly:
                data.times = ArchiveTimes(TimeStep::Hour, settings.clock, depth);
                data.times.removeIf(
                    [&](const QDateTime& t) { return settings.hourlyHoles.contains(t); });
                break;
            case Daily:
                data.times = ArchiveTimes(TimeStep::Day, settings.clock, depth);
                break;
            case Monthly:
            case Integral:
                data.times = ArchiveTimes(TimeStep::Month, settings.clock, depth);
                break;
            case Emergency: {
                // Only days with trouble are kept, so the days lie scattered.
                data.times.resize(depth);
                QDate day = settings.clock.date();
                for (int i = depth - 1; i >= 0; --i) {
                    data.times[i] = CalendarTime(day, QTime(0, 0));
                    day = day.addDays(-1 - rng.Below(14));
                }
                break;
            }
            }
            ValueMaker values(settings.key, codes, a == Integral);
            data.bodies.reserve(qsizetype(depth) * BodySize);
            for (const QDateTime& time : std::as_const(data.times)) {
                const double hours = a == Hourly ? 1
                                     : a == Monthly || a == Integral
                                         ? 24.0 * time.date().daysInMonth()
                                         : 24;
                data.bodies.append(values.Body(rng, hours, a == Emergency));
            }
        }
    }

    void BuildLogs(const Settings& settings)
    {
        for (int log = 0; log < 2; ++log) {
            ArchiveData& data = m_archives[Events + log];
            QList<LogEntry> entries;
            if (settings.logs[log]) {
                entries = *settings.logs[log];
            } else {
                NumberStream rng(settings.key * 16 + quint64(Events + log) + 1);
                QStringList texts;
                if (log == 0) {
                    for (const char* text : EventTexts)
                        texts.append(QString::fromUtf8(text));
                } else {
                    for (const char* text : ProtectedTexts)
                        texts.append(QString::fromUtf8(text));
                }
                entries.resize(settings.depth[Events + log]);
                QDateTime time = settings.clock.addSecs(-rng.Below(2 * 3600));
                for (qsizetype i = entries.size() - 1; i >= 0; --i) {
                    entries[i] = {time, texts.at(rng.Below(int(texts.size())))};
                    time = time.addSecs(-600 - rng.Below(3 * 24 * 3600));
                }
            }
            for (const LogEntry& entry : std::as_const(entries)) {
                data.times.append(entry.time);
                data.bodies.append(AnsiField(entry.text, BodySize));
            }
        }
    }

    MeterAnswer Read(quint16 reg)
    {
        for (int a = 0; a < ArchiveCount; ++a) {
            ArchiveData& data = m_archives[a];
            if (reg == Archives[a].first) {
                const qsizetype at =
                    m_start.isValid()
                        ? std::lower_bound(data.times.cbegin(), data.times.cend(), m_start) -
                              data.times.cbegin()
                        : 0;
                data.cursor.started = true;
                data.cursor.next = qMin(at + 1, data.times.size());
                return {RecordBlock(a, at)};
            }
            if (reg == Archives[a].next) {
                // Without a first-record read there is nothing to follow.
                if (!data.cursor.started)
                    return {RecordBlock(a, data.times.size())};
                const qsizetype at = data.cursor.next;
                data.cursor.next = qMin(at + 1, data.times.size());
                return {RecordBlock(a, at), 0, true};
            }
        }
        const auto block = m_blocks.constFind(reg);
        if (block == m_blocks.cend())
            return MeterAnswer::Exception(2);
        return {*block};
    }

    MeterAnswer Write(const MeterRequest& request)
    {
        if (request.firstRegister != StartDateRegister)
            return MeterAnswer::Exception(2);
        if (request.count != 2 || request.data.size() != 4)
            return MeterAnswer::Exception(3);
        const int hour = quint8(request.data.at(0));
        const QDate date(2000 + quint8(request.data.at(3)), quint8(request.data.at(2)),
                         quint8(request.data.at(1)));
        if (hour > 23 || !date.isValid())
            return MeterAnswer::Exception(3);
        m_start = CalendarTime(date, QTime(hour, 0));
        return {};
    }

    // The record at index of an archive or log; past the end, the no-record marker.
    QByteArray RecordBlock(int archive, qsizetype index) const
    {
        const ArchiveData& data = m_archives[archive];
        QByteArray block(BlockSize, '\0');
        block[0] = char(archive);
        if (index >= data.times.size()) {
            block[2] = char(0xFF);
            block[3] = char(0xFF);
            return block;
        }
        block[2] = char(index & 0xFF);
        block[3] = char(index >> 8);
        const QDateTime& time = data.times.at(index);
        int day = time.date().day();
        int month = time.date().month();
        if (Faults().badRecordDates) {
            if (index % 2 == 0) {
                day = 31;
                month = 2;
            } else {
                month = 13;
            }
        }
        block[12] = char(time.time().minute());
        block[13] = char(time.time().second());
        block[14] = char(time.time().hour());
        block[15] = char(day);
        block[16] = char(month);
        block[17] = char((time.date().year() - 2000) & 0xFF);
        block.replace(BodyOffset, BodySize, data.bodies.mid(index * BodySize, BodySize));
        return block;
    }

    QHash<quint16, QByteArray> m_blocks;
    std::array<ArchiveData, ArchiveCount> m_archives;
    QDateTime m_start; // invalid until a start date is written
};

MeterExport Orvek307Meter::Expected(const QDate& startDate) const
{
    MeterExport out;
    const QByteArray model = m_blocks.value(ModelRegister);
    const int number = quint8(model.at(0)) | quint8(model.at(1)) << 8;
    out.deviceName = number >= 306 && number <= 308 ? QStringLiteral("ОРВЕК-%1").arg(number)
                                                    : QStringLiteral("ID = %1").arg(number);
    out.serialNumber = ProgramText(DecodeAnsi(m_blocks.value(SerialRegister).mid(1, SerialLength)));

    const QByteArray codes = m_blocks.value(LayoutRegister).mid(1, SlotLimit);
    const int slotCount = OrvekSlots(codes, out.kinds, out.names);

    // Stored names replace the defaults: a channel's from its descriptor, a system's
    // (operating time, errors) from the systems block, which a meter without it lacks.
    const QByteArray systems = m_blocks.value(SystemsRegister);
    auto storedName = [](const QByteArray& block, qsizetype offset) {
        QString name = ProgramText(AnsiFieldText(block, offset, NameWidth));
        while (name.endsWith(u' '))
            name.chop(1);
        return name;
    };
    int entry = 0;
    for (int slot = 0; slot < slotCount; ++slot) {
        const int code = quint8(codes.at(slot));
        const int group = code & 0xF0;
        QString name;
        if (group >= 0x10 && group <= 0x50) {
            const Descriptor& d = Descriptors[size_t(group / 0x10 - 1)];
            name = storedName(m_blocks.value(quint16(d.first + (code & 0x0F))), d.nameOffset);
        } else if (group == 0xB0 || group == 0xC0) {
            name = storedName(systems, qsizetype(entry) * NameWidth);
            if (!name.isEmpty())
                name = (group == 0xB0 ? QStringLiteral("Наработка ") : QStringLiteral("Ошибки ")) +
                       name;
            if (group == 0xB0)
                ++entry;
        }
        if (!name.isEmpty())
            out.names[size_t(slot)] = name;
    }

    for (const char* flag : FlagNames)
        out.flagNames.append(QString::fromUtf8(flag));

    const QDateTime start = CalendarTime(startDate, QTime(0, 0));
    static const std::pair<Archive, ExportArchive> archives[] = {
        {Hourly, ExportArchive::Hourly},       {Daily, ExportArchive::Daily},
        {Monthly, ExportArchive::Monthly},     {Integral, ExportArchive::IntegralMonthly},
        {Emergency, ExportArchive::Emergency},
    };
    for (const auto& [archive, kind] : archives) {
        const ArchiveData& data = m_archives[archive];
        QList<ExpectedRecord> records;
        ExpectedRecord record;
        for (qsizetype at = FirstAtOrAfter(data.times, start); at < data.times.size(); ++at) {
            const QDateTime& time = data.times.at(at);
            record.time =
                CalendarTime(time.date(), QTime(archive == Hourly ? time.time().hour() : 0, 0));
            const QByteArray body = data.bodies.mid(at * BodySize, BodySize);
            for (int slot = 0; slot < slotCount; ++slot) {
                const quint32 word = U32LE(body, qsizetype(slot) * 4);
                const int group = quint8(codes.at(slot)) & 0xF0;
                if (group >= 0x10 && group <= 0x90)
                    record.values[size_t(slot)] = double(FloatFromBits(word));
                else if (group == 0xB0 || group == 0xD0)
                    record.values[size_t(slot)] = double(word) / 60; // seconds to minutes
                else if (group == 0xC0)
                    record.values[size_t(slot)] = double(word);
            }
            records.append(record);
        }
        out.archives.append({kind, records});
    }

    // Log times are read to the hour.
    for (int log = 0; log < 2; ++log) {
        const ArchiveData& data = m_archives[Events + log];
        QList<ExpectedLogRecord> records;
        for (qsizetype at = FirstAtOrAfter(data.times, start); at < data.times.size(); ++at) {
            const QDateTime& time = data.times.at(at);
            const QString text = ProgramText(AnsiFieldText(data.bodies, at * BodySize, BodySize));
            records.append({CalendarTime(time.date(), QTime(time.time().hour(), 0)), text});
        }
        (log == 0 ? out.eventLog : out.protectedLog) = records;
    }
    return out;
}

} // namespace

std::unique_ptr<Meter> MakeOrvek307Meter(quint8 address, const FaultSettings& faults,
                                         const QJsonObject& object, QString& error)
{
    Settings settings;
    if (!ReadSettings(object, settings, error))
        return nullptr;
    return std::make_unique<Orvek307Meter>(address, faults, settings);
}
