// Takes the README's picture of the main window: loads a saved configuration of the
// demo folder, reads it, and saves the window as it then looks.

#include "ExchangeLog.h"
#include "ProgramEnv.h"
#include "TForm1.h"
#include "TKeyDlg.h"

#include <QApplication>
#include <QListWidget>
#include <QPixmap>
#include <QTimer>

#include <cstdio>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 4) {
        std::fprintf(stderr, "Usage: orvek-screenshot HOME CONFIGURATION OUT.png\n");
        return 2;
    }
    const QString programDir = ProgramDir(args.at(1));
    ExchangeLog log(programDir);
    TForm1 form(log, programDir);
    TKeyDlg keyDlg(&form);
    form.SetKeyDlg(&keyDlg);
    form.show();
    form.activateWindow();

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
        form.btnDoDeviceClick(); // returns when the read-out has ended
        QTimer::singleShot(300, [&] {
            status = form.grab().save(args.at(3)) ? 0 : 1;
            app.exit(status);
        });
    });
    app.exec();
    return status;
}
