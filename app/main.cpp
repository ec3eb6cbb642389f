#include "BatchCommand.h"
#include "DatFile.h"
#include "ExchangeLog.h"
#include "ProgramEnv.h"
#include "ReadCommand.h"
#include "ScanCommand.h"
#include "TDataForm.h"
#include "TForm1.h"
#include "TKeyDlg.h"

#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QStringList>

#include <csignal>
#include <cstdio>

namespace {

const char kUsageHead[] = "Usage:\n"
                          "  orvekdata [--home DIR]    start the program window\n";
const char kUsageTail[] = "  orvekdata view FILE.dat    open the data window on a .dat copy\n"
                          "  orvekdata dat2csv FILE.dat\n"
                          "                            write the text of a .dat copy to "
                          "FILE_1.csv\n"
                          "  orvekdata --version       print the version\n"
                          "\n"
                          "--home DIR  use DIR as the program folder (OrvekData.ini, Data, "
                          "Protocols)\n";

QString Usage()
{
    return QString::fromUtf8(kUsageHead) + QString::fromUtf8(ReadUsage) +
           QString::fromUtf8(BatchUsage) + QString::fromUtf8(ScanUsage) +
           QString::fromUtf8(kUsageTail);
}

volatile std::sig_atomic_t interruptRequested = 0;
volatile std::sig_atomic_t interruptCount = 0;

// A batch counts the presses and stops its read-outs itself, at once on the second.
extern "C" void OnBatchInterrupt(int)
{
    interruptCount = interruptCount + 1;
}

extern "C" void OnInterrupt(int)
{
    interruptRequested = 1;
    // A second Ctrl+C stops the program at once.
    std::signal(SIGINT, SIG_DFL);
}

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
    bool dat2csv = false;
    bool view = false;
    QString datFile;
    bool read = false;
    ReadOptions readOptions;
    bool batch = false;
    BatchOptions batchOptions;
    bool scan = false;
    QStringList scanArgs;
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
        } else if (arg == QLatin1String("read") && !options.dat2csv) {
            options.read = true;
            options.readOptions.home = options.home;
            if (!ParseReadOptions(args.mid(i + 1), options.readOptions, options.error))
                break;
            options.help = options.help || options.readOptions.help;
            break;
        } else if (arg == QLatin1String("scan") && !options.dat2csv) {
            options.scan = true;
            options.scanArgs = args.mid(i + 1);
            options.help = options.help || options.scanArgs.contains(QLatin1String("--help")) ||
                           options.scanArgs.contains(QLatin1String("-h"));
            break;
        } else if (arg == QLatin1String("batch") && !options.dat2csv) {
            options.batch = true;
            options.batchOptions.home = options.home;
            if (!ParseBatchOptions(args.mid(i + 1), options.batchOptions, options.error))
                break;
            options.help = options.help || options.batchOptions.help;
            break;
        } else if (arg == QLatin1String("view") && !options.view && !options.dat2csv) {
            options.view = true;
            if (++i >= args.size()) {
                options.error = QStringLiteral("view needs a .dat file");
                break;
            }
            options.datFile = args.at(i);
        } else if (arg == QLatin1String("dat2csv") && !options.dat2csv && !options.view) {
            options.dat2csv = true;
            if (++i >= args.size()) {
                options.error = QStringLiteral("dat2csv needs a .dat file");
                break;
            }
            options.datFile = args.at(i);
        } else {
            options.error = QStringLiteral("unknown argument: ") + arg;
            break;
        }
    }
    return options;
}

// The hidden "L" button of the window, without the window: 0 written, 1 not.
int ConvertDat(const QString& path)
{
    const DatContent content = ConvertDatFile(path);
    switch (content.status) {
    case DatStatus::Ok:
        return 0;
    case DatStatus::Damaged:
        Print(stderr, QStringLiteral("Файл поврежден\n"));
        return 1;
    case DatStatus::ReadFailed:
    case DatStatus::WriteFailed:
        break;
    }
    const QString name = content.status == DatStatus::ReadFailed ? path : ConvertedCsvName(path);
    Print(stderr, QStringLiteral("orvekdata: ") + name + QStringLiteral(": I/O error ") +
                      QString::number(content.systemError) + u'\n');
    return 1;
}

} // namespace

int main(int argc, char* argv[])
{
    QStringList args;
    for (int i = 0; i < argc; ++i)
        args.append(QString::fromLocal8Bit(argv[i]));
    const Options options = ParseOptions(args);

    if (!options.error.isEmpty()) {
        Print(stderr, QStringLiteral("orvekdata: ") + options.error + u'\n' + Usage());
        return 2;
    }
    if (options.help) {
        Print(stdout, Usage());
        return 0;
    }
    if (options.version) {
        Print(stdout, VersionText() + u'\n');
        return 0;
    }
    if (options.dat2csv)
        return ConvertDat(options.datFile);
    if (options.scan) {
        QCoreApplication app(argc, argv);
        std::signal(SIGINT, OnInterrupt);
        return RunScanCommand(options.scanArgs, options.home, stdout, stderr,
                              [] { return interruptRequested != 0; });
    }
    if (options.batch) {
        QCoreApplication app(argc, argv);
        std::signal(SIGINT, OnBatchInterrupt);
        return RunBatchCommand(options.batchOptions, QCoreApplication::applicationFilePath(),
                               stdout, stderr, [] { return int(interruptCount); });
    }
    if (options.read) {
        QCoreApplication app(argc, argv);
        std::signal(SIGINT, OnInterrupt);
        return RunReadCommand(options.readOptions, stdout, stderr,
                              [] { return interruptRequested != 0; });
    }

#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    // Without a display the toolkit would abort; say so plainly and point to the
    // headless read-out instead.
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        Print(stderr, QStringLiteral("orvekdata: no display for the window; "
                                     "\"orvekdata read --help\" tells how to read headless\n"));
        return 2;
    }
#endif
    QApplication app(argc, argv);
    InstallQtTranslations();
    const QString programDir = ProgramDir(options.home);
    QString unusable;
    if (!PrepareProgramDir(programDir, unusable)) {
        QMessageBox::critical(nullptr, QStringLiteral("OrvekData"), unusable);
        return 1;
    }
    ExchangeLog log(programDir);

    // The windows in their order: the main window, the message dialog, the data window.
    TForm1 form(log, programDir);
    // Installed, the files are not beside the program: the log says where they are.
    if (options.home.isEmpty() && programDir != ProgramDir(QCoreApplication::applicationDirPath()))
        form.SetFolderNote(QStringLiteral("Папка данных программы: ") +
                           QDir::toNativeSeparators(programDir));
    TKeyDlg keyDlg(&form);
    form.SetKeyDlg(&keyDlg);
    TDataForm dataForm;
    form.SetDataForm(&dataForm);
    // Shown and hidden once, so that its window exists before the first message.
    keyDlg.show();
    keyDlg.hide();

    if (options.view) {
        // The data window alone; the program ends when it is closed.
        if (!form.ViewDatFile(options.datFile))
            return 1;
        return app.exec();
    }
    form.show();
    form.activateWindow();
    // Closing the window writes [General] (FormDestroy) before the loop ends.
    return app.exec();
}
