#include "LineFixture.h"
#include "Modem.h"

#include <QTest>
#include <QTimer>

namespace {

// A command on the engine's own thread, while the scripted modem answers on this one.
ResultCode Command(Modem& modem, const QString& command)
{
    return OffThread([&] { return modem.ModemCommand(command); });
}

} // namespace

class TestModem : public QObject
{
    Q_OBJECT

private slots:
    void answer();
    void silence();
    void overflow();
    void longCommandIsCut();
    void readFailure();
    void abortEndsTheWait();
    void trimLineBreaks_data();
    void trimLineBreaks();
};

void TestModem::answer()
{
    LineFixture line(QStringLiteral("pty"));
    line.Peer().SetFraming(LinePeer::Framing::Lines);
    line.Peer().SetScript([](const QByteArray& command) {
        return command == "AT\r\n" ? QByteArray("\r\nOK\r\n") : QByteArray("\r\n\xC0\xC1\r\n");
    });
    Modem modem(line.channel, line.log);
    modem.Configure(line.config.localTimeOut, 1);

    QCOMPARE(Command(modem, QStringLiteral("AT\r\n")), Rc::Ok);
    QCOMPARE(modem.ModemReply, QStringLiteral("\r\nOK\r\n"));
    QCOMPARE(TrimLineBreaks(modem.ModemReply), QStringLiteral("OK"));
    QCOMPARE(modem.ReplyBytes.size(), 6);

    QCOMPARE(Command(modem, QStringLiteral("ATD5551234\r\n")), Rc::Ok);
    QCOMPARE(TrimLineBreaks(modem.ModemReply), QStringLiteral("АБ")); // Windows-1251 bytes

    QCOMPARE(line.Peer().RequestCount(), 2); // one attempt each
    const QStringList texts = line.memo.Texts();
    QCOMPARE(texts.mid(1, 2), (QStringList{QStringLiteral(">>  41 54 0D 0A"),
                                           QStringLiteral("<<  0D 0A 4F 4B 0D 0A")}));
}

void TestModem::silence()
{
    LineFixture line(QStringLiteral("pty"));
    Modem modem(line.channel, line.log);
    modem.Configure(line.config.localTimeOut, 1);
    modem.ModemReply = QStringLiteral("left from before");
    QCOMPARE(Command(modem, QStringLiteral("AT\r\n")), Rc::NoReply);
    QCOMPARE(modem.ModemReply, QString());
    QCOMPARE(line.memo.Texts().last(), QStringLiteral("<< нет ответа"));
}

void TestModem::overflow()
{
    LineFixture line(QStringLiteral("tcp"));
    line.Peer().SetFraming(LinePeer::Framing::Lines);
    line.Peer().SetScript([](const QByteArray&) { return QByteArray(3001, 'x'); });
    Modem modem(line.channel, line.log);
    modem.Configure(line.config.localTimeOut, 0);
    QCOMPARE(Command(modem, QStringLiteral("AT\r\n")), Rc::ReceiveOverflow);

    // 3000 bytes are still an answer.
    line.Peer().SetScript([](const QByteArray&) { return QByteArray(3000, 'y'); });
    QCOMPARE(Command(modem, QStringLiteral("AT\r\n")), Rc::Ok);
    QCOMPARE(modem.ModemReply.size(), 3000);
}

void TestModem::longCommandIsCut()
{
    LineFixture line(QStringLiteral("pty"));
    Modem modem(line.channel, line.log);
    modem.Configure(line.config.localTimeOut, 1);
    const QString command = QString(298, u'7') + QStringLiteral("\r\n");
    QCOMPARE(Command(modem, command), Rc::NoReply);
    QCOMPARE(line.Peer().Received(), QByteArray(255, '7')); // the CR LF is lost
    const QString dump = line.memo.Texts().at(1);
    QCOMPARE(dump.size(), 255);
    QVERIFY(dump.startsWith(QStringLiteral(">>  37 37")));
}

void TestModem::readFailure()
{
    LineFixture line(QStringLiteral("pty"));
    Modem modem(line.channel, line.log);
    modem.Configure(line.config.localTimeOut, 1);
    QCOMPARE(line.channel.OpenChannel(), Rc::Ok);
    line.pty->CloseMaster();
    QCOMPARE(modem.ReceiveModemReply(), Rc::PortReadError);
    QCOMPARE(line.memo.Texts().size(), 1); // no dump after a read failure
}

void TestModem::abortEndsTheWait()
{
    // A modem that never answers: the wait for its first byte ends at the abort.
    LineFixture line(QStringLiteral("tcp"));
    Modem modem(line.channel, line.log);
    CancelToken cancel;
    line.channel.SetCancelToken(&cancel);
    QTimer::singleShot(100, [&cancel] { cancel.Cancel(); });
    QCOMPARE(Command(modem, QStringLiteral("ATD5551234\r\n")), Rc::Aborted);
}

void TestModem::trimLineBreaks_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("trimmed");
    QTest::newRow("answer") << "\r\nOK\r\n"
                            << "OK";
    QTest::newRow("inner breaks stay") << "\n\rCONNECT\r\n9600\r\n"
                                       << "CONNECT\r\n9600";
    QTest::newRow("breaks only") << "\r\n\r\n"
                                 << "";
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("blanks are not breaks") << " OK \r"
                                           << " OK ";
}

void TestModem::trimLineBreaks()
{
    QFETCH(QString, text);
    QFETCH(QString, trimmed);
    QCOMPARE(TrimLineBreaks(text), trimmed);
}

QTEST_GUILESS_MAIN(TestModem)
#include "tst_modem.moc"
