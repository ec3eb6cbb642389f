#include "ReadoutSteps.h"

#include "LogSink.h"
#include "MemoryLine.h"
#include "ModbusMaster.h"
#include "ReadoutSettings.h"

namespace {

constexpr ArchiveStep Steps[] = {
    {ReadoutBox::Hourly, ArchiveKind::Hourly},
    {ReadoutBox::Daily, ArchiveKind::Daily},
    {ReadoutBox::Daily, ArchiveKind::IntegralDaily},
    {ReadoutBox::Monthly, ArchiveKind::Monthly},
    {ReadoutBox::Integral, ArchiveKind::IntegralMonthly},
    {ReadoutBox::Emergency, ArchiveKind::EmergencyDaily},
};

constexpr ReadoutBox AllBoxes[] = {
    ReadoutBox::Hourly,    ReadoutBox::Daily,    ReadoutBox::Monthly,     ReadoutBox::Integral,
    ReadoutBox::Emergency, ReadoutBox::EventLog, ReadoutBox::ProtectedLog};

} // namespace

std::span<const ArchiveStep> ArchiveSteps()
{
    return Steps;
}

bool BoxOffered(const DeviceDriver& driver, ReadoutBox box)
{
    if (box == ReadoutBox::EventLog)
        return driver.HasEventLog();
    if (box == ReadoutBox::ProtectedLog)
        return driver.HasProtectedLog();
    for (const ArchiveStep& step : Steps) {
        if (step.box == box && driver.HasArchive(step.kind))
            return true;
    }
    return false;
}

void DropUnoffered(ReadoutSettings& settings, const DeviceDriver& driver)
{
    for (const ReadoutBox box : AllBoxes) {
        if (!BoxOffered(driver, box))
            BoxIn(settings, box) = false;
    }
}

struct FamilyCatalogue::Parts
{
    struct Quiet : LogSink
    {
        void AddLogLine(const QString&) override {}
        void AddMemoMark(const QString&) override {}
    } log;
    MemoryLine line;
    ModbusMaster master{line, log};
    DriverContext context{master, log};
    DriverSet drivers{context};
};

FamilyCatalogue::FamilyCatalogue() : d(std::make_unique<Parts>()) {}

FamilyCatalogue::~FamilyCatalogue() = default;

const DeviceDriver* FamilyCatalogue::Find(int family) const
{
    return d->drivers.Find(family);
}
