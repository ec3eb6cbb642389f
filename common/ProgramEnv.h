#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// The program folder with a trailing separator: the folder of the program's file,
// or homeOverride (the --home option) when that is not empty. It anchors
// OrvekData.ini, Data and Protocols. The application asks once at start-up and hands
// the result to whoever needs it, so an override reaches every user.
QString ProgramDir(const QString& homeOverride = {});

// "Версия: " and the four numbers of the build's version.
QString VersionText();

// What the system tells of one serial port.
struct SerialPortEntry
{
    QString portName;    // COM3, ttyUSB0
    QString description; // the driver's description
    QString systemLocation;
};

// Port names for the port box, in the order the system lists them, Bluetooth modem
// ports left out (they can still be typed by hand).
QStringList SerialPortNames(const QList<SerialPortEntry>& ports);
void ListComPorts(QStringList& list);

// Accepts a point or a comma as the decimal mark. On false value is unchanged.
bool TextToFloat(const QString& text, double& value);
