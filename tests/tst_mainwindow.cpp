#include "ExchangeLog.h"
#include "ProgramEnv.h"
#include "TForm1.h"

#include <QApplication>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTest>

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void captionCarriesVersion();
    void memoShowsTheLog();
    void startLineOnFirstActivationOnly();
};

void TestMainWindow::captionCarriesVersion()
{
    QTemporaryDir home;
    ExchangeLog log(home.path() + u'/');
    TForm1 form(log);
    QCOMPARE(form.windowTitle(),
             QStringLiteral("Программа чтения данных \"ОРВЕК ДАТА\"   ") + VersionText());
}

void TestMainWindow::memoShowsTheLog()
{
    QTemporaryDir home;
    ExchangeLog log(home.path() + u'/', [] { return QDateTime(QDate(2020, 2, 29), QTime(8, 0)); });
    {
        TForm1 form(log);
        auto* memo = form.findChild<QPlainTextEdit*>(QStringLiteral("memLog"));
        QVERIFY(memo);
        for (int i = 1; i <= 310; ++i)
            log.AddLogLine(QStringLiteral("line %1").arg(i));
        const QStringList lines = memo->toPlainText().split(u'\n');
        QCOMPARE(lines.size(), 301);
        QCOMPARE(lines.first(), QStringLiteral("---08:00:00.000: line 10"));
        QCOMPARE(lines.last(), QStringLiteral("---08:00:00.000: line 310"));
    }
    // The window is gone: the log goes on into its file alone.
    QCOMPARE(log.Memo(), nullptr);
    log.AddLogLine(QStringLiteral("after the window"));
}

void TestMainWindow::startLineOnFirstActivationOnly()
{
    QTemporaryDir home;
    ExchangeLog log(home.path() + u'/');
    TForm1 form(log);
    auto* memo = form.findChild<QPlainTextEdit*>(QStringLiteral("memLog"));
    form.show();
    form.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&form));

    QWidget other;
    other.show();
    other.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&other));
    form.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&form));

    const QStringList lines = memo->toPlainText().split(u'\n');
    QCOMPARE(lines.size(), 1);
    QVERIFY2(
        lines.first().endsWith(QStringLiteral(": **************************   Запуск программы "
                                              "OrvekData ") +
                               VersionText()),
        qPrintable(lines.first()));
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
