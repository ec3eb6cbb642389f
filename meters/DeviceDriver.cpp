#include "DeviceDriver.h"

#include <cstring>

ResultCode DeviceDriver::ReadFirstEventRecord(LogRecord&)
{
    return Rc::UnknownDevice;
}

ResultCode DeviceDriver::ReadNextEventRecord(LogRecord&)
{
    return Rc::UnknownDevice;
}

ResultCode DeviceDriver::ReadFirstProtectedRecord(LogRecord&)
{
    return Rc::UnknownDevice;
}

ResultCode DeviceDriver::ReadNextProtectedRecord(LogRecord&)
{
    return Rc::UnknownDevice;
}

QString DeviceDriver::FlagsText(quint32) const
{
    return QStringLiteral("Ok");
}

DriverSet::DriverSet(DriverContext& context)
    : m_drivers{MakeOrvek307Driver(context), MakeIlmDriver(context), MakeOrvek213Driver(context)}
{}

DriverSet::~DriverSet() = default;

DeviceDriver& DriverSet::For(DeviceFamily family) const
{
    const int index = family >= FamilyOrvek307 && family <= FamilyOrvek213 ? int(family) : 0;
    return *m_drivers[size_t(index)];
}

float ReplyBlock::FloatLE(int at) const
{
    const quint32 bits = U32LE(at);
    float value = 0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}
