#pragma once

#include "DeviceDriver.h"

#include <memory>

#include <array>

// ОРВЕК-306/307/308 (DeviceFamily 0). Every read names one register (count 1, or 120
// for a next record) and the meter answers with a whole block of its own length.
class Orvek307Driver final : public DeviceDriver
{
public:
    // Slots the meter describes; slots 55 to 59 of the shared tables stay unused.
    static constexpr int MaxSlots = 55;

    explicit Orvek307Driver(DriverContext& context) : DeviceDriver(context) {}

    Identity Identify() override;
    ResultCode ReadDeviceClock(QDateTime& clock) override;
    ResultCode ReadSerialNumber(QString& serial) override;
    ResultCode ReadArchiveLayout(ArchiveLayout& layout) override;
    ResultCode ReadParameterNames(ParameterNames& names) override;
    ResultCode SetReadStartDate(const QDateTime& start, PeriodCode period) override;
    ResultCode ReadFirstArchiveRecord(ArchiveKind kind, ArchiveRecord& record) override;
    ResultCode ReadNextArchiveRecord(ArchiveKind kind, ArchiveRecord& record) override;
    ResultCode ReadFirstEventRecord(LogRecord& record) override;
    ResultCode ReadNextEventRecord(LogRecord& record) override;
    ResultCode ReadFirstProtectedRecord(LogRecord& record) override;
    ResultCode ReadNextProtectedRecord(LogRecord& record) override;

    bool HasArchive(ArchiveKind kind) const override;
    bool HasEventLog() const override { return true; }
    bool HasProtectedLog() const override { return true; }
    bool HasFlagsText() const override { return true; }
    QString FlagsText(quint32 flags) const override;

    // What the last successful ReadArchiveLayout learnt.
    int SlotCount() const { return m_slotCount; }
    quint8 LayoutCode(int slot) const { return m_layoutCodes[size_t(slot)]; }

private:
    using Buffer = std::array<quint8, 255>;

    ResultCode Read(quint16 firstRegister, quint16 count, Buffer& buffer, ReplyBlock& block,
                    ModbusMaster::Attempts attempts = ModbusMaster::Attempts::Repeat);
    ResultCode ReadArchiveRecord(ArchiveKind kind, bool first, ArchiveRecord& record);
    ResultCode ReadLogRecord(quint16 firstRegister, quint16 count, bool first, LogRecord& record);

    std::array<quint8, MaxSlots> m_layoutCodes{};
    int m_slotCount = 0;
    std::array<QString, MaxSlots> m_names;
};

// The family's entry in the registry.
std::unique_ptr<DeviceDriver> MakeOrvek307Driver(DriverContext& context);
