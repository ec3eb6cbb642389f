#include "ExpectedFiles.h"
#include "SimLine.h"
#include "SimServer.h"

#include <QCoreApplication>
#include <QFile>
#include <QHostAddress>
#include <QSocketNotifier>
#include <QStringList>

#include <csignal>
#include <cstdio>

namespace {

const char kUsage[] =
    "Usage: orvek-metersim [options]\n"
    "       orvek-metersim --expect DIR --from YYYY-MM-DD --today YYYY-MM-DD [--meters FILE]\n"
    "Stand-in heat meters on a pseudo-terminal and/or behind a TCP gateway.\n"
    "\n"
    "Lines (at least one; both may run at once and serve the same meters):\n"
    "  --pty LINK              open a pseudo-terminal; LINK becomes a symbolic link to\n"
    "                          its device, which the program opens as a serial port\n"
    "  --tcp HOST:PORT         act as a serial-to-Ethernet gateway: raw RTU bytes over\n"
    "                          TCP, a new connection accepted after one is dropped;\n"
    "                          PORT 0 picks a free port\n"
    "  --baud N                pace the pseudo-terminal as a line at N baud (1200 or\n"
    "                          more): a byte takes 10 bit times both ways, a request\n"
    "                          is taken in once its last byte is through, a reply\n"
    "                          reaches the program byte by byte at that pace\n"
    "                          (default: no pacing; the gateway is never paced)\n"
    "\n"
    "Meters:\n"
    "  --meters FILE           meter file (JSON); without it the built-in demo meters\n"
    "                          are served (one of each family, addresses 1, 2 and 3)\n"
    "  --print-demo            print the built-in demo meter file and exit\n"
    "\n"
    "Expected export files (no line is served):\n"
    "  --expect DIR            write the CSV files that a read-out of every meter, with\n"
    "                          every archive and log ticked, must leave:\n"
    "                          DIR/Data/<today>/<device>/<serial>/<mmdd><suffix>.csv\n"
    "                          (no .dat copies), then exit; built from the meters' own\n"
    "                          data, in the regional settings of this process (LC_ALL).\n"
    "                          Faults are not taken into account, and a meter whose\n"
    "                          clock is \"now\" (no \"clock\" key) gives the files of\n"
    "                          this moment\n"
    "  --from YYYY-MM-DD       with --expect: the start day of the read-out\n"
    "  --today YYYY-MM-DD      with --expect: the day of the read-out (folder and names)\n"
    "\n"
    "Line behaviour:\n"
    "  --echo                  send every received byte back ahead of the reply, as an\n"
    "                          echoing two-wire line does\n"
    "  --modem                 start in modem command mode: AT is answered with\n"
    "                          CR LF OK CR LF, a dial command (ATD...) with\n"
    "                          CR LF CONNECT 9600 CR LF after the connect delay, then\n"
    "                          bytes pass to the meters\n"
    "  --modem-delay MS        connect delay (default 1000)\n"
    "  --modem-no-ok           answer AT with ERROR instead of OK\n"
    "  --modem-never-connect   never answer a dial command\n"
    "  --trace FILE            write every request received and every reply sent as\n"
    "                          one JSON object per line\n"
    "\n"
    "Faults for every meter on the line (a meter file sets them per meter under\n"
    "\"faults\" with the names in brackets):\n"
    "  --silent                never answer (silent)\n"
    "  --delay MS              answer after MS milliseconds (delayMs)\n"
    "  --gap MS                stop MS milliseconds in the middle of a reply (gapMs)\n"
    "  --corrupt-crc-every N   every Nth reply carries a wrong CRC (corruptCrcEvery)\n"
    "  --exception REG:CODE    answer register REG with exception CODE\n"
    "                          (exceptionRegister, exceptionCode)\n"
    "  --other-address         replies carry the address + 1 (otherAddress)\n"
    "  --other-address-every N every Nth reply of a meter carries the address + 1, its\n"
    "                          CRC correct, as a neighbour's or a late reply would\n"
    "                          (otherAddressEvery)\n"
    "  --truncate N            send only the first N bytes of a reply (truncateTo)\n"
    "  --noise N               send N bytes 0xFF ahead of a reply (noiseBytes)\n"
    "  --lie-count N           add N to the byte count of read replies (byteCountLie)\n"
    "  --drop-after N          TCP: drop the connection after the Nth reply (dropAfter)\n"
    "  --bad-dates             records carry dates that form no valid date\n"
    "                          (badRecordDates)\n"
    "  --corrupt-next-every N  every Nth reply of a meter to a read that moves it on to\n"
    "                          its next record carries a wrong CRC; the meter has moved\n"
    "                          on all the same (corruptNextEvery)\n"
    "  --start-date-limit N    start-date writes after a meter's Nth are answered with\n"
    "                          exception 4 (startDateLimit)\n"
    "\n"
    "  --help                  this text\n"
    "\n"
    "When the lines are open it prints \"pty PATH\" and/or \"tcp HOST:PORT\", then\n"
    "\"ready\", on standard output; it runs until it is stopped (SIGINT, SIGTERM).\n";

int Fail(const QString& text)
{
    std::fprintf(stderr, "orvek-metersim: %s\n", text.toLocal8Bit().constData());
    return 2;
}

int g_signalPipe[2] = {-1, -1};

void OnSignal(int)
{
    const char c = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &c, 1);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments();
    args.removeFirst();

    SimServer server;
    FaultSettings faults;
    ModemOptions modem;
    QString metersPath, ptyLink, tcp, tracePath, expectDir, fromText, todayText;
    bool faultsGiven = false;
    int baud = 0;

    auto takeValue = [&args](qsizetype& i, QString& value) {
        if (i + 1 >= args.size())
            return false;
        value = args.at(++i);
        return true;
    };
    auto takeInt = [&](qsizetype& i, int& value) {
        QString text;
        bool ok = false;
        if (takeValue(i, text))
            value = text.toInt(&ok);
        return ok;
    };

    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& a = args.at(i);
        bool ok = true;
        if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == QLatin1String("--print-demo")) {
            QFile demo(QStringLiteral(":/metersim/demo-meters.json"));
            if (!demo.open(QIODevice::ReadOnly))
                return Fail(QStringLiteral("no demo meter file built in"));
            std::fputs(demo.readAll().constData(), stdout);
            return 0;
        } else if (a == QLatin1String("--pty")) {
            ok = takeValue(i, ptyLink);
        } else if (a == QLatin1String("--tcp")) {
            ok = takeValue(i, tcp);
        } else if (a == QLatin1String("--baud")) {
            // Slower, a byte would outlast the pause that ends a request.
            ok = takeInt(i, baud) && baud >= 1200;
        } else if (a == QLatin1String("--meters")) {
            ok = takeValue(i, metersPath);
        } else if (a == QLatin1String("--trace")) {
            ok = takeValue(i, tracePath);
        } else if (a == QLatin1String("--expect")) {
            ok = takeValue(i, expectDir) && !expectDir.isEmpty();
        } else if (a == QLatin1String("--from")) {
            ok = takeValue(i, fromText);
        } else if (a == QLatin1String("--today")) {
            ok = takeValue(i, todayText);
        } else if (a == QLatin1String("--echo")) {
            server.SetEcho(true);
        } else if (a == QLatin1String("--modem")) {
            modem.enabled = true;
        } else if (a == QLatin1String("--modem-delay")) {
            ok = takeInt(i, modem.connectDelayMs);
        } else if (a == QLatin1String("--modem-no-ok")) {
            modem.answersOk = false;
        } else if (a == QLatin1String("--modem-never-connect")) {
            modem.connects = false;
        } else if (a == QLatin1String("--silent")) {
            faults.silent = faultsGiven = true;
        } else if (a == QLatin1String("--delay")) {
            ok = faultsGiven = takeInt(i, faults.delayMs);
        } else if (a == QLatin1String("--gap")) {
            ok = faultsGiven = takeInt(i, faults.gapMs);
        } else if (a == QLatin1String("--corrupt-crc-every")) {
            ok = faultsGiven = takeInt(i, faults.corruptCrcEvery);
        } else if (a == QLatin1String("--exception")) {
            QString text;
            ok = takeValue(i, text);
            const QStringList parts = text.split(u':');
            bool regOk = false, codeOk = false;
            if (ok && parts.size() == 2) {
                faults.exceptionRegister = parts.at(0).toInt(&regOk, 0);
                faults.exceptionCode = parts.at(1).toInt(&codeOk, 0);
            }
            ok = faultsGiven = regOk && codeOk;
        } else if (a == QLatin1String("--other-address")) {
            faults.otherAddress = faultsGiven = true;
        } else if (a == QLatin1String("--other-address-every")) {
            ok = faultsGiven = takeInt(i, faults.otherAddressEvery);
        } else if (a == QLatin1String("--truncate")) {
            ok = faultsGiven = takeInt(i, faults.truncateTo);
        } else if (a == QLatin1String("--noise")) {
            ok = faultsGiven = takeInt(i, faults.noiseBytes);
        } else if (a == QLatin1String("--lie-count")) {
            ok = faultsGiven = takeInt(i, faults.byteCountLie);
        } else if (a == QLatin1String("--drop-after")) {
            ok = faultsGiven = takeInt(i, faults.dropAfter);
        } else if (a == QLatin1String("--bad-dates")) {
            faults.badRecordDates = faultsGiven = true;
        } else if (a == QLatin1String("--corrupt-next-every")) {
            ok = faultsGiven = takeInt(i, faults.corruptNextEvery);
        } else if (a == QLatin1String("--start-date-limit")) {
            ok = faultsGiven = takeInt(i, faults.startDateLimit);
        } else {
            return Fail(QStringLiteral("unknown option %1 (see --help)").arg(a));
        }
        if (!ok)
            return Fail(QStringLiteral("%1 needs a valid value (see --help)").arg(a));
    }
    const bool expect = !expectDir.isEmpty();
    const QDate from = QDate::fromString(fromText, Qt::ISODate);
    const QDate today = QDate::fromString(todayText, Qt::ISODate);
    if (expect && (!from.isValid() || !today.isValid()))
        return Fail(QStringLiteral("--expect needs --from and --today as YYYY-MM-DD"));
    if (!expect && (!fromText.isEmpty() || !todayText.isEmpty()))
        return Fail(QStringLiteral("--from and --today go with --expect (see --help)"));
    if (expect && (!ptyLink.isEmpty() || !tcp.isEmpty()))
        return Fail(QStringLiteral("--expect serves no line: leave out --pty and --tcp"));
    if (!expect && ptyLink.isEmpty() && tcp.isEmpty())
        return Fail(QStringLiteral("give --pty LINK and/or --tcp HOST:PORT (see --help)"));
    if (baud > 0 && ptyLink.isEmpty())
        return Fail(QStringLiteral("--baud paces the pseudo-terminal: give --pty LINK too"));

    QFile file(metersPath.isEmpty() ? QStringLiteral(":/metersim/demo-meters.json") : metersPath);
    if (!file.open(QIODevice::ReadOnly))
        return Fail(QStringLiteral("cannot read %1").arg(file.fileName()));
    QString error;
    if (!server.LoadMeterFile(file.readAll(), error))
        return Fail(error);
    if (expect) {
        if (!WriteExpectedFiles(server.Meters(), expectDir, from, today, error))
            return Fail(error);
        return 0;
    }
    // Options on the command line win over the file's line faults.
    if (faultsGiven)
        server.SetLineFaults(CombineFaults(faults, server.LineFaults()));
    server.SetModem(modem);
    server.SetBaud(baud);
    if (!tracePath.isEmpty() && !server.SetTraceFile(tracePath, error))
        return Fail(QStringLiteral("trace file: ") + error);

    if (!ptyLink.isEmpty()) {
        if (!server.OpenPty(ptyLink, error))
            return Fail(QStringLiteral("pseudo-terminal: ") + error);
        std::printf("pty %s\n", server.PtyPath().toLocal8Bit().constData());
    }
    if (!tcp.isEmpty()) {
        const qsizetype colon = tcp.lastIndexOf(u':');
        bool portOk = false;
        const int port = colon > 0 ? tcp.mid(colon + 1).toInt(&portOk) : -1;
        const QHostAddress host(colon > 0 ? tcp.left(colon) : QString());
        if (!portOk || port < 0 || port > 65535 || host.isNull())
            return Fail(QStringLiteral("--tcp wants HOST:PORT, e.g. 127.0.0.1:5020"));
        if (!server.ListenTcp(host, quint16(port), error))
            return Fail(QStringLiteral("tcp: ") + error);
        std::printf("tcp %s:%u\n", host.toString().toLocal8Bit().constData(), server.TcpPort());
    }
    std::printf("ready\n");
    std::fflush(stdout);

    // Stop cleanly on a signal so that the pseudo-terminal's link is removed.
    if (::pipe(g_signalPipe) == 0) {
        auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
        std::signal(SIGINT, OnSignal);
        std::signal(SIGTERM, OnSignal);
    }
    return app.exec();
}
