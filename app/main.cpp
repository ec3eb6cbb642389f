#include "ExchangeLog.h"
#include "ProgramEnv.h"
#include "TForm1.h"

#include <QApplication>
#include <QDir>
#include <QStringList>

#include <cstdio>

namespace {

const char kUsage[] = "Usage:\n"
                      "  orvekdata [--home DIR]    start the program window\n"
                      "  orvekdata --version       print the version\n"
                      "\n"
                      "--home DIR  use DIR as the program folder (OrvekData.ini, Data, "
                      "Protocols)\n";

void Print(FILE* stream, const QString& text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fflush(stream);
}

struct Options
{
    QString home;
    bool version = false;
    bool help = false;
    QString error;
};

Options ParseOptions(const QStringList& args)
{
    Options options;
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QString& arg = args.at(i);
        if (arg == QLatin1String("--version")) {
            options.version = true;
        } else if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            options.help = true;
        } else if (arg == QLatin1String("--home")) {
            if (++i >= args.size()) {
                options.error = QStringLiteral("--home needs a folder");
                break;
            }
            options.home = args.at(i);
        } else if (arg.startsWith(QLatin1String("--home="))) {
            options.home = arg.mid(7);
        } else {
            options.error = QStringLiteral("unknown argument: ") + arg;
            break;
        }
    }
    return options;
}

} // namespace

int main(int argc, char* argv[])
{
    QStringList args;
    for (int i = 0; i < argc; ++i)
        args.append(QString::fromLocal8Bit(argv[i]));
    const Options options = ParseOptions(args);

    if (!options.error.isEmpty()) {
        Print(stderr, QStringLiteral("orvekdata: ") + options.error + u'\n' + kUsage);
        return 2;
    }
    if (options.help) {
        Print(stdout, QString::fromUtf8(kUsage));
        return 0;
    }
    if (options.version) {
        Print(stdout, VersionText() + u'\n');
        return 0;
    }

    QApplication app(argc, argv);
    const QString programDir = ProgramDir(options.home);
    // A new --home folder is made, as the program's own folder always exists.
    QDir().mkpath(programDir);
    ExchangeLog log(programDir);
    TForm1 form(log);
    form.show();
    form.activateWindow();
    return app.exec();
}
