#include "ReadoutSteps.h"

#include "ReadoutFrontEnd.h"

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

bool& BoxIn(ReadoutSettings& settings, ReadoutBox box)
{
    switch (box) {
    case ReadoutBox::Hourly:
        return settings.archiveHourly;
    case ReadoutBox::Daily:
        return settings.archiveDaily;
    case ReadoutBox::Monthly:
        return settings.archiveMonthly;
    case ReadoutBox::Integral:
        return settings.archiveIntegral;
    case ReadoutBox::Emergency:
        return settings.archiveEmergency;
    case ReadoutBox::EventLog:
        return settings.eventLog;
    case ReadoutBox::ProtectedLog:
        break;
    }
    return settings.protectedLog;
}

void DropUnoffered(ReadoutSettings& settings, const DeviceDriver& driver)
{
    for (const ReadoutBox box : AllBoxes) {
        if (!BoxOffered(driver, box))
            BoxIn(settings, box) = false;
    }
}
