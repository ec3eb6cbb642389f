#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// The program folder with a trailing separator: homeOverride (the --home option) when
// that is not empty, else the folder of the program's file where a file can be written
// there (a portable copy, a build folder), else the user's data folder (an installed
// program, also when an administrator runs it from /usr/bin). It anchors OrvekData.ini, Data and
// Protocols. The application asks once at start-up and hands the result to whoever needs it, so an
// override reaches every user.
QString ProgramDir(const QString& homeOverride = {});
// The rule of ProgramDir over given folders.
QString ChooseProgramDir(const QString& homeOverride, const QString& programFolder,
                         const QString& userFolder);
// The user's own folder for the program's files: ~/.local/share/OrvekData on Linux.
QString UserDataDir();
// True when a file can be made in dir: the permissions, a read-only or full disk.
bool FolderWritable(const QString& dir);
// Makes the program folder when it is missing and makes sure files can be written in
// it; false, with a message naming the folder, when not, so that nothing is begun
// there that could only be left half-written. Where the user's data folder stands in
// for the program's own (a copy of the program in a folder that takes no file), the
// OrvekData.ini beside the program is copied into it while it has none, so that the
// saved configurations stay in view.
bool PrepareProgramDir(const QString& dir, QString& message);
// The same over given folders: the program's own and the user's data folder.
bool PrepareProgramDir(const QString& dir, const QString& programFolder, const QString& userFolder,
                       QString& message);

// Installs Qt's own Russian texts for the standard dialogs and buttons ("Открыть",
// "Отмена", "Да", "Нет"): the program speaks Russian whatever the system's language.
// False when the translations are not installed.
bool InstallQtTranslations();

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
// The ports, then the stable names of the folder of stable names (/dev/serial/by-id on
// Linux), which stay the same whichever socket an adapter is plugged into.
void ListComPorts(QStringList& list);
QString StableSerialFolder();
QStringList StableSerialNames(const QString& folder = StableSerialFolder());
// The device to open for a port name: a stable name is opened through its folder, any
// other name as it is.
QString SerialPortPath(const QString& name, const QString& folder = StableSerialFolder());
// The log's advice when a port cannot be opened for lack of permission: the group that
// owns the device and how to join it. Empty where there is no such advice to give.
QString PortPermissionAdvice(const QString& devicePath);
// True when this user may read and write the device.
bool DeviceAccessible(const QString& devicePath);

// Accepts a point or a comma as the decimal mark. On false value is unchanged.
bool TextToFloat(const QString& text, double& value);
