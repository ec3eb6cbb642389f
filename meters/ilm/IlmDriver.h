#pragma once

#include "DeviceDriver.h"

#include <memory>

#include <array>
#include <span>

// DeviceFamily 1, the ИЛЬМ meters: input registers read with function 4, big-endian
// registers, 32-bit values with the low register first. Input register 256 is one page
// that shows the slot names after 16 is written to register 6, and the next archive
// record after a request block is written to register 0.
class IlmDriver : public DeviceDriver
{
public:
    explicit IlmDriver(DriverContext& context) : DeviceDriver(context) {}

    Identity Identify() override;
    ResultCode ReadDeviceClock(QDateTime& clock) override;
    ResultCode ReadSerialNumber(QString& serial) override;
    ResultCode ReadArchiveLayout(ArchiveLayout& layout) override;
    ResultCode ReadParameterNames(ParameterNames& names) override;
    ResultCode SetReadStartDate(const QDateTime& start, PeriodCode period) override;
    ResultCode ReadFirstArchiveRecord(ArchiveKind kind, ArchiveRecord& record) override;
    ResultCode ReadNextArchiveRecord(ArchiveKind kind, ArchiveRecord& record) override;

    bool HasArchive(ArchiveKind kind) const override;
    // First and next are the same read of the record page; each moves the meter on.
    bool ReadMovesDevice(bool) const override { return true; }
    bool DecodesEveryNamedSlot() const override { return true; }

private:
    // On success block covers exactly the data bytes received.
    ResultCode ReadInput(quint16 firstRegister, quint16 registers, ReplyBlock& block,
                         ModbusMaster::Attempts attempts = ModbusMaster::Attempts::Repeat);
    ResultCode Write(quint16 firstRegister, std::span<const quint8> data);
    ResultCode ReadRecord(ArchiveKind kind, bool first, ArchiveRecord& record);

    std::array<quint8, 255> m_reply{};
    // Slot names of the last layout read; a slot without a name is neither shown nor
    // decoded.
    ParameterNames m_names;
    // The archive of the last start date: monthly records carry no day or hour.
    PeriodCode m_period = Period::None;
};

// The family's entry in the registry.
std::unique_ptr<DeviceDriver> MakeIlmDriver(DriverContext& context);
