#include "AnsiCodec.h"
#include "ExchangeLog.h"
#include "IniFile.h"
#include "LogFile.h"
#include "Meter.h"
#include "ModbusMaster.h"
#include "ProgramEnv.h"
#include "ProgramSettings.h"
#include "SimServer.h"
#include "TDataForm.h"
#include "TForm1.h"
#include "TKeyDlg.h"
#include "TextFormat.h"

#include <QApplication>
#include <QDirIterator>
#include <QFile>
#include <QHostAddress>
#include <QInputDialog>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTimer>

#include <deque>
#include <functional>
#include <thread>

namespace {

// The exchange log's clock in every test, so that the day's log file is known.
const QDateTime LogNow(QDate(2026, 12, 10), QTime(12, 0));

// Answers the program's modal dialogs as a user would, one scripted step per dialog
// shown, and notes what each one showed: "kind:text" for the message dialog (lines
// joined by '\n'), "box:text" for a plain message box, "input:caption" for an input box.
// A dialog without a step is noted as unexpected and cancelled, so no test can hang.
class DialogScript : public QObject
{
public:
    using Step = std::function<void(QWidget*)>;

    DialogScript() { qApp->installEventFilter(this); }
    ~DialogScript() override { qApp->removeEventFilter(this); }

    DialogScript& Then(Step step)
    {
        m_steps.push_back(std::move(step));
        return *this;
    }
    // The key a user presses in the dialog.
    static Step Press(Qt::Key key)
    {
        return [key](QWidget* dialog) {
            QWidget* target = dialog->focusWidget() ? dialog->focusWidget() : dialog;
            QTest::keyClick(target, key);
        };
    }
    // Types text into an input box and confirms it.
    static Step Type(const QString& text)
    {
        return [text](QWidget* dialog) {
            auto* edit = dialog->findChild<QLineEdit*>();
            if (edit)
                edit->setText(text);
            QTest::keyClick(edit ? static_cast<QWidget*>(edit) : dialog, Qt::Key_Return);
        };
    }

    QStringList seen;
    bool Done() const { return m_steps.empty(); }

protected:
    bool eventFilter(QObject* object, QEvent* event) override
    {
        if (event->type() != QEvent::Show)
            return false;
        auto* dialog = qobject_cast<QDialog*>(object);
        if (!dialog || !dialog->isModal())
            return false;
        // The step runs inside the dialog's own loop, once it is up.
        QTimer::singleShot(0, dialog, [this, dialog] { Answer(dialog); });
        return false;
    }

private:
    void Answer(QDialog* dialog)
    {
        QString note;
        if (auto* keyDlg = qobject_cast<TKeyDlg*>(dialog)) {
            QString text = keyDlg->Label1->text();
            text.replace(QLatin1String("\r\n"), QLatin1String("\n")).replace(u'\r', u'\n');
            note = QString::number(keyDlg->DialogKind) + u':' + text;
        } else if (auto* box = qobject_cast<QMessageBox*>(dialog)) {
            note = QStringLiteral("box:") + box->text();
        } else {
            note = QStringLiteral("input:") + dialog->windowTitle();
        }
        if (m_steps.empty()) {
            seen.append(QStringLiteral("unexpected ") + note);
            dialog->reject();
            return;
        }
        seen.append(note);
        const Step step = m_steps.front();
        m_steps.pop_front();
        step(dialog);
    }

    std::deque<Step> m_steps;
};

// A program folder of its own, its settings file and the window on it.
struct Home
{
    Home() { ok = dir.isValid(); }

    QString Path(const QString& relative = {}) const { return dir.path() + u'/' + relative; }
    QString IniPath() const { return Path(QStringLiteral("OrvekData.ini")); }

    // Lines joined with CR LF, in the code page the program reads.
    void WriteIni(const QStringList& lines) const
    {
        QFile file(IniPath());
        if (file.open(QIODevice::WriteOnly))
            file.write(EncodeAnsi(lines.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n")));
    }
    QString IniText() const
    {
        QFile file(IniPath());
        return file.open(QIODevice::ReadOnly) ? DecodeAnsi(file.readAll()) : QString();
    }

    // The day's log file, each line without its time stamp and without the empty line
    // that starts a new file.
    QStringList LogLines() const
    {
        QStringList lines = UnstampedLogLines(log.LogFilePath(LogNow.date()));
        if (!lines.isEmpty() && lines.first().isEmpty())
            lines.removeFirst();
        return lines;
    }

    // The log lines of the window's read-outs, which end with the line naming the
    // report: that line is left out, and its absence shows as a line of its own.
    QStringList ReadoutLogLines() const
    {
        QStringList lines = LogLines();
        if (lines.isEmpty() || !lines.last().startsWith(ReportLine))
            lines.append(QStringLiteral("<no report line>"));
        else
            lines.removeLast();
        return lines;
    }
    // The report the last read-out's log line names.
    QString LastReport() const
    {
        const QString last = LogLines().value(LogLines().size() - 1);
        return last.startsWith(ReportLine) ? QDir::fromNativeSeparators(last.mid(ReportLine.size()))
                                           : QString();
    }
    const QString ReportLine = QStringLiteral("Отчет о чтении: ");

    // Export files whose path ends so, wherever the date put them.
    QStringList FilesEndingWith(const QString& tail) const
    {
        QStringList found;
        QDirIterator it(Path(QStringLiteral("Data")), QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString file = it.next();
            if (file.endsWith(tail))
                found.append(file);
        }
        return found;
    }

    QTemporaryDir dir;
    bool ok = false;
    ExchangeLog log{dir.path() + u'/', [] {
                        return LogNow;
                    }};
};

// Short line waits for a stand-in meter on loopback.
const QStringList FastLine = {"[General]", "GlobalTimeOut=300", "LocalTimeOut=30", "GlobalTry=1"};

// Starts a session as the user does (the Read button, the scan, the register request)
// and waits for it to end, the window answering its dialogs meanwhile. False when no
// session ran or it did not end.
bool RunSession(TForm1& form, const std::function<void()>& start)
{
    QSignalSpy finished(&form, &TForm1::sessionFinished);
    start();
    if (finished.isEmpty() && !form.ReadoutRunning())
        return false;
    return !finished.isEmpty() || finished.wait(120000);
}

bool ClickRead(TForm1& form)
{
    return RunSession(form, [&form] { QTest::mouseClick(form.btnDoDevice, Qt::LeftButton); });
}

QStringList Items(const QComboBox* box)
{
    QStringList items;
    for (int i = 0; i < box->count(); ++i)
        items.append(box->itemText(i));
    return items;
}

QStringList Items(const QListWidget* list)
{
    QStringList items;
    for (int i = 0; i < list->count(); ++i)
        items.append(list->item(i)->text());
    return items;
}

void ClickEntry(QListWidget* list, const QString& name)
{
    const QList<QListWidgetItem*> found = list->findItems(name, Qt::MatchExactly);
    if (found.isEmpty())
        return;
    const QRect rect = list->visualItemRect(found.first());
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, rect.center());
}

// The family as the user picks it from the open list.
void ChooseFamily(QComboBox* box, int family)
{
    box->showPopup();
    QAbstractItemView* list = box->view();
    const QRect rect = list->visualRect(box->model()->index(family, 0));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, rect.center());
    if (list->isVisible())
        box->hidePopup();
}

// The archive and log boxes, by letter: H hourly, D daily, M monthly, I integral,
// E emergency, L event log, Z protected log. Each box reads x ticked, - unticked and
// enabled, / unticked and disabled.
QString BoxStates(const TForm1& form)
{
    QString states;
    for (const QCheckBox* box : {form.cbArcHour, form.cbArcDay, form.cbArcMonth, form.cbArcInt,
                                 form.cbArcEDay, form.cbLog, form.cbLogZ}) {
        if (!box->isEnabled())
            states += box->isChecked() ? u'!' : u'/';
        else
            states += box->isChecked() ? u'x' : u'-';
    }
    return states;
}

void TickAll(TForm1& form)
{
    for (QCheckBox* box : {form.cbArcHour, form.cbArcDay, form.cbArcMonth, form.cbArcInt,
                           form.cbArcEDay, form.cbLog, form.cbLogZ})
        box->setChecked(true);
}

QJsonObject Orvek307(int address, const QString& serial, int hourlyDepth)
{
    return QJsonObject{
        {"family", 0},
        {"address", address},
        {"model", 307},
        {"serial", serial},
        {"clock", "2026-12-10T10:15:42"},
        {"layout", QJsonArray{16, 17}},
        {"names", QJsonObject{{"0x201", "V подачи"}, {"0x202", "V обратки"}}},
        {"key", 7},
        {"depth", QJsonObject{{"hourly", hourlyDepth},
                              {"daily", 2},
                              {"monthly", 2},
                              {"integral", 2},
                              {"emergency", 2}}},
    };
}

// Stand-in meters on a pseudo-terminal, and the window's serial port pointed at it.
struct MeterLine
{
    explicit MeterLine(const QJsonArray& meters)
    {
        ok = (meters.isEmpty() ||
              server.LoadMeterFile(QJsonDocument(QJsonObject{{"meters", meters}}).toJson(),
                                   error)) &&
             server.OpenPty(QString(), error);
    }
    void Aim(TForm1& form) const
    {
        form.cbTCP->setChecked(false);
        form.cbCOM->setEditText(server.PtyPath());
        form.cbSpeed->setEditText(QStringLiteral("19200"));
    }

    SimServer server;
    bool ok = false;
    QString error;
};

// A meter that answers single holding registers with 0xA000 + the register number,
// except one register refused with an exception; it notes every register asked for.
class RegisterBank : public Meter
{
public:
    RegisterBank(quint8 address, int refused) : Meter(1, address, {}), m_refused(refused) {}

    MeterAnswer Handle(const MeterRequest& request) override
    {
        if (request.function != 3 || request.count != 1)
            return MeterAnswer::Exception(1);
        asked.append(request.firstRegister);
        if (request.firstRegister == m_refused)
            return MeterAnswer::Exception(2);
        const quint16 value = 0xA000 + request.firstRegister;
        QByteArray data;
        data.append(char(value >> 8)).append(char(value & 0xFF));
        return MeterAnswer{data, 0};
    }

    QList<int> asked;

private:
    int m_refused;
};

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void captionCarriesVersion();
    void memoShowsTheLog();
    void memoKeepsNewestLines();
    void closingEndsWithDataWindow();
    void startLineOnFirstActivationOnly();
    void folderNoteAfterStartLine();
    void layoutAt630x460();
    void neverSmallerThanAtStart();
    void generalSettings_data();
    void generalSettings();
    void saveConfigurations();
    void loadConfiguration_data();
    void loadConfiguration();
    void deleteConfiguration();
    void failedSettingsWriteIsReported();
    void tcpDependency_data();
    void tcpDependency();
    void familyDependency_data();
    void familyDependency();
    void boxesSetLineFlags();
    void portListRefreshedWhenOpened();
    void readThenAbortBetweenDevices();
    void windowRespondsDuringReadout();
    void closingDuringReadoutAbortsFirst();
    void findMeters_data();
    void findMeters();
    void findMetersAborted();
    void readoutFailuresShownInDialog_data();
    void readoutFailuresShownInDialog();
    void portOutOfRangeRefused_data();
    void portOutOfRangeRefused();
    void hexAsSingle_data();
    void hexAsSingle();
    void registerRequest();
    void registerRequestRefused_data();
    void registerRequestRefused();
};

void TestMainWindow::captionCarriesVersion()
{
    Home home;
    TForm1 form(home.log, home.Path());
    QCOMPARE(form.windowTitle(),
             QStringLiteral("Программа чтения данных \"ОРВЕК ДАТА\"   ") + VersionText());
}

void TestMainWindow::memoShowsTheLog()
{
    Home home;
    {
        TForm1 form(home.log, home.Path());
        auto* memo = form.findChild<QPlainTextEdit*>(QStringLiteral("memLog"));
        QVERIFY(memo);
        for (int i = 1; i <= 310; ++i)
            home.log.AddLogLine(QStringLiteral("line %1").arg(i));
        const QStringList lines = memo->toPlainText().split(u'\n');
        QCOMPARE(lines.size(), 301);
        QCOMPARE(lines.first(), QStringLiteral("---12:00:00.000: line 10"));
        QCOMPARE(lines.last(), QStringLiteral("---12:00:00.000: line 310"));
    }
    // The window is gone: the log goes on into its file alone.
    QCOMPARE(home.log.Memo(), nullptr);
    home.log.AddLogLine(QStringLiteral("after the window"));
}

void TestMainWindow::memoKeepsNewestLines()
{
    Home home;
    TForm1 form(home.log, home.Path());
    form.show();
    QVERIFY(QTest::qWaitForWindowActive(&form)); // the start line is logged before ours
    for (int i = 1; i <= 305; ++i)
        home.log.AddLogLine(QStringLiteral("line %1").arg(i));
    // The newest 300 and the one just added.
    QCOMPARE(form.memLog->blockCount(), 301);
    QVERIFY(form.memLog->document()->firstBlock().text().endsWith(QStringLiteral(": line 5")));

    // A line the user selected stays selected, with the text under it, while lines come
    // in and old ones go.
    QTextCursor selection(form.memLog->document()->findBlockByNumber(150));
    selection.select(QTextCursor::LineUnderCursor);
    form.memLog->setTextCursor(selection);
    const QString selected = form.memLog->textCursor().selectedText();
    QVERIFY(selected.endsWith(QStringLiteral(": line 155")));
    // From the session's thread, as a read-out logs.
    std::thread session([&home] {
        for (int i = 306; i <= 310; ++i)
            home.log.AddLogLine(QStringLiteral("line %1").arg(i));
    });
    session.join();
    QTRY_VERIFY(form.memLog->document()->lastBlock().text().endsWith(QStringLiteral(": line 310")));
    QCOMPARE(form.memLog->blockCount(), 301);
    QCOMPARE(form.memLog->textCursor().selectedText(), selected);
}

void TestMainWindow::closingEndsWithDataWindow()
{
    // The program ends with its main window: an open data window closes with it.
    Home home;
    TForm1 form(home.log, home.Path());
    TDataForm dataForm;
    form.SetDataForm(&dataForm);
    form.show();
    dataForm.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dataForm));
    QVERIFY(form.close());
    QVERIFY(!dataForm.isVisible());
}

void TestMainWindow::startLineOnFirstActivationOnly()
{
    Home home;
    TForm1 form(home.log, home.Path());
    form.show();
    form.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&form));

    QWidget other;
    other.show();
    other.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&other));
    form.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&form));

    const QStringList lines = form.memLog->toPlainText().split(u'\n');
    QCOMPARE(lines.size(), 1);
    QVERIFY2(
        lines.first().endsWith(QStringLiteral(": **************************   Запуск программы "
                                              "OrvekData ") +
                               VersionText()),
        qPrintable(lines.first()));
}

void TestMainWindow::folderNoteAfterStartLine()
{
    Home home;
    TForm1 form(home.log, home.Path());
    form.SetFolderNote(QStringLiteral("Папка данных программы: /home/engineer/OrvekData"));
    form.show();
    form.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    form.FormActivate();
    const QStringList lines = home.LogLines();
    QCOMPARE(lines.size(), 2);
    QVERIFY(lines.first().contains(QStringLiteral("Запуск программы OrvekData")));
    QCOMPARE(lines.last(), QStringLiteral("Папка данных программы: /home/engineer/OrvekData"));
}

void TestMainWindow::layoutAt630x460()
{
    Home home;
    TForm1 form(home.log, home.Path());
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QCOMPARE(form.size(), QSize(630, 460));

    // Captions as the user reads them, found by the controls' names.
    const QList<QPair<QString, QString>> captions = {
        {"Label1", "Port"},
        {"lbADDR", "Скорость"},
        {"Label2", "Имя для сохранения"},
        {"Label3", "Адреса приборов"},
        {"Label4", "Приборы"},
        {"Label5", "Строка набора для модема"},
        {"Label6", "Начинать с"},
        {"cbTCP", "TCP"},
        {"cbModem", "Модем"},
        {"cbEcho", "M-Bus"},
        {"cbArcHour", "Почасовой"},
        {"cbArcDay", "Посуточный"},
        {"cbArcMonth", "Помесячный"},
        {"cbArcInt", "Интегральный"},
        {"cbArcEDay", "Аварийный"},
        {"cbLog", "Журнал событий"},
        {"cbLogZ", "Защ. журнал"},
        {"cbShowLog", "Показывать канальные данные"},
        {"btnSave", "Сохранить"},
        {"btnDel", "Удалить"},
        {"btnDoDevice", "Читать"},
    };
    for (const auto& [name, caption] : captions) {
        auto* widget = form.findChild<QWidget*>(name);
        QVERIFY2(widget, qPrintable(name));
        const QString text = widget->property("text").toString();
        QCOMPARE(text, caption);
        // Nothing is cut off in the fonts this machine substitutes for Tahoma.
        QVERIFY2(widget->sizeHint().width() <= widget->width() &&
                     widget->sizeHint().height() <= widget->height(),
                 qPrintable(QStringLiteral("%1: hint %2x%3 in %4x%5")
                                .arg(name)
                                .arg(widget->sizeHint().width())
                                .arg(widget->sizeHint().height())
                                .arg(widget->width())
                                .arg(widget->height())));
    }
    QCOMPARE(form.btnView->text().split(u'\n'), QStringList({"Просмотр", "файла"}));
    QVERIFY(form.btnView->sizeHint().width() <= form.btnView->width());
    QCOMPARE(form.gbData->title(), QStringLiteral("Читать архивы"));
    QCOMPARE(Items(form.cbSpeed),
             QStringList({"2400", "4800", "9600", "19200", "38400", "57600", "115200"}));
    QCOMPARE(Items(form.cbDevice), QStringList({"ОРВЕК-306,7,8", "Ильм", "Орвек-213 / 223"}));
    QVERIFY(form.cbCOM->isEditable() && form.cbSpeed->isEditable() && !form.cbDevice->isEditable());
    QCOMPARE(form.edAddress->text(), QStringLiteral("1"));
    QCOMPARE(form.edAddress->toolTip(),
             QStringLiteral("Здесь вводится список адресов приборов через пробел и/или "
                            "диапазоном через \"-\".\r\nНапример:   1 3 6-11 18"));
    QCOMPARE(form.sePort->value(), 4001);
    // The port box and the start date hold only what a gateway and a meter can.
    QCOMPARE(form.sePort->minimum(), 1);
    QCOMPARE(form.sePort->maximum(), 65535);
    QCOMPARE(form.dtBegin->date(), QDate::currentDate());
    QCOMPARE(form.dtBegin->minimumDate(), QDate(2000, 1, 1));
    QCOMPARE(form.dtBegin->maximumDate(), QDate(2254, 12, 31));
    QCOMPARE(form.font().family(), QStringLiteral("Tahoma"));
    QCOMPARE(form.cbTCP->font().pixelSize(), 13);
    QCOMPARE(form.btnDoDevice->font().pixelSize(), 16);

    // The left column and its bands; the memo takes the rest.
    const QWidget* top = form.findChild<QWidget*>(QStringLiteral("pnlTop"));
    const QWidget* bottom = form.findChild<QWidget*>(QStringLiteral("pnlBottom"));
    const QWidget* bar = form.findChild<QWidget*>(QStringLiteral("pnlBar"));
    QVERIFY(top && bottom && bar);
    QCOMPARE(top->size(), QSize(393, 256));
    QCOMPARE(bottom->size(), QSize(393, 64));
    QCOMPARE(bar->geometry(), QRect(0, 422, 630, 38));
    QCOMPARE(form.lbIni->geometry(), QRect(0, 256, 393, 422 - 256 - 64));
    QCOMPARE(form.memLog->geometry(), QRect(393, 0, 237, 422));
    QCOMPARE(form.memLog->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    QCOMPARE(form.memLog->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);

    // The service controls and the two speed buttons stay out of the user's reach;
    // the TCP fields wait for the TCP box.
    for (QWidget* hidden :
         {static_cast<QWidget*>(form.SpeedButton1), static_cast<QWidget*>(form.SpeedButton2),
          static_cast<QWidget*>(form.SpinEdit1), static_cast<QWidget*>(form.btnL),
          static_cast<QWidget*>(form.btnS), static_cast<QWidget*>(form.edADDR),
          static_cast<QWidget*>(form.sePort)})
        QVERIFY2(!hidden->isVisible(), qPrintable(hidden->objectName()));

    const Qt::WindowFlags flags = form.windowFlags();
    QVERIFY(flags & Qt::WindowCloseButtonHint);
    QVERIFY(!(flags & Qt::WindowMinimizeButtonHint));
    QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
}

void TestMainWindow::neverSmallerThanAtStart()
{
    Home home;
    TForm1 form(home.log, home.Path());
    form.show();
    form.resize(500, 300);
    QCOMPARE(form.size(), QSize(630, 460));
    form.resize(600, 700);
    QCOMPARE(form.size(), QSize(630, 700));
    form.resize(900, 640);
    QCOMPARE(form.size(), QSize(900, 640));
}

void TestMainWindow::generalSettings_data()
{
    QTest::addColumn<QStringList>("ini"); // no file when empty
    QTest::addColumn<QString>("speed");
    QTest::addColumn<bool>("showLogBox");
    QTest::addColumn<QList<int>>("line"); // ShowLog, GlobalTimeOut, LocalTimeOut, GlobalTry
    QTest::addColumn<QStringList>("configurations");
    QTest::addColumn<QStringList>("written"); // [General] after the window closed

    QTest::newRow("first start without a file")
        << QStringList() << "19200" << false << QList<int>{0, 1200, 50, 5} << QStringList()
        << QStringList{"0", "1200", "50", "5", "", "19200"};
    QTest::newRow("line settings kept, dumps on")
        << QStringList{"[General]",       "ShowLog=1",   "GlobalTimeOut=800",
                       "LocalTimeOut=20", "GlobalTry=2", "ComSpeed=115200"}
        << "115200" << true << QList<int>{1, 800, 20, 2} << QStringList()
        << QStringList{"1", "800", "20", "2", "", "115200"};
    // A ticked box means 1, whatever number ticked it.
    QTest::newRow("dump switch above 1")
        << QStringList{"[General]", "ShowLog=7"} << "19200" << true << QList<int>{1, 1200, 50, 5}
        << QStringList() << QStringList{"1", "1200", "50", "5", "", "19200"};
    QTest::newRow("port gone, speed not offered")
        << QStringList{"[General]", "ComPort=NoSuchPort7", "ComSpeed=1200"} << "" << false
        << QList<int>{0, 1200, 50, 5} << QStringList()
        << QStringList{"0", "1200", "50", "5", "", ""};
    QTest::newRow("general in lower case among configurations")
        << QStringList{"[Насосная]",    "edAddress=3",   "[general]",
                       "ComSpeed=9600", "[Котельная 2]", "[abc]"}
        << "9600" << false << QList<int>{0, 1200, 50, 5}
        << QStringList{"abc", "Котельная 2", "Насосная"}
        << QStringList{"0", "1200", "50", "5", "", "9600"};
}

void TestMainWindow::generalSettings()
{
    QFETCH(QStringList, ini);
    QFETCH(QString, speed);
    QFETCH(bool, showLogBox);
    QFETCH(QList<int>, line);
    QFETCH(QStringList, configurations);
    QFETCH(QStringList, written);

    Home home;
    QVERIFY(home.ok);
    if (!ini.isEmpty())
        home.WriteIni(ini);
    TForm1 form(home.log, home.Path());
    QCOMPARE(form.SettingsFilePath(), home.IniPath());
    QCOMPARE(form.cbCOM->currentText(), QString());
    QCOMPARE(form.cbSpeed->currentText(), speed);
    QCOMPARE(form.cbShowLog->isChecked(), showLogBox);
    const LineConfig read = form.CurrentLine();
    QCOMPARE((QList<int>{read.showLog, read.globalTimeOut, read.localTimeOut, read.globalTry}),
             line);
    QCOMPARE(Items(form.lbIni), configurations);

    form.show();
    QVERIFY(form.close());
    const IniFile file(home.IniPath());
    QStringList values;
    for (const char* key :
         {"ShowLog", "GlobalTimeOut", "LocalTimeOut", "GlobalTry", "ComPort", "ComSpeed"})
        values.append(file.ReadString(GeneralSection, QString::fromLatin1(key), "<missing>"));
    QCOMPARE(values, written);
    // The configurations are left as they were.
    QCOMPARE(ConfigurationNames(file), configurations);
}

void TestMainWindow::saveConfigurations()
{
    Home home;
    QVERIFY(home.ok);
    home.WriteIni({"[General]", "ComSpeed=9600"});
    TForm1 form(home.log, home.Path());

    // No name, or blanks only: nothing to store under.
    DialogScript dialogs;
    dialogs.Then(DialogScript::Press(Qt::Key_Return)).Then(DialogScript::Press(Qt::Key_Return));
    form.btnSave->click();
    form.edConf->setText(QStringLiteral("  "));
    form.btnSave->click();
    QCOMPARE(dialogs.seen, QStringList({"0:Нет имени для записи", "0:Нет имени для записи"}));
    QCOMPARE(Items(form.lbIni), QStringList());
    // A name the settings file cannot hold is refused, not stored as "?".
    dialogs.Then(DialogScript::Press(Qt::Key_Return));
    form.edConf->setText(QStringLiteral("Узел ✓"));
    form.btnSave->click();
    QCOMPARE(dialogs.seen.last(),
             QStringLiteral("0:Имя содержит символы, которые нельзя сохранить"));
    QCOMPARE(Items(form.lbIni), QStringList());
    QVERIFY(!home.IniText().contains(QStringLiteral("Узел")));

    // Enter in the name field presses Save, the window's default button.
    form.cbTCP->setChecked(true);
    form.edADDR->setText(QStringLiteral("10.0.0.7"));
    form.sePort->setValue(5020);
    form.cbDevice->setCurrentIndex(2);
    form.edAddress->setText(QStringLiteral("1 3"));
    form.cbArcDay->setChecked(true);
    form.cbLog->setChecked(true);
    form.edConf->setText(QStringLiteral("Бета"));
    QTest::keyClick(form.edConf, Qt::Key_Return);
    form.edConf->setText(QStringLiteral("alpha"));
    form.btnSave->click();
    QCOMPARE(Items(form.lbIni), QStringList({"alpha", "Бета"}));

    const QString saved = home.IniText();
    QVERIFY2(saved.contains(QStringLiteral(
                 "[Бета]\r\ncbCOM=\r\ncbSpeed=9600\r\ncbTCP=1\r\ncbModem=0\r\ncbEcho=0\r\n"
                 "cbDevice=2\r\nedADDR=10.0.0.7\r\nedAddress=1 3\r\nedModem=\r\nsePort=5020\r\n"
                 "cbArcHour=0\r\ncbArcDay=1\r\ncbArcMonth=0\r\ncbArcInt=0\r\ncbArcEDay=0\r\n"
                 "cbLog=1\r\ncbLogZ=0\r\n")),
             qPrintable(saved));

    // The same name in other letters (and with blanks around it) asks first; only Yes
    // writes, into the one section.
    form.edAddress->setText(QStringLiteral("7"));
    form.edConf->setText(QStringLiteral("БЕТА "));
    dialogs.Then(DialogScript::Press(Qt::Key_Escape)).Then(DialogScript::Press(Qt::Key_Return));
    form.btnSave->click();
    QCOMPARE(IniFile(home.IniPath()).ReadString("Бета", "edAddress"), QStringLiteral("1 3"));
    form.btnSave->click();
    QCOMPARE(dialogs.seen.mid(3), QStringList({"1:Вы действительно хотите перезаписать\nБЕТА  ?",
                                               "1:Вы действительно хотите перезаписать\nБЕТА  ?"}));
    const IniFile ini(home.IniPath());
    QCOMPARE(ini.ReadString("Бета", "edAddress"), QStringLiteral("7"));
    QCOMPARE(ini.SectionNames(), QStringList({"General", "Бета", "alpha"}));
    QCOMPARE(Items(form.lbIni), QStringList({"alpha", "Бета"}));

    // Saved under General: the keys join the general settings, no entry is listed.
    form.edConf->setText(QStringLiteral("General"));
    form.btnSave->click();
    QCOMPARE(Items(form.lbIni), QStringList({"alpha", "Бета"}));
    QCOMPARE(IniFile(home.IniPath()).ReadString(GeneralSection, "edAddress"), QStringLiteral("7"));
    QVERIFY(dialogs.Done());
    QCOMPARE(dialogs.seen.size(), 5);
}

void TestMainWindow::loadConfiguration_data()
{
    QTest::addColumn<QStringList>("keys");
    // cbCOM, cbSpeed, edADDR, edAddress, edModem
    QTest::addColumn<QStringList>("texts");
    QTest::addColumn<QString>("connection"); // cbTCP, cbModem, cbEcho: x ticked, - not
    QTest::addColumn<int>("family");
    QTest::addColumn<int>("port");      // shown in the port box
    QTest::addColumn<int>("readPort");  // what a read-out gets
    QTest::addColumn<QString>("boxes"); // as BoxStates gives them

    // A port a read-out refuses (0, negative, beyond 16 bits) shows as it was saved: the
    // box shows what a read-out will use.
    QTest::newRow("no keys at all") << QStringList{"foreign=1"} << QStringList{"", "", "", "", ""}
                                    << "---" << 0 << 0 << 0 << "-------";
    QTest::newRow("every key") << QStringList{"cbCOM=ttyUSB3",   "cbSpeed=4800",  "cbTCP=0",
                                              "cbModem=1",       "cbEcho=1",      "cbDevice=0",
                                              "edADDR=10.1.1.1", "edAddress=2-4", "edModem=ATD123",
                                              "sePort=-7",       "cbArcHour=1",   "cbArcDay=0",
                                              "cbArcMonth=1",    "cbArcInt=1",    "cbArcEDay=1",
                                              "cbLog=0",         "cbLogZ=1"}
                               << QStringList{"ttyUSB3", "4800", "10.1.1.1", "2-4", "ATD123"}
                               << "-xx" << 0 << -7 << -7 << "x-xxx-x";
    QTest::newRow("family 2 drops the emergency archive and the protected log")
        << QStringList{"cbDevice=2", "cbTCP=1",  "cbArcInt=1", "cbArcEDay=1",
                       "cbLog=1",    "cbLogZ=1", "sePort=4001"}
        << QStringList{"", "", "", "", ""} << "x--" << 2 << 4001 << 4001 << "---x/x/";
    QTest::newRow("port beyond 16 bits")
        << QStringList{"cbTCP=1", "sePort=70000"} << QStringList{"", "", "", "", ""} << "x--" << 0
        << 70000 << 70000 << "-------";
    QTest::newRow("family 1 has neither integral, emergency nor logs")
        << QStringList{"cbDevice=1",  "cbArcHour=1", "cbArcInt=1",
                       "cbArcEDay=1", "cbLog=1",     "cbLogZ=1"}
        << QStringList{"", "", "", "", ""} << "---" << 1 << 0 << 0 << "x--////";
    // Nothing is chosen in the family box, and a read-out refuses the family by its number.
    QTest::newRow("family the box does not offer")
        << QStringList{"cbDevice=7", "cbLogZ=1"} << QStringList{"", "", "", "", ""} << "---" << 7
        << 0 << 0 << "------x";
    QTest::newRow("numbers that are no numbers")
        << QStringList{"cbTCP=yes", "cbDevice=two", "sePort=80a"} << QStringList{"", "", "", "", ""}
        << "---" << 0 << 0 << 0 << "-------";
}

void TestMainWindow::loadConfiguration()
{
    QFETCH(QStringList, keys);
    QFETCH(QStringList, texts);
    QFETCH(QString, connection);
    QFETCH(int, family);
    QFETCH(int, port);
    QFETCH(int, readPort);
    QFETCH(QString, boxes);

    Home home;
    QVERIFY(home.ok);
    home.WriteIni(QStringList{"[General]", "[Узел 1]"} + keys);
    TForm1 form(home.log, home.Path());
    form.show();
    // Something else on every control first, so that each key is seen to be applied.
    form.cbCOM->setEditText(QStringLiteral("before"));
    form.edADDR->setText(QStringLiteral("1.2.3.4"));
    form.edAddress->setText(QStringLiteral("9"));
    form.edModem->setText(QStringLiteral("ATDP"));
    form.sePort->setValue(1234);
    form.cbDevice->setCurrentIndex(1);
    form.cbEcho->setChecked(true);
    form.cbTCP->setChecked(true);
    form.cbModem->setChecked(true);
    form.cbArcDay->setChecked(true);
    form.edConf->setText(QStringLiteral("kept"));

    ClickEntry(form.lbIni, QStringLiteral("Узел 1"));

    QCOMPARE((QStringList{form.cbCOM->currentText(), form.cbSpeed->currentText(),
                          form.edADDR->text(), form.edAddress->text(), form.edModem->text()}),
             texts);
    QString ticks;
    for (const QCheckBox* box : {form.cbTCP, form.cbModem, form.cbEcho})
        ticks += box->isChecked() ? u'x' : u'-';
    QCOMPARE(ticks, connection);
    QCOMPARE(form.cbDevice->currentIndex(), FindFamily(family) ? family : -1);
    QCOMPARE(form.sePort->value(), port);
    QCOMPARE(BoxStates(form), boxes);
    QCOMPARE(form.edConf->text(), QStringLiteral("kept"));
    // The TCP fields follow the loaded box, the echo skipping the M-Bus box.
    const bool tcp = connection.at(0) == u'x';
    QCOMPARE(form.edADDR->isVisible(), tcp);
    QCOMPARE(form.cbCOM->isVisible(), !tcp);
    QCOMPARE(form.CurrentLine().echo, connection.at(2) == u'x');
    // What a read-out would now use.
    const ReadoutSettings& settings = form.Settings();
    QCOMPARE(settings.family, family);
    QCOMPARE(settings.useTcp, tcp);
    QCOMPARE(settings.addressText, texts.at(3));
    QCOMPARE(settings.tcpPort, readPort);
    QCOMPARE(settings.protectedLog, boxes.at(6) == u'x');
    // A port set in the box is the one a read-out gets.
    form.sePort->setValue(port == 4002 ? 4003 : 4002);
    QCOMPARE(settings.tcpPort, form.sePort->value());
}

void TestMainWindow::deleteConfiguration()
{
    Home home;
    QVERIFY(home.ok);
    home.WriteIni({"[General]", "ComSpeed=9600", "[A]", "edAddress=1", "[B]", "edAddress=2"});
    TForm1 form(home.log, home.Path());
    form.show();
    DialogScript dialogs;

    // Nothing selected: nothing is asked and nothing changes.
    form.btnDel->click();
    QCOMPARE(dialogs.seen, QStringList());

    ClickEntry(form.lbIni, QStringLiteral("B"));
    QCOMPARE(form.edAddress->text(), QStringLiteral("2"));
    dialogs.Then(DialogScript::Press(Qt::Key_Escape));
    form.btnDel->click();
    QCOMPARE(Items(form.lbIni), QStringList({"A", "B"}));

    dialogs.Then(DialogScript::Press(Qt::Key_Return));
    form.btnDel->click();
    QCOMPARE(dialogs.seen, QStringList({"1:Вы действительно хотите удалить\nB ?",
                                        "1:Вы действительно хотите удалить\nB ?"}));
    QCOMPARE(Items(form.lbIni), QStringList({"A"}));
    const IniFile ini(home.IniPath());
    QCOMPARE(ini.SectionNames(), QStringList({"General", "A"}));
    QCOMPARE(ini.ReadString(GeneralSection, "ComSpeed"), QStringLiteral("9600"));

    // The refilled list has nothing selected, so a second press does nothing.
    form.btnDel->click();
    QCOMPARE(dialogs.seen.size(), 2);
}

void TestMainWindow::failedSettingsWriteIsReported()
{
    Home home;
    QVERIFY(home.ok);
    // A folder where the file should be: it reads as empty and cannot be replaced.
    QVERIFY(QDir().mkpath(home.IniPath()));
    TForm1 form(home.log, home.Path());
    form.show();
    const QString message = QStringLiteral("0:Не удалось записать файл настроек\n") +
                            QDir::toNativeSeparators(home.IniPath());

    DialogScript dialogs;
    dialogs.Then(DialogScript::Press(Qt::Key_Return)).Then(DialogScript::Press(Qt::Key_Return));
    form.edConf->setText(QStringLiteral("Узел"));
    form.btnSave->click();
    QCOMPARE(Items(form.lbIni), QStringList());
    form.close();
    QCOMPARE(dialogs.seen, QStringList({message, message}));
}

void TestMainWindow::tcpDependency_data()
{
    QTest::addColumn<QString>("clicks"); // T the TCP box, M the modem box, in order
    QTest::addColumn<bool>("tcpFields");

    QTest::newRow("serial at start") << "" << false;
    QTest::newRow("TCP ticked") << "T" << true;
    QTest::newRow("TCP ticked and unticked") << "TT" << false;
    QTest::newRow("modem alone changes no field") << "M" << false;
    QTest::newRow("modem beside TCP") << "TM" << true;
    QTest::newRow("modem unticked beside TCP") << "TMM" << true;
}

void TestMainWindow::tcpDependency()
{
    QFETCH(QString, clicks);
    QFETCH(bool, tcpFields);

    Home home;
    TForm1 form(home.log, home.Path());
    form.show();
    for (const QChar c : clicks)
        QTest::mouseClick(c == u'T' ? form.cbTCP : form.cbModem, Qt::LeftButton, {},
                          QPoint(6, form.cbTCP->height() / 2));
    QCOMPARE(form.cbTCP->isChecked(), clicks.count(u'T') % 2 == 1);
    QCOMPARE(form.edADDR->isVisible(), tcpFields);
    QCOMPARE(form.sePort->isVisible(), tcpFields);
    QCOMPARE(form.cbCOM->isVisible(), !tcpFields);
    QCOMPARE(form.cbSpeed->isVisible(), !tcpFields);
    QCOMPARE(form.lbADDR->text(),
             tcpFields ? QStringLiteral("IP адрес") : QStringLiteral("Скорость"));
    QVERIFY(form.Label1->isVisible());
    QCOMPARE(form.Label1->text(), QStringLiteral("Port"));
    // The field shown sits under the label either way.
    const QWidget* shown = tcpFields ? static_cast<QWidget*>(form.sePort) : form.cbCOM;
    QCOMPARE(shown->x(), form.Label1->x());
    QVERIFY(shown->y() > form.Label1->y());
    QCOMPARE(form.Settings().useTcp, tcpFields);
}

void TestMainWindow::familyDependency_data()
{
    QTest::addColumn<QList<int>>("choices"); // families chosen one after the other
    QTest::addColumn<QString>("boxes");      // as BoxStates gives them, all ticked before

    QTest::newRow("ОРВЕК-306/307/308") << QList<int>{1, 0} << "xxx----";
    QTest::newRow("ИЛЬМ") << QList<int>{1} << "xxx////";
    QTest::newRow("ОРВЕК-213/223") << QList<int>{2} << "xxxx/x/";
    QTest::newRow("ИЛЬМ, then ОРВЕК-213/223") << QList<int>{1, 2} << "xxx-/-/";
    // Chosen again from the list: the handler runs and changes nothing.
    QTest::newRow("the same family again") << QList<int>{0} << "xxxxxxx";
}

void TestMainWindow::familyDependency()
{
    QFETCH(QList<int>, choices);
    QFETCH(QString, boxes);

    Home home;
    TForm1 form(home.log, home.Path());
    form.show();
    TickAll(form);
    for (const int family : choices)
        ChooseFamily(form.cbDevice, family);
    QCOMPARE(BoxStates(form), boxes);
    QCOMPARE(form.Settings().family, choices.last());
    QCOMPARE(form.Settings().archiveEmergency, boxes.at(4) == u'x');
}

void TestMainWindow::boxesSetLineFlags()
{
    Home home;
    home.WriteIni({"[General]", "ShowLog=0", "[M]", "cbEcho=1", "[N]", "cbEcho=0"});
    TForm1 form(home.log, home.Path());
    form.show();

    // What the line of the next read-out takes from the boxes.
    form.cbEcho->click();
    QVERIFY(form.CurrentLine().echo);
    QCOMPARE(form.CurrentLine().ReplyPause(), 250);
    form.cbEcho->click();
    QVERIFY(!form.CurrentLine().echo);
    ClickEntry(form.lbIni, QStringLiteral("M"));
    QVERIFY(form.CurrentLine().echo);
    ClickEntry(form.lbIni, QStringLiteral("N"));
    QVERIFY(!form.CurrentLine().echo);

    form.cbShowLog->click();
    QCOMPARE(form.CurrentLine().showLog, 1);
    form.cbShowLog->click();
    QCOMPARE(form.CurrentLine().showLog, 0);
}

void TestMainWindow::portListRefreshedWhenOpened()
{
    Home home;
    TForm1 form(home.log, home.Path());
    form.show();
    form.cbCOM->clear();
    form.cbCOM->addItems({"stale1", "stale2"});
    form.cbCOM->setEditText(QStringLiteral("typed"));

    form.cbCOM->showPopup();
    form.cbCOM->hidePopup();

    QStringList ports;
    ListComPorts(ports);
    std::sort(ports.begin(), ports.end(), [](const QString& a, const QString& b) {
        return a.compare(b, Qt::CaseInsensitive) < 0;
    });
    QCOMPARE(Items(form.cbCOM), ports);
    QCOMPARE(form.cbCOM->currentText(), QStringLiteral("typed"));
}

void TestMainWindow::readThenAbortBetweenDevices()
{
    Home home;
    QVERIFY(home.ok);
    home.WriteIni(FastLine);
    const int depth = 40;
    MeterLine line(QJsonArray{Orvek307(1, "11111111", depth), Orvek307(2, "22222222", depth)});
    QVERIFY2(line.ok, qPrintable(line.error));
    TForm1 form(home.log, home.Path());
    form.show();
    line.Aim(form);
    form.edAddress->setText(QStringLiteral("1 2"));
    form.dtBegin->setDate(QDate(2020, 1, 1));
    form.cbArcHour->setChecked(true);
    form.cbArcDay->setChecked(true);

    // Once the second hourly record of the first device is in the memo, the user
    // presses the button again; the press lands in one of the read-out's waits.
    QStringList captions; // the button as the user sees it before and after the press
    bool pressed = false;
    connect(form.memLog, &QPlainTextEdit::textChanged, &form, [&] {
        if (pressed || !form.memLog->toPlainText().endsWith(QStringLiteral(" --> 2")))
            return;
        pressed = true;
        QTimer::singleShot(0, &form, [&] {
            captions.append(form.btnDoDevice->text() +
                            (form.btnDoDevice->isEnabled() ? "" : " (disabled)"));
            QTest::mouseClick(form.btnDoDevice, Qt::LeftButton);
            captions.append(form.btnDoDevice->text() +
                            (form.btnDoDevice->isEnabled() ? "" : " (disabled)"));
            // A disabled button takes no further press.
            QTest::mouseClick(form.btnDoDevice, Qt::LeftButton);
        });
    });

    DialogScript dialogs;
    QVERIFY(ClickRead(form));

    QCOMPARE(captions, QStringList({"Прервать", "Ожидание (disabled)"}));
    QCOMPARE(form.btnDoDevice->text(), QStringLiteral("Читать"));
    QVERIFY(form.btnDoDevice->isEnabled());
    QVERIFY(!form.ReadoutRunning());
    QCOMPARE(dialogs.seen, QStringList());

    // The first device keeps the rows written before the abort, without a .dat copy
    // and without the daily archive; the second is read up to its names.
    const QStringList hourly = home.FilesEndingWith(
        QStringLiteral("/ОРВЕК-307/11111111/") + FormatMonthDay(QDate::currentDate()) + "H0.csv");
    QCOMPARE(hourly.size(), 1);
    QFile file(hourly.first());
    QVERIFY(file.open(QIODevice::ReadOnly));
    const qsizetype rows = file.readAll().count("\r\n") - 4;
    QVERIFY2(rows >= 2 && rows < depth, qPrintable(QString::number(rows)));
    QCOMPARE(home.FilesEndingWith(QStringLiteral("H0.dat")), QStringList());
    QCOMPARE(home.FilesEndingWith(QStringLiteral("A0.csv")), QStringList());
    QCOMPARE(home.FilesEndingWith(QStringLiteral("22222222/") +
                                  FormatMonthDay(QDate::currentDate()) + "CFG.csv"),
             QStringList());

    const QStringList lines = home.ReadoutLogLines();
    const qsizetype second = lines.indexOf(QStringLiteral("******* прибор по адресу 2"));
    QVERIFY(second > 0);
    QCOMPARE(lines.at(second - 1), QStringLiteral("Операция прервана"));
    const QStringList tail = {"Чтение конфигурации архивов", "Выполнено", "Чтение имен параметров",
                              "Операция прервана", "закрытие порта"};
    QCOMPARE(lines.mid(lines.size() - tail.size()), tail);
    QVERIFY(!form.ReadoutRunning());
}

void TestMainWindow::windowRespondsDuringReadout()
{
    Home home;
    QVERIFY(home.ok);
    home.WriteIni(FastLine);
    MeterLine line(QJsonArray{Orvek307(1, "11111111", 3)});
    QVERIFY2(line.ok, qPrintable(line.error));
    TForm1 form(home.log, home.Path());
    form.show();
    line.Aim(form);
    form.dtBegin->setDate(QDate(2020, 1, 1));
    form.cbArcHour->setChecked(true);
    form.cbArcDay->setChecked(true);
    form.cbArcMonth->setChecked(true);

    // While the read-out runs the window is free: a timer of the window fires, a box is
    // clicked, and a modal dialog opened by the user stays up while records arrive. The
    // read-out goes on meanwhile and reads the device as its plan stood when it began.
    QStringList nested;
    int linesWhileModal = 0;
    // Once the device has begun (its plan taken), the window's own timer fires.
    QTimer tick;
    tick.setSingleShot(true);
    connect(form.memLog, &QPlainTextEdit::textChanged, &form, [&] {
        if (nested.isEmpty() && !tick.isActive() &&
            form.memLog->toPlainText().contains(QStringLiteral("******* прибор по адресу 1")))
            tick.start(0);
    });
    connect(&tick, &QTimer::timeout, &form, [&] {
        nested.append(QStringLiteral("timer"));
        QTest::mouseClick(form.cbArcDay, Qt::LeftButton, {},
                          QPoint(6, form.cbArcDay->height() / 2));
        nested.append(form.cbArcDay->isChecked() ? "daily ticked" : "daily unticked");
        const int before = form.memLog->blockCount();
        form.SpeedButton1->click(); // a modal input box, answered once records came in
        linesWhileModal = form.memLog->blockCount() - before;
        nested.append(form.ReadoutRunning() ? "running" : "done");
    });
    DialogScript dialogs;
    dialogs.Then([&form](QWidget* box) {
        // The records keep coming while the box is up.
        const int at = form.memLog->blockCount();
        QTRY_VERIFY_WITH_TIMEOUT(form.memLog->blockCount() > at + 2 || !form.ReadoutRunning(),
                                 60000);
        static_cast<QDialog*>(box)->reject();
    });
    QVERIFY(ClickRead(form));
    tick.stop();

    QCOMPARE(nested.mid(0, 2), QStringList({"timer", "daily unticked"}));
    QVERIFY(linesWhileModal > 2);
    QCOMPARE(dialogs.seen, QStringList{"input:Введите НЕХ"});
    const QString day = FormatMonthDay(QDate::currentDate());
    for (const char* suffix :
         {"CFG.csv", "H0.csv", "H0.dat", "A0.csv", "A0.dat", "O0.csv", "O0.dat"})
        QVERIFY2(home.FilesEndingWith(u'/' + day + QLatin1String(suffix)).size() == 1, suffix);
    const QStringList lines = home.ReadoutLogLines();
    QVERIFY(lines.contains(QStringLiteral("Чтение почасового архива")));
    QVERIFY(lines.contains(QStringLiteral("Чтение посуточного архива")));
    QCOMPARE(lines.last(), QStringLiteral("закрытие порта"));
    QCOMPARE(form.btnDoDevice->text(), QStringLiteral("Читать"));

    // The report the log names: the header and the one device, read, with its files.
    const QString report = home.LastReport();
    QVERIFY(report.startsWith(home.Path() + QStringLiteral("Reports/")));
    QFile file(report);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QStringList rows = DecodeAnsi(file.readAll()).split(QStringLiteral("\r\n"));
    QCOMPARE(rows.size(), 3); // and the empty text after the last line end
    QVERIFY(rows[1].startsWith(QStringLiteral(";%1;1;прочитан;;ОРВЕК-307;11111111;")
                                   .arg(form.Settings().comPort + QStringLiteral(" 19200"))));
    QVERIFY(rows[1].contains(day + QStringLiteral("H0.dat (")));
}

void TestMainWindow::closingDuringReadoutAbortsFirst()
{
    Home home;
    QVERIFY(home.ok);
    home.WriteIni(FastLine);
    const int depth = 40;
    MeterLine line(QJsonArray{Orvek307(1, "11111111", depth)});
    QVERIFY2(line.ok, qPrintable(line.error));
    TForm1 form(home.log, home.Path());
    form.show();
    line.Aim(form);
    form.dtBegin->setDate(QDate(2020, 1, 1));
    form.cbArcHour->setChecked(true);

    // The window is closed while the hourly archive is read: the close waits for the
    // read-out, which is aborted as the button would abort it.
    QStringList seen;
    connect(form.memLog, &QPlainTextEdit::textChanged, &form, [&] {
        if (!seen.isEmpty() || !form.memLog->toPlainText().endsWith(QStringLiteral(" --> 2")))
            return;
        seen.append(QStringLiteral("pressed"));
        QTimer::singleShot(0, &form, [&] {
            seen.append(form.close() ? "closed" : "still open");
            seen.append(form.btnDoDevice->text());
        });
    });
    QVERIFY(ClickRead(form));

    QCOMPARE(seen, QStringList({"pressed", "still open", "Ожидание"}));
    QVERIFY(!form.isVisible());
    const QStringList lines = home.ReadoutLogLines();
    QCOMPARE(lines.mid(lines.size() - 2), QStringList({"Операция прервана", "закрытие порта"}));
    QCOMPARE(home.FilesEndingWith(QStringLiteral("H0.dat")), QStringList());
    // Closed in the end, with the general settings written.
    QCOMPARE(IniFile(home.IniPath()).ReadString(GeneralSection, "GlobalTimeOut"),
             QStringLiteral("300"));
}

// A stand-in meter of a family at an address.
QJsonObject MeterOf(int family, int address)
{
    QJsonObject meter{{"family", family}, {"address", address}, {"key", 3}};
    if (family == 1) {
        meter.insert("model", 4);
        meter.insert("serial", "2019" + QString::number(address).rightJustified(4, u'0'));
    } else {
        meter.insert("model", family == 0 ? 307 : 223);
        meter.insert("serial", QString::number(family == 0 ? 307 : 223) +
                                   QString::number(address).rightJustified(5, u'0'));
    }
    meter.insert("clock", "2026-12-08T10:30:00");
    return meter;
}

void TestMainWindow::findMeters_data()
{
    QTest::addColumn<QJsonArray>("meters");
    QTest::addColumn<QString>("addresses"); // what the field holds after the scan
    QTest::addColumn<int>("family");        // the family box after the scan, from 1
    QTest::addColumn<QStringList>("found"); // the log's lines of the meters, as they start

    QTest::newRow("one family") << QJsonArray{MeterOf(2, 3), MeterOf(2, 4), MeterOf(2, 5),
                                              MeterOf(2, 8)}
                                << "3-5 8" << 2
                                << QStringList{"Адрес 3: ОРВЕК-223, зав. № 22300003, часы "
                                               "08.12.2026 10:30:",
                                               "Адрес 4: ОРВЕК-223", "Адрес 5: ОРВЕК-223",
                                               "Адрес 8: ОРВЕК-223"};
    QTest::newRow("two families") << QJsonArray{MeterOf(0, 2), MeterOf(1, 7)} << "2 7" << 1
                                  << QStringList{"Адрес 2: ОРВЕК-307, зав. № 30700002, часы ",
                                                 "Адрес 7: ИЛЬМ-4, зав. № 20190007, часы "};
    QTest::newRow("none") << QJsonArray{} << "1" << 1 << QStringList{};
}

void TestMainWindow::findMeters()
{
    QFETCH(QJsonArray, meters);
    QFETCH(QString, addresses);
    QFETCH(int, family);
    QFETCH(QStringList, found);

    Home home;
    QVERIFY(home.ok);
    home.WriteIni(FastLine);
    MeterLine line(meters);
    QVERIFY2(line.ok, qPrintable(line.error));
    TForm1 form(home.log, home.Path());
    form.show();
    line.Aim(form);
    form.edAddress->setText(QStringLiteral("1"));
    form.cbDevice->setCurrentIndex(1);
    form.cbDeviceChange();

    // Through the address field's menu, as the user asks for it.
    std::unique_ptr<QMenu> menu(form.AddressMenu());
    auto* find = menu->findChild<QAction*>(QStringLiteral("actFindMeters"));
    QVERIFY(find);
    QCOMPARE(find->text(), QStringLiteral("Найти приборы…"));
    DialogScript dialogs;
    dialogs.Then(DialogScript::Type(QStringLiteral("1-9")));
    find->trigger();
    QTRY_VERIFY(dialogs.Done() && !form.ReadoutRunning());

    QCOMPARE(dialogs.seen, QStringList({"input:Найти приборы…"}));
    QCOMPARE(form.edAddress->text(), addresses);
    QCOMPARE(form.cbDevice->currentIndex(), family);
    // The boxes follow the family set, as when the user picks it.
    QCOMPARE(form.cbLog->isEnabled(), family != 1);

    const QStringList lines = home.LogLines();
    const qsizetype start = lines.indexOf(QStringLiteral("Поиск приборов по адресам \"1-9\""));
    QVERIFY2(start >= 0, qPrintable(lines.join(u'\n')));
    QCOMPARE(lines.value(start + 1),
             QStringLiteral("Порт ") + line.server.PtyPath() + QStringLiteral(" скорость 19200"));
    QStringList meterLines;
    for (const QString& text : lines.mid(start))
        if (text.startsWith(QStringLiteral("Адрес ")))
            meterLines.append(text);
    QCOMPARE(meterLines.size(), found.size());
    for (qsizetype i = 0; i < found.size(); ++i)
        QVERIFY2(meterLines[i].startsWith(found[i]), qPrintable(meterLines[i]));
    QVERIFY(lines.contains(found.isEmpty()
                               ? QStringLiteral("Приборы не найдены")
                               : QStringLiteral("Найдено приборов: %1").arg(found.size())));
    QVERIFY(!form.ReadoutRunning());
    // A read-out after the scan has the line's own waits, not the scan's short ones.
    QCOMPARE(form.CurrentLine().globalTimeOut, 300);
    QCOMPARE(form.CurrentLine().globalTry, 1);
    QCOMPARE(form.CurrentLine().sendPause, 100);
}

void TestMainWindow::findMetersAborted()
{
    Home home;
    QVERIFY(home.ok);
    home.WriteIni(FastLine);
    MeterLine line(QJsonArray{MeterOf(1, 2), MeterOf(1, 30)});
    QVERIFY2(line.ok, qPrintable(line.error));
    TForm1 form(home.log, home.Path());
    form.show();
    line.Aim(form);
    form.edAddress->setText(QStringLiteral("11 12"));

    // Once the first meter is in the log, the user presses Abort.
    QStringList captions;
    bool pressed = false;
    connect(form.memLog, &QPlainTextEdit::textChanged, &form, [&] {
        if (pressed || !form.memLog->toPlainText().contains(QStringLiteral("Адрес 2: ИЛЬМ-4")))
            return;
        pressed = true;
        QTimer::singleShot(0, &form, [&] {
            captions.append(form.btnDoDevice->text());
            QTest::mouseClick(form.btnDoDevice, Qt::LeftButton);
            captions.append(form.btnDoDevice->text());
        });
    });
    QVERIFY(RunSession(form, [&form] { form.FindMeters(QStringLiteral("1-40")); }));

    QCOMPARE(captions, QStringList({"Прервать", "Ожидание"}));
    QCOMPARE(form.btnDoDevice->text(), QStringLiteral("Читать"));
    QVERIFY(!form.ReadoutRunning());
    // The addresses after the abort were never asked: the user's list stays.
    QCOMPARE(form.edAddress->text(), QStringLiteral("11 12"));
    QCOMPARE(form.cbDevice->currentIndex(), 0);
    const QStringList lines = home.LogLines();
    QVERIFY(!lines.join(u'\n').contains(QStringLiteral("Адрес 30:")));
    const qsizetype aborted = lines.indexOf(QStringLiteral("Операция прервана"));
    QVERIFY2(aborted > 0, qPrintable(lines.join(u'\n')));
    QCOMPARE(lines.value(aborted + 1), QStringLiteral("Найдено приборов: 1"));
    QVERIFY(!form.ReadoutRunning());
}

void TestMainWindow::readoutFailuresShownInDialog_data()
{
    QTest::addColumn<QString>("addresses");
    QTest::addColumn<bool>("logged");

    QTest::newRow("address text refused") << "abc" << false;
    QTest::newRow("port that does not open") << "1" << true;
}

void TestMainWindow::readoutFailuresShownInDialog()
{
    QFETCH(QString, addresses);
    QFETCH(bool, logged);

    Home home;
    QVERIFY(home.ok);
    TForm1 form(home.log, home.Path());
    form.cbCOM->setEditText(home.Path(QStringLiteral("no-such-port")));
    form.edAddress->setText(addresses);

    DialogScript dialogs;
    dialogs.Then(DialogScript::Press(Qt::Key_Return));
    QVERIFY(ClickRead(form));

    QVERIFY(dialogs.Done());
    QCOMPARE(dialogs.seen.size(), 1);
    QVERIFY2(dialogs.seen.first().startsWith(QStringLiteral("0:")), qPrintable(dialogs.seen[0]));
    const QString message = dialogs.seen.first().mid(2);
    const QStringList lines = logged ? home.ReadoutLogLines() : home.LogLines();
    if (logged) {
        // Shown first, then logged as the last word of the read-out.
        QVERIFY(!message.isEmpty());
        QCOMPARE(lines.last(), message);
    } else {
        QCOMPARE(message, QStringLiteral("Нет допустимых адресов"));
        QVERIFY(!QFileInfo::exists(home.log.LogFilePath(LogNow.date())));
    }
    QCOMPARE(form.btnDoDevice->text(), QStringLiteral("Читать"));
    QVERIFY(form.btnDoDevice->isEnabled());
}

void TestMainWindow::portOutOfRangeRefused_data()
{
    // Up to 0 as it stands; above, added to the port of a listener on 127.0.0.1.
    QTest::addColumn<int>("port");

    QTest::newRow("0, a missing key") << 0;
    QTest::newRow("negative") << -7;
    QTest::newRow("the listener's port + 65536") << 65536;
}

// A saved port the gateway cannot have is refused with the code of a bad parameter,
// shown and logged, before anything is opened; it never wraps onto another port.
void TestMainWindow::portOutOfRangeRefused()
{
    QFETCH(int, port);
    QTcpServer listener;
    QVERIFY(listener.listen(QHostAddress::LocalHost, 0));
    if (port > 0)
        port += listener.serverPort();

    Home home;
    QVERIFY(home.ok);
    home.WriteIni({"[Узел]", "cbTCP=1", "edADDR=127.0.0.1", QStringLiteral("sePort=%1").arg(port),
                   "edAddress=1", "cbArcHour=1"});
    TForm1 form(home.log, home.Path());
    form.show();
    ClickEntry(form.lbIni, QStringLiteral("Узел"));

    // The box shows the port as saved, the one the read-out refuses.
    QCOMPARE(form.sePort->value(), port);
    DialogScript dialogs;
    dialogs.Then(DialogScript::Press(Qt::Key_Return));
    QVERIFY(ClickRead(form));

    QVERIFY(dialogs.Done());
    QCOMPARE(dialogs.seen, QStringList{QStringLiteral("0:Неверный параметр")});
    QString missing;
    QVERIFY2(InOrder(home.LogLines(),
                     {QStringLiteral("Порт %1 по IP адресу 127.0.0.1").arg(port),
                      QStringLiteral("Неверный параметр")},
                     missing),
             qPrintable(missing));
    QVERIFY(!listener.waitForNewConnection(0));
    QVERIFY(!form.ReadoutRunning());
    QCOMPARE(form.btnDoDevice->text(), QStringLiteral("Читать"));
}

void TestMainWindow::hexAsSingle_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("shown"); // the one dialog after the input box, if any

    const QString mark = DecimalMark();
    QTest::newRow("one") << "3F800000"
                         << "2:1";
    QTest::newRow("zero") << "00000000"
                          << "2:0";
    QTest::newRow("short text, lower case") << "3e4ccccd"
                                            << "2:0" + mark + "200000002980232";
    QTest::newRow("negative pi") << "C0490FDB"
                                 << "2:-3" + mark + "14159274101257";
    QTest::newRow("tiny") << "00000001"
                          << "2:1" + mark + "40129846432482E-45";
    QTest::newRow("nine digits") << "3F8000000"
                                 << "box:Неверное шестнадцатеричное число: $3F8000000";
    QTest::newRow("blank inside") << "3F80 0000"
                                  << "box:Неверное шестнадцатеричное число: $3F80 0000";
    QTest::newRow("sign") << "-1"
                          << "box:Неверное шестнадцатеричное число: $-1";
    QTest::newRow("nothing typed") << ""
                                   << "";
}

void TestMainWindow::hexAsSingle()
{
    QFETCH(QString, typed);
    QFETCH(QString, shown);

    Home home;
    TForm1 form(home.log, home.Path());
    form.show();
    DialogScript dialogs;
    dialogs.Then(DialogScript::Type(typed));
    if (!shown.isEmpty())
        dialogs.Then(DialogScript::Press(Qt::Key_Return));
    form.SpeedButton1->click();

    QStringList expected{"input:Введите НЕХ"};
    if (!shown.isEmpty())
        expected.append(shown);
    QCOMPARE(dialogs.seen, expected);
    if (shown.startsWith(QStringLiteral("2:"))) {
        // The value is shown centred.
        QVERIFY(form.KeyDlg().Label1->alignment() & Qt::AlignHCenter);
    }
}

void TestMainWindow::registerRequest()
{
    Home home;
    QVERIFY(home.ok);
    home.WriteIni(FastLine);
    MeterLine line{QJsonArray()};
    QVERIFY2(line.ok, qPrintable(line.error));
    auto bank = std::make_unique<RegisterBank>(5, 12);
    RegisterBank* meter = bank.get();
    line.server.AddMeter(std::move(bank));

    TForm1 form(home.log, home.Path());
    line.Aim(form);
    form.edAddress->setText(QStringLiteral("x5-9 7"));
    form.SpinEdit1->setValue(10);
    DialogScript dialogs;
    QVERIFY(RunSession(form, [&form] { form.SpeedButton2->click(); }));

    QList<int> asked;
    for (int reg = 10; reg <= 109; ++reg)
        asked.append(reg);
    QCOMPARE(meter->asked, asked);

    QStringList expected;
    for (int reg = 10; reg <= 109; ++reg) {
        if (reg != 12)
            expected.append(QStringLiteral("%1 = %2").arg(reg).arg(0xA000 + reg));
    }
    const QStringList lines = home.LogLines();
    QVERIFY(!lines.isEmpty());
    QCOMPARE(lines.first(),
             QStringLiteral("Порт ") + line.server.PtyPath() + QStringLiteral(" скорость 19200"));
    const qsizetype start = lines.indexOf(expected.first());
    QVERIFY2(start > 0, qPrintable(lines.join(u'\n')));
    QCOMPARE(lines.mid(start, expected.size()), expected);
    QCOMPARE(lines.last(), QStringLiteral("закрытие порта"));
    QCOMPARE(dialogs.seen, QStringList());
    QVERIFY(!form.ReadoutRunning());
}

void TestMainWindow::registerRequestRefused_data()
{
    QTest::addColumn<QString>("addresses");
    QTest::addColumn<QString>("speed"); // over the serial port
    QTest::addColumn<QString>("shown");

    QTest::newRow("no number in the addresses") << "-"
                                                << "19200"
                                                << "0:Нет допустимых адресов";
    QTest::newRow("speed that is no number") << "1"
                                             << "fast"
                                             << "box:Неверная скорость порта: fast";
}

void TestMainWindow::registerRequestRefused()
{
    QFETCH(QString, addresses);
    QFETCH(QString, speed);
    QFETCH(QString, shown);

    Home home;
    QVERIFY(home.ok);
    TForm1 form(home.log, home.Path());
    form.edAddress->setText(addresses);
    form.cbCOM->setEditText(home.Path(QStringLiteral("no-such-port")));
    form.cbSpeed->setEditText(speed);
    DialogScript dialogs;
    dialogs.Then(DialogScript::Press(Qt::Key_Return));
    form.SpeedButton2->click();

    QCOMPARE(dialogs.seen, QStringList{shown});
    // Nothing was logged or opened.
    QVERIFY(!QFileInfo::exists(home.log.LogFilePath(LogNow.date())));
    QVERIFY(!form.ReadoutRunning());
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
