#include "ResultCode.h"

#include <QTest>

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
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("expected");

    const QList<std::pair<int, const char*>> table = {
        {0, "OK"},
        {-1, "Нет ответа"},
        {-2, "Ошибка CRC"},
        {-3, "Неопознанный ответ"},
        {-4, "Порт не открыт"},
        {-5, "Неверный номер порта"},
        {-6, "Неверный параметр"},
        {-7, "Не выбран эталонный расходомер"},
        {-8, "Ошибка насоса"},
        {-9, "Ошибка записи параметра"},
        {-10, "Ошибка чтения порта"},
        {-11, "Ошибка записи в порт"},
        {-13, "Ответ - ошибка контрольной суммы"},
        {-14, "Переполнение буфера приема"},
        {-15, "Операция прервана"},
        {-16, "Ошибка установки DTR"},
        {-17, "Ошибка снятия DTR"},
        {-18, "Ошибка автоустановки порога"},
        {-19, "Неверный тип прибора"},
        {-20, "Недостаточно данных"},
        {-21, "Ошибка насоса ErrorClear"},
        {-22, "Ошибка насоса ShutDown"},
        {-23, "Ошибка насоса SwitchOn"},
        {-24, "Ошибка насоса Enable"},
        {-25, "Ошибка чтения измерителя"},
        {-26, "Ошибка записи измерителя"},
        {-88, "Ошибка IP соединения"},
        {-90, "Ошибка разбора журнала"},
        {-91, "Ошибка разбора архива"},
        {-99, "Неверный тип ЗЕТУ"},
        {-100, "Неизвестный тип прибора"},
        // ModBus exception replies: the exception code is the result minus 30.
        {30, "Ответ - ошибка 0"},
        {32, "Ответ - ошибка 2"},
        {41, "Ответ - ошибка 11"},
        {63, "Ответ - ошибка 33"},
        // Not in the table, no system text for non-positive codes.
        {-12, "ошибка -12 ()"},
        {-27, "ошибка -27 ()"},
        {-28, "ошибка -28 ()"},
        {-101, "ошибка -101 ()"},
        // A positive code the system has no text for.
        {987654, "ошибка 987654 ()"},
    };
    for (const auto& [code, text] : table)
        QTest::addRow("%d", code) << code << QString::fromUtf8(text);
}

void TestResultCode::text()
{
    QFETCH(int, code);
    QFETCH(QString, expected);
    QCOMPARE(ResultCodeText(code), expected);
}

void TestResultCode::systemText()
{
    // Positive codes outside 30..63 are system error codes: the system's own text in
    // brackets. 64 is past the exception range.
    for (const int code : {5, 13, 64}) {
        const QString system = SystemErrorText(code);
        QVERIFY2(!system.isEmpty(), qPrintable(QString::number(code)));
        QVERIFY(!system.endsWith(u'.') && !system.endsWith(u' ') && !system.endsWith(u'\n'));
        QCOMPARE(ResultCodeText(code),
                 QStringLiteral("ошибка %1 (%2)").arg(QString::number(code), system));
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
