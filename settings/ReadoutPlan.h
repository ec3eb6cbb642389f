#pragma once

#include "LineConfig.h"
#include "ReadoutSettings.h"

#include <QDate>
#include <QString>

#include <mutex>

struct GeneralSettings;

// What a read-out is asked to read: the addresses, the family, the first day, the
// archives and logs, the modem's dial string. The window may change it while a read-out
// runs; the read-out takes the addresses and the dial at its start and the rest afresh
// for every device, never within one.
struct ReadoutPlan
{
    QString configuration; // the saved configuration loaded, if any
    QString addressText;
    int family = 0;
    QDate startDate;
    bool archiveHourly = false;
    bool archiveDaily = false;
    bool archiveMonthly = false;
    bool archiveIntegral = false;
    bool archiveEmergency = false;
    bool eventLog = false;
    bool protectedLog = false;
    bool modem = false;
    QString dialString;

    bool operator==(const ReadoutPlan&) const = default;
};

ReadoutPlan PlanFrom(const ReadoutSettings& settings);

// The line of the settings with the time-outs and attempts of [General]: the gateway, or
// the serial port and its speed (a speed that is no whole number is kept as 0 and
// refused by CheckLineConfig), the pauses, the echo and the dump switch.
LineConfig LineConfigFrom(const ReadoutSettings& settings, const GeneralSettings& general);

// False for what cannot be opened as asked: a TCP port beyond 1..65535 (it would reach
// another port than the log names), a speed that is no whole number above 0.
bool LineConfigUsable(const LineConfig& config);

// The log's line naming the line: "Порт 5020 по IP адресу 10.0.0.7", "Порт COM3 скорость
// 9600" (the speed as typed).
QString LineLogText(const ReadoutSettings& settings);

// The plan of a running read-out, shared between the window that edits it and the
// read-out that takes a copy for every device.
class PlanSource
{
public:
    explicit PlanSource(ReadoutPlan plan = {}) : m_plan(std::move(plan)) {}

    void Update(const ReadoutPlan& plan)
    {
        std::lock_guard lock(m_mutex);
        m_plan = plan;
    }
    ReadoutPlan Snapshot() const
    {
        std::lock_guard lock(m_mutex);
        return m_plan;
    }

private:
    mutable std::mutex m_mutex;
    ReadoutPlan m_plan;
};
