#pragma once

#include "DeviceDriver.h"

#include <memory>
#include <span>

struct ReadoutSettings;

// The boxes of a read-out: the window's check boxes, the command line's lists.
enum class ReadoutBox { Hourly, Daily, Monthly, Integral, Emergency, EventLog, ProtectedLog };

// The archive steps of a device, in the order they run, each with the box that asks for
// it. The daily box asks for both daily archives.
struct ArchiveStep
{
    ReadoutBox box;
    ArchiveKind kind;
};
std::span<const ArchiveStep> ArchiveSteps();

// Whether a family offers what a box asks for. The driver's Has*() answers are the one
// source: the window's boxes, the command line's lists and the read-out's steps all
// follow them.
bool BoxOffered(const DeviceDriver& driver, ReadoutBox box);

// The box's tick in the window's settings or in a read-out's plan, which name them alike.
template <class Boxes>
auto& BoxIn(Boxes& boxes, ReadoutBox box)
{
    switch (box) {
    case ReadoutBox::Hourly:
        return boxes.archiveHourly;
    case ReadoutBox::Daily:
        return boxes.archiveDaily;
    case ReadoutBox::Monthly:
        return boxes.archiveMonthly;
    case ReadoutBox::Integral:
        return boxes.archiveIntegral;
    case ReadoutBox::Emergency:
        return boxes.archiveEmergency;
    case ReadoutBox::EventLog:
        return boxes.eventLog;
    case ReadoutBox::ProtectedLog:
        break;
    }
    return boxes.protectedLog;
}

// Clears the boxes the family does not offer, as the window does when the family changes.
void DropUnoffered(ReadoutSettings& settings, const DeviceDriver& driver);

// The drivers of every family, idle, as a catalogue of what each family offers: for the
// window's boxes and the command line's lists, before any line is opened.
class FamilyCatalogue
{
public:
    FamilyCatalogue();
    ~FamilyCatalogue();
    FamilyCatalogue(const FamilyCatalogue&) = delete;
    FamilyCatalogue& operator=(const FamilyCatalogue&) = delete;

    // Nothing for a number no family has.
    const DeviceDriver* Find(int family) const;

private:
    struct Parts;
    std::unique_ptr<Parts> d;
};
