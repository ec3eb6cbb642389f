#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

// One ModBus request as a stand-in meter sees it.
struct MeterRequest
{
    quint8 function = 0; // 3, 4 or 16
    quint16 firstRegister = 0;
    quint16 count = 0; // the register count named in the request
    QByteArray data;   // function 16: the data bytes written
};

// What the meter answers. For reads, data is the reply's data block (its length is the
// byte count, at most 255). For a write, an empty answer means success and the line
// sends the standard echo. A non-zero exception is sent as an exception reply.
struct MeterAnswer
{
    QByteArray data;
    int exception = 0;
    // The answer of a read that moved the meter on from one record to the next (not the
    // first read after a start date).
    bool nextRecord = false;

    static MeterAnswer Exception(int code) { return MeterAnswer{{}, code}; }
};

// Faults a meter (or the whole line) can be told to show.
struct FaultSettings
{
    bool silent = false;        // never answers
    int delayMs = 0;            // answers after this long
    int gapMs = 0;              // stops this long in the middle of a reply
    int corruptCrcEvery = 0;    // every Nth reply carries a wrong CRC
    int exceptionRegister = -1; // this register is answered with exceptionCode
    int exceptionCode = 0;
    bool otherAddress = false;   // replies carry the address + 1
    int otherAddressEvery = 0;   // every Nth reply carries the address + 1
    int truncateTo = 0;          // only the first N bytes of a reply are sent
    int noiseBytes = 0;          // 0xFF bytes sent ahead of a reply
    int byteCountLie = 0;        // added to the byte count of read replies
    int dropAfter = 0;           // TCP: the connection is dropped after N requests
    bool badRecordDates = false; // records carry dates that form no valid date
    int corruptNextEvery = 0;    // every Nth reply to a next-record read has a wrong CRC
    int startDateLimit = 0;      // start-date writes after the Nth get exception 4

    // Reads the "faults" object of a meter file; unknown keys are an error.
    static bool FromJson(const QJsonObject& object, FaultSettings& faults, QString& error);
};

// A meter's own faults over those of its line: what the meter sets wins.
FaultSettings CombineFaults(const FaultSettings& meter, const FaultSettings& line);

// The archives a read-out asks for, in the order it asks for them.
enum class ExportArchive { Hourly, Daily, IntegralDaily, Monthly, IntegralMonthly, Emergency };

constexpr int ExportSlots = 60;

struct ExpectedRecord
{
    QDateTime time; // calendar fields, as the program decodes them
    // Per slot, exactly as the program decodes it (a single-precision value widened);
    // only slots of a non-zero kind are written.
    std::array<double, ExportSlots> values{};
};

struct ExpectedLogRecord
{
    QDateTime time;
    QString text;
};

// What a read-out of the meter brings home, known from the meter's own data: the texts
// the program shows, the slots, and every record from a start day on in reading order.
// A read-out in which every exchange succeeds: the faults are not taken into account.
struct MeterExport
{
    QString deviceName;
    QString serialNumber;
    std::array<qint16, ExportSlots> kinds{}; // 0: the slot is not in use
    std::array<QString, ExportSlots> names;
    // Names of the 32 bits of a flag word, bit 0 first; empty: flag words are written in
    // hexadecimal.
    QStringList flagNames;
    // Every archive the family has, in reading order.
    QList<std::pair<ExportArchive, QList<ExpectedRecord>>> archives;
    std::optional<QList<ExpectedLogRecord>> eventLog;
    std::optional<QList<ExpectedLogRecord>> protectedLog;
    // Every named slot has its cell in the archive lines, also one of kind 0 (ИЛЬМ).
    bool namedSlotsHaveCells = false;
    // The first archive's first record is refused (a model whose records the program
    // cannot decode): that archive's file keeps its header and the meter is left.
    bool recordsRefused = false;
};

class Meter
{
public:
    virtual ~Meter() = default;

    int Family() const { return m_family; }
    quint8 Address() const { return m_address; }
    // The meter's own faults over those of the line it is on.
    FaultSettings Faults() const { return m_line ? CombineFaults(m_faults, *m_line) : m_faults; }
    void SetLine(const FaultSettings* lineFaults) { m_line = lineFaults; }

    virtual MeterAnswer Handle(const MeterRequest& request) = 0;
    // The write that sets the start date of the next first-record read.
    virtual bool IsStartDateWrite(const MeterRequest& request) const
    {
        Q_UNUSED(request);
        return false;
    }

    // The export of a read-out with every archive and log ticked, from 00:00 of
    // startDate on. A meter of no family (a test's own) has none: it comes back empty.
    virtual MeterExport Expected(const QDate& startDate) const
    {
        Q_UNUSED(startDate);
        return {};
    }

    // What the meter's running time is told by: ms from any origin, a steady clock unless
    // set. A test sets one it moves on itself, to watch a running clock without waiting.
    using Ticks = std::function<qint64()>;
    void SetTicks(Ticks ticks);

    // Builds a meter from one entry of a meter file. The common keys ("family",
    // "address", "faults") are read here; the family reads the rest.
    static std::unique_ptr<Meter> FromJson(const QJsonObject& object, QString& error);

protected:
    Meter(int family, quint8 address, FaultSettings faults);

    // The time run since StartRunning (or since the ticks were set), ms.
    qint64 RunningMs() const { return m_ticks() - m_runningFrom; }
    void StartRunning() { m_runningFrom = m_ticks(); }

private:
    int m_family;
    quint8 m_address;
    FaultSettings m_faults;
    const FaultSettings* m_line = nullptr;
    Ticks m_ticks;
    qint64 m_runningFrom = 0;
};

// The family factories; each reads its own keys from the meter's JSON object.
std::unique_ptr<Meter> MakeOrvek307Meter(quint8 address, const FaultSettings& faults,
                                         const QJsonObject& object, QString& error);
std::unique_ptr<Meter> MakeIlmMeter(quint8 address, const FaultSettings& faults,
                                    const QJsonObject& object, QString& error);
std::unique_ptr<Meter> MakeOrvek213Meter(quint8 address, const FaultSettings& faults,
                                         const QJsonObject& object, QString& error);
