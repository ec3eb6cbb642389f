#pragma once

#include "Meter.h"

#include <QByteArray>
#include <QDate>
#include <QMap>
#include <QString>

#include <memory>
#include <vector>

// The export files a read-out of a meter must leave, built from the meter's own data:
// a read-out with every archive and log ticked, from 00:00 of a start day on, made on
// the day "today". Dates, numbers and separators follow the regional settings of this
// process, as the program's own do. No .dat copies.

// The files of one meter by their path below the program folder
// ("Data/2026-12-10/ОРВЕК-307/30712345/1210CFG.csv"), each as its exact bytes.
QMap<QString, QByteArray> ExpectedFiles(const MeterExport& meter, const QDate& today);

// The text of one archive cell: a flag word by the meter's flag names (or in hex when
// it has none), any other value as a number.
QString ExpectedCell(const MeterExport& meter, int slot, double value);

// Writes the files of every meter below root (root/Data/...), replacing files of the
// same name. Fails, writing nothing, when a meter's name or serial number cannot be a
// folder of the export tree or two meters share one folder.
bool WriteExpectedFiles(const std::vector<std::unique_ptr<Meter>>& meters, const QString& root,
                        const QDate& startDate, const QDate& today, QString& error);
