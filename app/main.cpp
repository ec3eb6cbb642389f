#include "BatchCommand.h"
#include "DatFile.h"
#include "ExchangeLog.h"
#include "Interrupts.h"
#include "ProgramEnv.h"
#include "ReadCommand.h"
#include "ScanCommand.h"
#include "TDataForm.h"
#include "TForm1.h"
#include "TKeyDlg.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QMessageBox>
#include <QStringList>

#include <csignal>
#include <cstdio>

namespace {

const char kUsageHead[] = "Usage:\n"
                          "  orvekdata [--home DIR]    start the program window\n";
const char kViewUsage[] = "  orvekdata view FILE.dat    open the data window on a .dat copy\n";
const char kDat2csvUsage[] = "  orvekdata dat2csv FILE.dat\n"
                             "                            write the text of a .dat copy to "
                             "FILE_1.csv\n";
const char kVersionUsage[] = "  orvekdata --version       print the version\n"
                             "  orvekdata help [COMMAND]  this text, or the command's own (as "
                             "COMMAND --help)\n";
const char kHomeNote[] = "\n"
                         "--home DIR  use DIR as the program folder (OrvekData.ini, Data, "
                         "Protocols)\n";

QString Usage()
{
    return QString::fromUtf8(kUsageHead) + QString::fromUtf8(ReadUsage) +
           QString::fromUtf8(BatchUsage) + QString::fromUtf8(ScanUsage) +
           QString::fromUtf8(kViewUsage) + QString::fromUtf8(kDat2csvUsage) +
           QString::fromUtf8(kVersionUsage) + QString::fromUtf8(kHomeNote);
}

// A command's own usage, for "orvekdata help COMMAND" and "orvekdata COMMAND --help";
// empty for no command.
QString CommandUsage(const QString& command)
{
    const char* usage = command == QLatin1String("read")      ? ReadUsage
                        : command == QLatin1String("batch")   ? BatchUsage
                        : command == QLatin1String("scan")    ? ScanUsage
                        : command == QLatin1String("view")    ? kViewUsage
                        : command == QLatin1String("dat2csv") ? kDat2csvUsage
                                                              : nullptr;
    if (usage == nullptr)
        return QString();
    // dat2csv has no use for the program folder.
    return QStringLiteral("Usage:\n") + QString::fromUtf8(usage) +
           (command == QLatin1String("dat2csv") ? QString() : QString::fromUtf8(kHomeNote));
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
    // Shown with --help, and after the message of a bad usage.
    QString usage;
    bool dat2csv = false;
    bool view = false;
    QString datFile;
    bool read = false;
    ReadOptions readOptions;
    bool batch = false;
    BatchOptions batchOptions;
    bool scan = false;
    ScanOptions scanOptions;
    QString error;
};

const QString UnknownArgument = QStringLiteral("unknown argument: ");

// The options the program itself takes, before a command's name, and view's and
// dat2csv's.
QList<QCommandLineOption> ProgramOptions(bool version)
{
    QList<QCommandLineOption> options = {
        HelpOption(), ValueOption(QStringLiteral("home"), QStringLiteral("folder"))};
    if (version)
        options.append(QCommandLineOption(QStringLiteral("version")));
    return options;
}

// The arguments after "view" or "dat2csv": one .dat file.
void ParseFileCommand(const QString& command, const QStringList& args, Options& options)
{
    QCommandLineParser parser;
    if (!ParseArguments(parser, ProgramOptions(false), args, UnknownArgument, options.error))
        return;
    options.help = options.help || parser.isSet(QStringLiteral("help"));
    if (parser.isSet(QStringLiteral("home")))
        options.home = parser.value(QStringLiteral("home"));
    const QStringList files = parser.positionalArguments();
    if (files.size() > 1)
        options.error = UnknownArgument + files.at(1);
    else if (files.isEmpty() && !options.help)
        options.error = command + QStringLiteral(" needs a .dat file");
    else
        options.datFile = files.value(0);
}

Options ParseOptions(const QStringList& args)
{
    Options options;
    options.usage = Usage();
    QCommandLineParser parser;
    // Everything after a command's name is that command's to parse.
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    if (!ParseArguments(parser, ProgramOptions(true), args.mid(1), UnknownArgument, options.error))
        return options;
    options.help = parser.isSet(QStringLiteral("help"));
    options.version = parser.isSet(QStringLiteral("version"));
    options.home = parser.value(QStringLiteral("home"));
    QStringList rest = parser.positionalArguments();
    if (rest.isEmpty())
        return options;
    const QString command = rest.takeFirst();
    if (command == QLatin1String("help")) {
        options.help = true;
        if (rest.size() > 1)
            options.error = UnknownArgument + rest.at(1);
        else if (!rest.isEmpty() && CommandUsage(rest.first()).isEmpty())
            options.error = QStringLiteral("unknown command: ") + rest.first();
        else if (!rest.isEmpty())
            options.usage = CommandUsage(rest.first());
        return options;
    }
    if (CommandUsage(command).isEmpty()) {
        options.error = UnknownArgument + command;
        return options;
    }
    options.usage = CommandUsage(command);
    if (command == QLatin1String("read")) {
        options.read = true;
        options.readOptions.home = options.home;
        if (ParseReadOptions(rest, options.readOptions, options.error))
            options.help = options.help || options.readOptions.help;
    } else if (command == QLatin1String("batch")) {
        options.batch = true;
        options.batchOptions.home = options.home;
        if (ParseBatchOptions(rest, options.batchOptions, options.error))
            options.help = options.help || options.batchOptions.help;
    } else if (command == QLatin1String("scan")) {
        options.scan = true;
        options.scanOptions.line.home = options.home;
        if (ParseScanOptions(rest, options.scanOptions, options.error))
            options.help = options.help || options.scanOptions.line.help;
    } else {
        options.view = command == QLatin1String("view");
        options.dat2csv = !options.view;
        ParseFileCommand(command, rest, options);
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
        Print(stderr, QStringLiteral("orvekdata: ") + options.error + u'\n' + options.usage);
        return 2;
    }
    if (options.help) {
        Print(stdout, options.usage);
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
        InstallInterrupts();
        return RunScanCommand(options.scanOptions, stdout, stderr);
    }
    if (options.batch) {
        QCoreApplication app(argc, argv);
        InstallCountingInterrupts();
        return RunBatchCommand(options.batchOptions, QCoreApplication::applicationFilePath(),
                               stdout, stderr, [] { return InterruptCount(); });
    }
    if (options.read) {
        QCoreApplication app(argc, argv);
        InstallInterrupts();
        return RunReadCommand(options.readOptions, stdout, stderr);
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
