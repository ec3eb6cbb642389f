#pragma once

#include "DeviceDriver.h"

#include <memory>

#include <array>

// ОРВЕК-213 and ОРВЕК-223 (DeviceFamily 2). Fields come low byte first, and every
// register answers a one-register read with its whole block.
class Orvek213Driver : public DeviceDriver
{
public:
    explicit Orvek213Driver(DriverContext& context);

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

    bool HasArchive(ArchiveKind kind) const override;
    bool HasEventLog() const override { return true; }
    bool HasFlagsText() const override { return true; }
    QString FlagsText(quint32 flags) const override;

    // What the last identification and layout read left behind.
    quint16 ModelNumber() const { return m_modelNumber; }
    int SlotCount() const { return m_slotCount; }

    static constexpr int LayoutSlots = 55;
    static constexpr int RecordBufferSize = 95; // header and body of the 223 form
    static constexpr int RecordBodySize = 87;
    static constexpr int BodyValueSlots = 20;

private:
    struct RecordReply
    {
        bool present = false;
        RecordIndex index = NoMoreRecords;
        ReplyBlock body;
    };

    ResultCode ReadBlock(quint16 firstRegister, quint16 registers, int blockSize,
                         ReplyBlock& block);
    ResultCode ReadRecord(quint16 firstRegister, quint16 registers, bool first, RecordReply& reply);
    ResultCode ReadArchiveRecord(ArchiveKind kind, bool first, ArchiveRecord& record);
    ResultCode ReadEventRecord(bool first, LogRecord& record);
    // The record time from the body; false when its fields form no date.
    bool RecordTime(const ReplyBlock& body, QDateTime& time);

    // Kept until the program ends: a later device that cannot name its model is
    // read with the model of the last one that could.
    quint16 m_modelNumber = 0;
    std::array<quint8, LayoutSlots + 1> m_layoutCodes{};
    int m_slotCount = 0;
    std::array<QString, LayoutSlots> m_names;

    std::array<quint8, 255> m_reply{};
    std::array<quint8, RecordBufferSize> m_record{};
};

// The family's entry in the registry.
std::unique_ptr<DeviceDriver> MakeOrvek213Driver(DriverContext& context);
