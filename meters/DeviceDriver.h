#pragma once

#include "ModbusMaster.h"
#include "ResultCode.h"
#include "SharedTypes.h"

#include <QDateTime>
#include <QString>

#include <array>
#include <atomic>
#include <memory>
#include <span>
#include <vector>

class LogSink;

// The quantity held in one archive slot.
using ParameterKind = qint16;
namespace Kind {
inline constexpr ParameterKind None = 0;
inline constexpr ParameterKind Electricity = 101; // 'e'
inline constexpr ParameterKind Flags = 102;       // 'f', a 32-bit flag word
inline constexpr ParameterKind Time = 104;        // 'h'
inline constexpr ParameterKind Mass = 109;        // 'm'
inline constexpr ParameterKind Pressure = 112;    // 'p'
inline constexpr ParameterKind Heat = 113;        // 'q'
inline constexpr ParameterKind Temperature = 116; // 't'
inline constexpr ParameterKind Volume = 118;      // 'v'
} // namespace Kind

inline constexpr int ArchiveSlots = 60;

// Which quantity each slot holds; the same for all archives of a device. A slot of
// kind 0 has no column in any archive file.
using ArchiveLayout = std::array<ParameterKind, ArchiveSlots>;
// The display name of each slot; empty: the slot has no name.
using ParameterNames = std::array<QString, ArchiveSlots>;

// The index a device reports with each record; NoMoreRecords: no (further) record,
// and the other fields of the record are not filled.
using RecordIndex = qint16;
inline constexpr RecordIndex NoMoreRecords = -1;

struct ArchiveRecord
{
    std::array<double, ArchiveSlots> values{};
    QDateTime recordTime; // local calendar date and time of day, no zone
    RecordIndex recordIndex = 0;
};

struct LogRecord
{
    QString text;
    QDateTime recordTime;
    RecordIndex recordIndex = 0;
};

// The numbers are the read-out's own; 4 is not assigned.
enum class ArchiveKind : int {
    Hourly = 1,
    Daily = 2,
    Monthly = 3,
    IntegralDaily = 5,
    IntegralMonthly = 6,
    EmergencyDaily = 7,
};

// Passed with the start date; only the ИЛЬМ driver uses it.
using PeriodCode = qint16;
namespace Period {
inline constexpr PeriodCode None = 0;
inline constexpr PeriodCode Hourly = 104;  // 'h'
inline constexpr PeriodCode Daily = 100;   // 'd'
inline constexpr PeriodCode Monthly = 109; // 'm'
} // namespace Period

// What every driver operation works with: the master of the line, the exchange log,
// and the state the read-out shares with the drivers. A read-out session owns one.
struct DriverContext
{
    DriverContext(ModbusMaster& master, LogSink& log) : Master(master), Log(log) {}

    ModbusMaster& Master;
    LogSink& Log;
    // The bus address of the device being read; set by the read-out.
    BusAddress DeviceAddress = 0;
    // Set by the Abort button (another thread) while a read-out runs.
    std::atomic<bool> AbortRequested{false};
    // A description of the record that failed to decode (-90, -91), where a family
    // sets one; empty at start.
    QString DecodeErrorText;
};

// What a device answered to its family's identification.
struct Identity
{
    enum class Outcome {
        Known,        // a model of the family
        Unnamed,      // the model register is unknown to the meter: an early model
        UnknownModel, // a model number the family does not know
        Failed,       // the request failed (no answer, an exception, a damaged reply)
    };
    Outcome outcome = Outcome::Failed;
    // The display name: the model's, the family's fallback, or "ID = " and the number.
    QString name;
    ResultCode code;
};

// One device family. Every operation addresses DeviceAddress through the master and
// returns a ResultCode; operations a family does not have return Rc::UnknownDevice.
class DeviceDriver
{
public:
    explicit DeviceDriver(DriverContext& context) : m_context(context) {}
    virtual ~DeviceDriver() = default;

    virtual Identity Identify() = 0;
    // The contract's form of Identify: the name, and Ok, Rc::UnknownDevice or the failure.
    ResultCode IdentifyDevice(QString& name)
    {
        const Identity identity = Identify();
        name = identity.name;
        return identity.code;
    }
    virtual ResultCode ReadDeviceClock(QDateTime& clock) = 0;
    virtual ResultCode ReadSerialNumber(QString& serial) = 0;
    // Sets every slot to 0 before filling.
    virtual ResultCode ReadArchiveLayout(ArchiveLayout& layout) = 0;
    // Fills all 60 entries; a slot without a name gets an empty one.
    virtual ResultCode ReadParameterNames(ParameterNames& names) = 0;
    virtual ResultCode SetReadStartDate(const QDateTime& start, PeriodCode period) = 0;
    virtual ResultCode ReadFirstArchiveRecord(ArchiveKind kind, ArchiveRecord& record) = 0;
    virtual ResultCode ReadNextArchiveRecord(ArchiveKind kind, ArchiveRecord& record) = 0;
    virtual ResultCode ReadFirstEventRecord(LogRecord& record);
    virtual ResultCode ReadNextEventRecord(LogRecord& record);
    virtual ResultCode ReadFirstProtectedRecord(LogRecord& record);
    virtual ResultCode ReadNextProtectedRecord(LogRecord& record);

    // Whether a record read moves the device on to the following record (first: the
    // first read after a start date). Such a read is sent once, never repeated: after a
    // lost reply the device has moved all the same, and the caller repositions it.
    virtual bool ReadMovesDevice(bool first) const { return !first; }

    // What the family offers; the read-out offers the user nothing else.
    virtual bool HasArchive(ArchiveKind kind) const = 0;
    virtual bool HasEventLog() const { return false; }
    virtual bool HasProtectedLog() const { return false; }
    // Whether every named slot carries a decoded value in each record, also one of kind 0:
    // such a slot has a column in the archive header, so it gets its cell too.
    virtual bool DecodesEveryNamedSlot() const { return false; }
    // Families without flag names: the read-out writes flag words in hexadecimal.
    virtual bool HasFlagsText() const { return false; }
    // Names of the set flags joined by ", ", or "Ok"; no request, never fails.
    virtual QString FlagsText(quint32 flags) const;

protected:
    DriverContext& Context() const { return m_context; }
    ModbusMaster& Master() const { return m_context.Master; }
    ModbusMaster::Attempts RecordAttempts(bool first) const
    {
        return ReadMovesDevice(first) ? ModbusMaster::Attempts::Once
                                      : ModbusMaster::Attempts::Repeat;
    }
    BusAddress Address() const { return m_context.DeviceAddress; }

private:
    DriverContext& m_context;
};

// The meter families the program knows. Each has its number (the family box's item,
// the saved configuration's cbDevice, --family), its name and its driver; a family is
// added with a folder of its own and one line of the registry.
struct FamilyEntry
{
    DeviceFamily number;
    const char16_t* name;
    std::unique_ptr<DeviceDriver> (*make)(DriverContext& context);
};
std::span<const FamilyEntry> Families();
// Nothing for a number no family has.
const FamilyEntry* FindFamily(int number);

// One driver of every registered family; the read-out picks one by DeviceFamily at each
// call, and each keeps its own state between calls.
class DriverSet
{
public:
    explicit DriverSet(DriverContext& context);
    ~DriverSet();

    // Nothing for a family number that is not registered.
    DeviceDriver* Find(int family) const;
    // A registered family's driver.
    DeviceDriver& For(DeviceFamily family) const;

private:
    std::vector<std::unique_ptr<DeviceDriver>> m_drivers;
};

// Reply data as the drivers read it: a field beyond the received bytes reads as zero,
// so no read runs past the block.
class ReplyBlock
{
public:
    ReplyBlock() = default;
    ReplyBlock(const quint8* data, int length) : m_data(data), m_length(length) {}

    int Length() const { return m_length; }
    quint8 Byte(int at) const { return at >= 0 && at < m_length ? m_data[at] : 0; }
    quint16 U16LE(int at) const { return quint16(Byte(at) | (Byte(at + 1) << 8)); }
    quint32 U32LE(int at) const { return quint32(U16LE(at)) | (quint32(U16LE(at + 2)) << 16); }
    float FloatLE(int at) const;

private:
    const quint8* m_data = nullptr;
    int m_length = 0;
};
