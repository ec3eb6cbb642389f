// How long the settings file takes to read when it has grown large: a 10 MB file of
// 80 000 saved configurations, listed and read as the window and `orvekdata read` do.

#include "IniFile.h"
#include "ProgramSettings.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>

namespace {

template <typename F>
double Seconds(F&& work)
{
    QElapsedTimer timer;
    timer.start();
    work();
    return double(timer.nsecsElapsed()) / 1e9;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;
    const QString path = dir.filePath(QStringLiteral("OrvekData.ini"));
    constexpr int sections = 80000;
    QByteArray text = "[General]\r\nComPort=COM1\r\nComSpeed=19200\r\n";
    for (int i = 0; i < sections; ++i) {
        text += "\r\n[Node " + QByteArray::number(i) + "]\r\n";
        text += "cbCOM=COM3\r\ncbSpeed=19200\r\ncbTCP=1\r\ncbModem=0\r\ncbEcho=0\r\ncbDevice=0\r\n"
                "edADDR=10.0.0.1\r\nedAddress=1 3 6-11 18\r\nedModem=\r\nsePort=4001\r\n"
                "cbArcHour=1\r\ncbArcDay=1\r\n";
    }
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size())
        return 1;
    file.close();

    IniFile ini(path);
    QStringList names;
    ReadoutSettings settings;
    GeneralSettings general;
    const double list = Seconds([&] { names = ConfigurationNames(ini); });
    const double generalTime = Seconds([&] { general = ReadGeneralSettings(ini); });
    const double last = Seconds([&] { ReadConfiguration(ini, names.last(), settings); });
    const double write = Seconds([&] { ini.WriteString(names.last(), "edAddress", "7"); });

    std::printf("settings file: %.1f MB, %d sections\n", double(text.size()) / 1e6, sections + 1);
    std::printf("goal: each step well under 1 s\n\n");
    std::printf("%-34s %8s\n", "step", "s");
    std::printf("%-34s %8.3f\n", "list the configurations (window)", list);
    std::printf("%-34s %8.3f\n", "read [General]", generalTime);
    std::printf("%-34s %8.3f\n", "read the last configuration", last);
    std::printf("%-34s %8.3f\n", "write one key of it", write);
    const bool met =
        list < 1 && generalTime < 1 && last < 1 && write < 1 && names.size() == sections;
    std::printf("\n%s\n", met ? "met" : "NOT met");
    return met ? 0 : 1;
}
