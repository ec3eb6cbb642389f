// Takes the README's pictures: loads a saved configuration of the demo folder, reads it,
// and saves the main window as it then looks; given a second picture, also the data
// window on the hourly archive just read, with a chart of its first two columns.

#include "ExchangeLog.h"
#include "ProgramEnv.h"
#include "TDataForm.h"
#include "TForm1.h"
#include "TKeyDlg.h"

#include <QApplication>
#include <QDirIterator>
#include <QEventLoop>
#include <QListWidget>
#include <QPixmap>
#include <QTimer>

#include <cstdio>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 4 && args.size() != 5) {
        std::fprintf(stderr,
                     "Usage: orvek-screenshot HOME CONFIGURATION OUT.png [DATA-WINDOW.png]\n");
        return 2;
    }
    const QString programDir = ProgramDir(args.at(1));
    ExchangeLog log(programDir);
    TForm1 form(log, programDir);
    TKeyDlg keyDlg(&form);
    form.SetKeyDlg(&keyDlg);
    TDataForm dataForm;
    form.SetDataForm(&dataForm);
    form.show();
    form.activateWindow();

    // The read-out runs beside the window; this waits for its end, the window painting
    // meanwhile.
    const auto read = [&form] {
        QEventLoop loop;
        QObject::connect(&form, &TForm1::sessionFinished, &loop, &QEventLoop::quit);
        form.btnDoDeviceClick();
        if (form.ReadoutRunning())
            loop.exec();
    };
    int status = 1;
    QTimer::singleShot(200, [&] {
        const QList<QListWidgetItem*> found = form.lbIni->findItems(args.at(2), Qt::MatchExactly);
        if (found.isEmpty()) {
            std::fprintf(stderr, "orvek-screenshot: no such configuration\n");
            app.exit(1);
            return;
        }
        form.lbIni->setCurrentItem(found.first());
        form.lbIniClick();
        read();
        QTimer::singleShot(300, [&] {
            status = form.grab().save(args.at(3)) ? 0 : 1;
            if (args.size() < 5 || status != 0) {
                app.exit(status);
                return;
            }
            // Two days of hours for the chart: read again from two days back.
            form.dtBegin->setDate(form.dtBegin->date().addDays(-2));
            read();
            QString copy;
            QDirIterator it(programDir + QStringLiteral("Data"), {QStringLiteral("*H0.dat")},
                            QDir::Files, QDirIterator::Subdirectories);
            while (it.hasNext()) {
                const QString found = it.next();
                if (copy.isEmpty() || QFileInfo(found).size() > QFileInfo(copy).size())
                    copy = found;
            }
            if (copy.isEmpty() || !form.ViewDatFile(copy)) {
                std::fprintf(stderr, "orvek-screenshot: no hourly archive to view\n");
                app.exit(1);
                return;
            }
            dataForm.SetChartVisible(true);
            QList<int> columns;
            for (int i = 0; i < dataForm.ChartColumnList()->count() && columns.size() < 2; ++i)
                columns.append(dataForm.ChartColumnList()->item(i)->data(Qt::UserRole).toInt());
            dataForm.SetChartColumns(columns);
            QTimer::singleShot(500, [&] {
                status = dataForm.grab().save(args.at(4)) ? 0 : 1;
                app.exit(status);
            });
        });
    });
    app.exec();
    return status;
}
