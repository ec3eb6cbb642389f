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
{
    for (const FamilyEntry& family : Families()) {
        const size_t slot = size_t(family.number);
        if (m_drivers.size() <= slot)
            m_drivers.resize(slot + 1);
        m_drivers[slot] = family.make(context);
    }
}

DriverSet::~DriverSet() = default;

DeviceDriver* DriverSet::Find(int family) const
{
    return family >= 0 && size_t(family) < m_drivers.size() ? m_drivers[size_t(family)].get()
                                                            : nullptr;
}

DeviceDriver& DriverSet::For(DeviceFamily family) const
{
    DeviceDriver* driver = Find(family);
    Q_ASSERT(driver);
    return *driver;
}

float ReplyBlock::FloatLE(int at) const
{
    const quint32 bits = U32LE(at);
    float value = 0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}
