#include "ProgramEnv.h"

#include "TextFormat.h"
#include "Version.h"

#include <QCoreApplication>
#include <QDir>
#include <QLocale>
#include <QSerialPortInfo>

#include <cmath>

QString ProgramDir(const QString& homeOverride)
{
    QString dir = homeOverride.isEmpty() ? QCoreApplication::applicationDirPath()
                                         : QDir(homeOverride).absolutePath();
    if (!dir.endsWith(u'/'))
        dir += u'/';
    return dir;
}

QString VersionText()
{
    return QStringLiteral("Версия: %1.%2.%3.%4")
        .arg(ORVEK_VERSION_MAJOR)
        .arg(ORVEK_VERSION_MINOR)
        .arg(ORVEK_VERSION_PATCH)
        .arg(ORVEK_VERSION_TWEAK);
}

namespace {

bool IsBluetoothModem(const SerialPortEntry& port)
{
    // Windows names such ports' drivers BthModem; here they are rfcomm devices.
    return port.systemLocation.contains(QStringLiteral("BthModem")) ||
           port.description.contains(QStringLiteral("Bluetooth"), Qt::CaseInsensitive) ||
           port.portName.startsWith(QStringLiteral("rfcomm"));
}

} // namespace

QStringList SerialPortNames(const QList<SerialPortEntry>& ports)
{
    QStringList names;
    for (const SerialPortEntry& port : ports) {
        if (!IsBluetoothModem(port))
            names.append(port.portName);
    }
    return names;
}

void ListComPorts(QStringList& list)
{
    QList<SerialPortEntry> ports;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts())
        ports.append({info.portName(), info.description(), info.systemLocation()});
    list = SerialPortNames(ports);
}

bool TextToFloat(const QString& text, double& value)
{
    const QChar mark = DecimalMark();
    QString t = text;
    if (const qsizetype dot = t.indexOf(u'.'); dot >= 0)
        t[dot] = mark;
    if (const qsizetype comma = t.indexOf(u','); comma >= 0)
        t[comma] = mark;

    QLocale locale;
    // A group separator would let "1,234" pass as a thousand.
    locale.setNumberOptions(QLocale::RejectGroupSeparator);
    bool ok = false;
    const double number = locale.toDouble(t, &ok);
    if (!ok || !std::isfinite(number))
        return false;
    value = number;
    return true;
}
