#pragma once

#include "DeviceDriver.h"

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

bool& BoxIn(ReadoutSettings& settings, ReadoutBox box);

// Clears the boxes the family does not offer, as the window does when the family changes.
void DropUnoffered(ReadoutSettings& settings, const DeviceDriver& driver);
