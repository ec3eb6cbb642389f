// Figures for the data window: a year of hourly records (8 760 rows, 56 columns) opened
// through the window's own view steps and painted, a chart of 4 columns drawn, and the
// program's peak memory with the file open. "big" opens a copy of about 50 MB instead, for
// time and memory without targets.
// Run with bench/run.sh viewer, never by CTest.

#include "DatFile.h"
#include "ExchangeLog.h"
#include "TDataForm.h"
#include "TForm1.h"
#include "TKeyDlg.h"

#include <QApplication>
#include <QChartView>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <cstdio>
#include <ctime>

namespace {

double CpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

double PeakMegabytes()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_maxrss) / 1024.0;
}

// Hourly records from 1 January on, 55 values each in the decimal comma, as a meter's
// archive reads out; a flag column every 11th, as the archives carry them.
QByteArray HourlyArchive(int rows)
{
    QByteArray csv = "\xcf\xf0\xe8\xe1\xee\xf0: ORVEK-307\r\n"
                     "Serial: 11111111\r\n"
                     "Hourly archive\r\n"
                     "\xc4\xe0\xf2\xe0;";
    for (int c = 1; c < 56; ++c)
        csv += "P" + QByteArray::number(c) + ';';
    csv += "\r\n";
    const QDateTime start(QDate(2025, 1, 1), QTime(0, 0));
    csv.reserve(qsizetype(rows) * 56 * 9);
    for (int r = 0; r < rows; ++r) {
        const QDateTime when = start.addSecs(qint64(r) * 3600);
        csv += when.toString(QStringLiteral("dd.MM.yyyy HH:mm")).toLatin1() + ';';
        for (int c = 1; c < 56; ++c) {
            if (c % 11 == 0)
                csv += "Ok;";
            else
                csv += QByteArray::number(double((r * 7 + c * 13) % 1000) / 10.0 + c, 'f', 2)
                           .replace('.', ',') +
                       ';';
        }
        csv += "\r\n";
    }
    return csv;
}

void Settle(QWidget& widget)
{
    // Drawn, then the columns widened by the drawing, then drawn again.
    for (int i = 0; i < 3; ++i) {
        widget.repaint();
        QCoreApplication::processEvents();
    }
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    const bool big = app.arguments().contains(QStringLiteral("big"));
    QTemporaryDir dir;
    const QString path = dir.path() + QStringLiteral("/2025H0.dat");
    const int rows = big ? 150000 : 8760;
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) ||
            file.write(MakeDatCopy(HourlyArchive(rows), 0x5A17)) < 0) {
            std::fprintf(stderr, "bench_viewer: cannot write %s\n", qPrintable(path));
            return 1;
        }
    }
    const double fileMegabytes = double(QFileInfo(path).size()) / (1024.0 * 1024.0);
    const double baseMegabytes = PeakMegabytes();

    ExchangeLog log(dir.path() + u'/');
    TForm1 form(log, dir.path() + u'/');
    TKeyDlg keyDlg(&form);
    TDataForm dataForm;
    form.SetKeyDlg(&keyDlg);
    form.SetDataForm(&dataForm);
    QCoreApplication::processEvents();

    QElapsedTimer wall;
    double cpu = CpuSeconds();
    wall.start();
    if (!form.ViewDatFile(path))
        return 1;
    Settle(dataForm);
    const double openWall = double(wall.nsecsElapsed()) / 1e9;
    const double openCpu = CpuSeconds() - cpu;

    cpu = CpuSeconds();
    wall.restart();
    dataForm.SetChartVisible(true);
    dataForm.SetChartColumns({1, 2, 3, 4});
    Settle(dataForm);
    dataForm.ChartView()->grab();
    const double chartWall = double(wall.nsecsElapsed()) / 1e9;
    const double chartCpu = CpuSeconds() - cpu;

    std::printf("data window, %d rows x 56 columns, a copy of %.1f MB\n", rows, fileMegabytes);
    const char* timeTarget = big ? "" : "   (target <= 0.5 s)";
    std::printf("  open, shown and painted  %6.3f s wall  %6.3f s CPU%s\n", openWall, openCpu,
                timeTarget);
    std::printf("  chart of 4 columns       %6.3f s wall  %6.3f s CPU%s\n", chartWall, chartCpu,
                timeTarget);
    std::printf("  peak memory              %6.1f MB (%.1f MB before the window)%s\n",
                PeakMegabytes(), baseMegabytes, big ? "" : "   (target <= 120 MB)");
    const bool met = big || (openWall <= 0.5 && chartWall <= 0.5 && PeakMegabytes() <= 120);
    return met ? 0 : 1;
}
