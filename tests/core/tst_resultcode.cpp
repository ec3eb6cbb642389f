#include "ResultCode.h"

#include <QTest>

#include <memory>

class TestResultCode : public QObject
{
    Q_OBJECT

private slots:
    void text_data();
    void text();
    void systemText();
    void trim_data();
    void trim();
};

void TestResultCode::text_data()
{
    QTest::addColumn<ResultCode>("code");
    QTest::addColumn<QString>("expected");

    const QList<std::pair<ResultCode, const char*>> table = {
        {Rc::Ok, "OK"},
        {Rc::NoReply, "Нет ответа"},
        {Rc::CrcError, "Ошибка CRC"},
        {Rc::UnknownReply, "Неопознанный ответ"},
        {Rc::PortNotOpen, "Порт не открыт"},
        {Rc::InvalidParameter, "Неверный параметр"},
        {Rc::PortReadError, "Ошибка чтения порта"},
        {Rc::PortWriteError, "Ошибка записи в порт"},
        {Rc::ReceiveOverflow, "Переполнение буфера приема"},
        {Rc::IpConnectionError, "Ошибка IP соединения"},
        {Rc::LogDecodeError, "Ошибка разбора журнала"},
        {Rc::ArchiveDecodeError, "Ошибка разбора архива"},
        {Rc::UnknownDevice, "Неизвестный тип прибора"},
        // A program code without a text of its own, and no system text.
        {Rc::SocketStartFailed, "ошибка -28 ()"},
        {ResultCode::Program(-101), "ошибка -101 ()"},
        // ModBus exception replies, whatever code the device puts in.
        {ResultCode::Exception(0), "Ответ - ошибка 0"},
        {ResultCode::Exception(2), "Ответ - ошибка 2"},
        {ResultCode::Exception(11), "Ответ - ошибка 11"},
        {ResultCode::Exception(33), "Ответ - ошибка 33"},
        {ResultCode::Exception(200), "Ответ - ошибка 200"},
        // A system code the system has no text for.
        {ResultCode::System(987654), "ошибка 987654 ()"},
    };
    for (const auto& [code, text] : table) {
        const std::unique_ptr<char[]> name(toString(code));
        QTest::addRow("%s", name.get()) << code << QString::fromUtf8(text);
    }
}

void TestResultCode::text()
{
    QFETCH(ResultCode, code);
    QFETCH(QString, expected);
    QCOMPARE(ResultCodeText(code), expected);
}

void TestResultCode::systemText()
{
    // A system code is shown with the system's own text in brackets, also where its
    // number falls among the exception codes of old (32: a broken pipe; 31 on Windows:
    // an unplugged adapter), so it never reads as an exception.
    for (const int code : {5, 13, 31, 32, 64}) {
        const QString system = SystemErrorText(code);
        QVERIFY2(!system.isEmpty(), qPrintable(QString::number(code)));
        QVERIFY(!system.endsWith(u'.') && !system.endsWith(u' ') && !system.endsWith(u'\n'));
        const ResultCode result = ResultCode::System(code);
        QCOMPARE(ResultCodeText(result),
                 QStringLiteral("ошибка %1 (%2)").arg(QString::number(code), system));
        QVERIFY(result != ResultCode::Exception(code - 30));
        QVERIFY(!result.ok() && !result.IsException());
    }
}

void TestResultCode::trim_data()
{
    QTest::addColumn<QString>("raw");
    QTest::addColumn<QString>("trimmed");
    QTest::newRow("windows message") << "Access is denied.\r\n"
                                     << "Access is denied";
    QTest::newRow("dots and blanks") << "Done. . \t"
                                     << "Done";
    QTest::newRow("inner dot stays") << "v1.2 failed"
                                     << "v1.2 failed";
    QTest::newRow("nothing left") << ". \r\n"
                                  << "";
}

void TestResultCode::trim()
{
    QFETCH(QString, raw);
    QFETCH(QString, trimmed);
    QCOMPARE(TrimSystemText(raw), trimmed);
}

QTEST_APPLESS_MAIN(TestResultCode)
#include "tst_resultcode.moc"
