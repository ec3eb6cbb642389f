#include "AnsiCodec.h"
#include "DatFile.h"
#include "ExchangeLog.h"
#include "SimServer.h"
#include "TDataForm.h"
#include "TForm1.h"
#include "TKeyDlg.h"
#include "TestFiles.h"

#include <QChart>
#include <QDirIterator>
#include <QFile>
#include <QHeaderView>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineSeries>
#include <QListWidget>
#include <QMessageBox>
#include <QProcess>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <ctime>
#include <unistd.h>

namespace {

// Closes every modal dialog the window shows and notes what it said: "Файл поврежден"
// from the message dialog, "box:" and the text for the program's plain error box.
class DialogCatcher : public QObject
{
public:
    DialogCatcher() { qApp->installEventFilter(this); }
    ~DialogCatcher() override { qApp->removeEventFilter(this); }

    QStringList seen;

protected:
    bool eventFilter(QObject* object, QEvent* event) override
    {
        auto* dialog = qobject_cast<QDialog*>(object);
        if (event->type() != QEvent::Show || !dialog || !dialog->isModal())
            return false;
        QTimer::singleShot(0, dialog, [this, dialog] {
            if (auto* keyDlg = qobject_cast<TKeyDlg*>(dialog))
                seen.append(keyDlg->Label1->text());
            else if (auto* box = qobject_cast<QMessageBox*>(dialog))
                seen.append(QStringLiteral("box:") + box->text());
            else
                seen.append(QStringLiteral("other"));
            dialog->reject();
        });
        return false;
    }
};

QByteArray Lines(const QStringList& lines)
{
    QByteArray bytes;
    for (const QString& line : lines)
        bytes += AnsiLine(line);
    return bytes;
}

const QStringList Titles = {"Прибор: ОРВЕК-307", "Серийный номер: 11111111", "Почасовой архив"};

QStringList FilesBelow(const QString& dir, const QString& tail)
{
    QStringList found;
    QDirIterator it(dir, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString file = it.next();
        if (file.endsWith(tail))
            found.append(file);
    }
    return found;
}

// A program folder and its main window, with the open dialog answered by the test.
struct Rig
{
    Rig() : log(dir.path() + u'/'), form(log, dir.path() + u'/')
    {
        form.SetKeyDlg(&keyDlg);
        form.SetDataForm(&dataForm);
        form.SetOpenDialog([this](const QString& filter) {
            filters.append(filter);
            return chosen;
        });
    }

    QString Path(const QString& name) const { return dir.path() + u'/' + name; }
    // Writes a copy of csv and views it through the button.
    void View(const QString& name, const QByteArray& csv, quint16 key = 0x5A17)
    {
        chosen = Path(name);
        WriteFile(chosen, MakeDatCopy(csv, key));
        form.btnViewClick();
        Settle();
    }
    // Lets the grid draw and widen its columns.
    void Settle()
    {
        for (int i = 0; i < 3; ++i) {
            dataForm.repaint();
            QCoreApplication::processEvents();
        }
    }

    QTemporaryDir dir;
    ExchangeLog log;
    TForm1 form;
    TKeyDlg keyDlg{&form};
    TDataForm dataForm;
    QString chosen;
    QStringList filters;
};

// The grid as seen: the header line (when fixed) and the rows, cells joined by "|".
QStringList GridText(const TDataForm& form)
{
    QStringList rows;
    auto& model = const_cast<TDataForm&>(form).Model();
    if (form.SG1->horizontalHeader()->isVisible()) {
        QStringList cells;
        for (int c = 0; c < model.columnCount(); ++c)
            cells.append(model.headerData(c, Qt::Horizontal, Qt::DisplayRole).toString());
        rows.append(QStringLiteral("header ") + cells.join(u'|'));
    }
    for (int r = 0; r < model.rowCount(); ++r) {
        QStringList cells;
        for (int c = 0; c < model.columnCount(); ++c)
            cells.append(model.index(r, c).data().toString());
        rows.append(cells.join(u'|'));
    }
    return rows;
}

// Series of the chart by name: the number of lines (runs) and of points.
QMap<QString, QPair<int, int>> SeriesByName(QChart* chart)
{
    QMap<QString, QPair<int, int>> found;
    for (QAbstractSeries* series : chart->series()) {
        auto* line = qobject_cast<QLineSeries*>(series);
        if (!line)
            continue;
        QPair<int, int>& entry = found[line->name()];
        entry.first += 1;
        entry.second += static_cast<int>(line->count());
    }
    return found;
}

QJsonObject Orvek307(int hourlyDepth)
{
    return QJsonObject{
        {"family", 0},
        {"address", 1},
        {"model", 307},
        {"serial", "11111111"},
        {"clock", "2026-12-10T10:15:42"},
        {"key", 7},
        {"depth", QJsonObject{{"hourly", hourlyDepth}}},
    };
}

// Sets the process's time zone for a scope (none: leaves the machine's), then puts back
// what was there.
class ZoneScope
{
public:
    explicit ZoneScope(const QByteArray& zone)
        : m_set(!zone.isEmpty()), m_had(qEnvironmentVariableIsSet("TZ")), m_old(qgetenv("TZ"))
    {
        if (m_set) {
            qputenv("TZ", zone);
            tzset();
        }
    }
    ~ZoneScope()
    {
        if (!m_set)
            return;
        if (m_had)
            qputenv("TZ", m_old);
        else
            qunsetenv("TZ");
        tzset();
    }
    ZoneScope(const ZoneScope&) = delete;
    ZoneScope& operator=(const ZoneScope&) = delete;

private:
    bool m_set;
    bool m_had;
    QByteArray m_old;
};

// A copy's text: the title lines with the given archive title, one column "V" and a
// record per date, the values 1, 2, 3…
QString ArchiveText(const QString& title, const QStringList& dates)
{
    QStringList lines{Titles.at(0), Titles.at(1), title, QStringLiteral("Дата;V;")};
    for (qsizetype i = 0; i < dates.size(); ++i)
        lines.append(dates.at(i) + u';' + QString::number(i + 1) + u';');
    return lines.join(QStringLiteral("\r\n"));
}

} // namespace

class TestDataForm : public QObject
{
    Q_OBJECT

private slots:
    void windowAsLaidOut();
    void table_data();
    void table();
    void secondFileKeepsWidths();
    void badInput_data();
    void badInput();
    void changedKeyGarblesText();
    void realCopyOfStandInMeter();
    void missingHourIsGap();
    void numbersInEitherMark_data();
    void numbersInEitherMark();
    void calendarSteps_data();
    void calendarSteps();
    void flagColumnsNotOffered_data();
    void flagColumnsNotOffered();
};

void TestDataForm::windowAsLaidOut()
{
    TDataForm form;
    QCOMPARE(form.windowTitle(), QStringLiteral("Данные"));
    QCOMPARE(form.size(), QSize(730, 446));
    QVERIFY(form.SG1->showGrid());
    QCOMPARE(form.SG1->editTriggers(), QAbstractItemView::NoEditTriggers);
    QVERIFY(!form.ChartVisible());
    form.ShowText(QStringLiteral("1\r\n2\r\n3\r\nДата;Q;\r\n01.12.2026;1;"));
    // Columns are widened by the mouse.
    QCOMPARE(form.SG1->horizontalHeader()->sectionResizeMode(1), QHeaderView::Interactive);
}

// The grid of a copy: rows as text, and whether row 0 stays in view as the header.
void TestDataForm::table_data()
{
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QStringList>("grid");

    QTest::newRow("header ends with ;")
        << QStringList{"Дата;Q1;t1;", "01.12.2026 00:00;1,5;Ok;"}
        << QStringList{"header Дата|Q1|t1", "01.12.2026 00:00|1,5|Ok"};
    QTest::newRow("header without final ; hides its last field")
        << QStringList{"Дата;Q1;t1", "01.12.2026 00:00;1,5;Ok;"}
        << QStringList{"header Дата|Q1", "01.12.2026 00:00|1,5"};
    QTest::newRow("exactly 4 lines: one row, none fixed")
        << QStringList{"Дата;Q1;"} << QStringList{"Дата|Q1"};
    QTest::newRow("record with more fields than the header")
        << QStringList{"Дата;Q1;", "01.12.2026 00:00;1;2;3;", "01.12.2026 01:00;4"}
        << QStringList{"header Дата|Q1", "01.12.2026 00:00|1", "01.12.2026 01:00|4"};
}

void TestDataForm::table()
{
    QFETCH(QStringList, lines);
    QFETCH(QStringList, grid);
    Rig rig;
    QVERIFY(rig.dir.isValid());
    DialogCatcher dialogs;
    rig.View(QStringLiteral("0719H0.dat"), Lines(Titles + lines));

    QCOMPARE(dialogs.seen, QStringList());
    QCOMPARE(rig.filters, QStringList{QStringLiteral("Файлы данных|*.dat")});
    QVERIFY(rig.dataForm.isVisible());
    QVERIFY(!rig.dataForm.isModal());
    QCOMPARE(rig.dataForm.Label1->text(), Titles.at(0));
    QCOMPARE(rig.dataForm.Label2->text(), Titles.at(1));
    QCOMPARE(rig.dataForm.Label3->text(), Titles.at(2));
    QCOMPARE(GridText(rig.dataForm), grid);
    QCOMPARE(rig.dataForm.FixedColumnView()->horizontalHeader()->isVisible(), lines.size() > 1);
}

void TestDataForm::secondFileKeepsWidths()
{
    Rig rig;
    QVERIFY(rig.dir.isValid());
    const QString wide = QStringLiteral("очень длинное название параметра");
    rig.View(QStringLiteral("a.dat"),
             Lines(Titles + QStringList{"Дата;" + wide + u';', "01.12.2026 00:00;1;"}));
    const QFontMetrics metrics(rig.dataForm.SG1->horizontalHeader()->font());
    const int grown = metrics.horizontalAdvance(wide) + 8;
    QCOMPARE(rig.dataForm.SG1->columnWidth(1), grown);

    rig.View(QStringLiteral("b.dat"), Lines({"b1", "b2", "b3", "Дата;Q;", "02.12.2026 00:00;2;"}));
    QCOMPARE(rig.dataForm.Label1->text(), QStringLiteral("b1"));
    QCOMPARE(GridText(rig.dataForm), QStringList({"header Дата|Q", "02.12.2026 00:00|2"}));
    QCOMPARE(rig.dataForm.SG1->columnWidth(1), grown);
    // The date column grew to its date in both views, the fixed one too.
    const int dateWidth = QFontMetrics(rig.dataForm.SG1->font())
                              .horizontalAdvance(QStringLiteral("01.12.2026 00:00")) +
                          8;
    QCOMPARE(rig.dataForm.SG1->columnWidth(0), dateWidth);
    QCOMPARE(rig.dataForm.FixedColumnView()->columnWidth(0), dateWidth);
}

// A copy that cannot be used: the message, and the view before it left as it was.
void TestDataForm::badInput_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("message");

    QTest::newRow("byte of the text changed") << "text byte"
                                              << "Файл поврежден";
    QTest::newRow("check byte changed") << "check byte"
                                        << "Файл поврежден";
    QTest::newRow("0 bytes") << "empty"
                             << "Файл поврежден";
    QTest::newRow("4 bytes") << "short"
                             << "Файл поврежден";
    QTest::newRow("3 lines") << "3 lines"
                             << "Файл поврежден";
    QTest::newRow("a plain CSV file") << "csv"
                                      << "Файл поврежден";
    QTest::newRow("a folder") << "folder"
                              << "box:I/O error 21";
    QTest::newRow("unreadable") << "unreadable"
                                << "box:I/O error 13";
}

void TestDataForm::badInput()
{
    QFETCH(QString, kind);
    QFETCH(QString, message);
    Rig rig;
    QVERIFY(rig.dir.isValid());
    const QByteArray good = Lines(Titles + QStringList{"Дата;Q1;", "01.12.2026 00:00;1;"});
    rig.View(QStringLiteral("good.dat"), good);
    const QStringList before = GridText(rig.dataForm);

    QByteArray bytes = MakeDatCopy(Lines(Titles + QStringList{"Дата;X;", "x;y;"}), 0x1234);
    const QString path = rig.Path(QStringLiteral("bad.dat"));
    if (kind == QLatin1String("text byte"))
        bytes[7] = char(bytes.at(7) ^ 0x01);
    else if (kind == QLatin1String("check byte"))
        bytes[bytes.size() - 3] = char(bytes.at(bytes.size() - 3) ^ 0x80);
    else if (kind == QLatin1String("empty"))
        bytes.clear();
    else if (kind == QLatin1String("short"))
        bytes = bytes.right(4);
    else if (kind == QLatin1String("3 lines"))
        bytes = MakeDatCopy(Lines(Titles), 0x1234);
    else if (kind == QLatin1String("csv"))
        bytes = good;
    if (kind == QLatin1String("folder")) {
        QVERIFY(QDir().mkpath(path));
    } else {
        QVERIFY(WriteFile(path, bytes));
        if (kind == QLatin1String("unreadable")) {
            QVERIFY(QFile::setPermissions(path, QFileDevice::WriteOwner));
            if (::access(qPrintable(path), R_OK) == 0)
                QSKIP("this user reads every file");
        }
    }

    DialogCatcher dialogs;
    rig.chosen = path;
    rig.form.btnViewClick();
    QCOMPARE(dialogs.seen, QStringList{message});
    QCOMPARE(GridText(rig.dataForm), before);
    QCOMPARE(rig.dataForm.Label1->text(), Titles.at(0));

    // The hidden L writes nothing for it either.
    rig.form.btnLClick();
    QCOMPARE(dialogs.seen, QStringList({message, message}));
    QCOMPARE(FilesBelow(rig.dir.path(), QStringLiteral(".csv")), QStringList());
}

void TestDataForm::changedKeyGarblesText()
{
    Rig rig;
    QVERIFY(rig.dir.isValid());
    QByteArray bytes = MakeDatCopy(Lines(Titles + QStringList{"Дата;Q1;"}), 0x1234);
    bytes[bytes.size() - 1] = char(bytes.at(bytes.size() - 1) ^ 0x01);
    rig.chosen = rig.Path(QStringLiteral("key.dat"));
    QVERIFY(WriteFile(rig.chosen, bytes));
    DialogCatcher dialogs;
    rig.form.btnViewClick();
    // The check passes; what shows is not the text that was written.
    if (!dialogs.seen.isEmpty()) {
        QCOMPARE(dialogs.seen, QStringList{QStringLiteral("Файл поврежден")}); // too few lines
    } else {
        QVERIFY(rig.dataForm.isVisible());
        QVERIFY(rig.dataForm.Label1->text() != Titles.at(0));
    }
}

// A copy written by a read-out of the stand-in meter: the window, the chart and the L
// button against the command line's conversion of the same copy.
void TestDataForm::realCopyOfStandInMeter()
{
    Rig rig;
    QVERIFY(rig.dir.isValid());
    QVERIFY(WriteFile(rig.Path(QStringLiteral("OrvekData.ini")),
                      "[General]\r\nGlobalTimeOut=300\r\nLocalTimeOut=30\r\nGlobalTry=1\r\n"));
    const int depth = 30;
    SimServer server;
    QString error;
    QVERIFY2(
        server.LoadMeterFile(
            QJsonDocument(QJsonObject{{"meters", QJsonArray{Orvek307(depth)}}}).toJson(), error) &&
            server.OpenPty(QString(), error),
        qPrintable(error));
    TForm1 reader(rig.log, rig.dir.path() + u'/');
    reader.cbTCP->setChecked(false);
    reader.cbCOM->setEditText(server.PtyPath());
    reader.cbSpeed->setEditText(QStringLiteral("19200"));
    reader.edAddress->setText(QStringLiteral("1"));
    reader.dtBegin->setDate(QDate(2020, 1, 1));
    reader.cbArcHour->setChecked(true);
    DialogCatcher dialogs;
    QSignalSpy finished(&reader, &TForm1::sessionFinished);
    reader.btnDoDeviceClick();
    QVERIFY(finished.wait(60000));
    QCOMPARE(dialogs.seen, QStringList());
    const QStringList copies =
        FilesBelow(rig.Path(QStringLiteral("Data")), QStringLiteral("H0.dat"));
    QCOMPARE(copies.size(), 1);
    QString csvPath = copies.first();
    csvPath.chop(4);
    const QStringList csvLines =
        SplitTextLines(DecodeAnsi(ReadBytes(csvPath + QStringLiteral(".csv"))));
    QVERIFY(csvLines.size() > 4);

    rig.chosen = copies.first();
    rig.form.btnViewClick();
    rig.dataForm.resize(730, 446);
    rig.Settle();
    QCOMPARE(dialogs.seen, QStringList());
    TDataForm& form = rig.dataForm;
    QCOMPARE(form.Label1->text(), csvLines.at(0));
    QCOMPARE(form.Label2->text(), csvLines.at(1));
    QCOMPARE(form.Label3->text(), csvLines.at(2));
    const QStringList header = SplitTableLine(csvLines.at(3));
    const int records = static_cast<int>(csvLines.size()) - 4;
    QCOMPARE(form.Model().rowCount(), records);
    QCOMPARE(form.Model().columnCount(), static_cast<int>(header.size()));
    QVERIFY(header.size() > 3);
    // The visible cells: header, first and last record as the file has them.
    for (int c = 0; c < header.size(); ++c) {
        QCOMPARE(form.Model().headerData(c, Qt::Horizontal, Qt::DisplayRole).toString(),
                 header.at(c));
        QCOMPARE(form.Model().index(0, c).data().toString(), SplitTableLine(csvLines.at(4)).at(c));
        QCOMPARE(form.Model().index(records - 1, c).data().toString(),
                 SplitTableLine(csvLines.last()).at(c));
    }
    const QModelIndex firstRecord = form.Model().index(0, 0);
    QVERIFY(form.SG1->visualRect(firstRecord).intersects(form.SG1->viewport()->rect()));

    // Scrolled to the far right and the bottom: the dates stay at the left edge in the
    // fixed column, the header stays on top.
    QScrollBar* across = form.SG1->horizontalScrollBar();
    QVERIFY2(across->maximum() > 0, "the columns should not all fit");
    across->setValue(across->maximum());
    form.SG1->verticalScrollBar()->setValue(form.SG1->verticalScrollBar()->maximum());
    rig.Settle();
    QTableView* fixed = form.FixedColumnView();
    QVERIFY(fixed->isVisible());
    QCOMPARE(fixed->geometry().left(), form.SG1->frameWidth());
    QCOMPARE(fixed->width(), form.SG1->columnWidth(0) + 1);
    QVERIFY(!fixed->isColumnHidden(0));
    QVERIFY(fixed->isColumnHidden(1));
    QVERIFY(form.SG1->columnViewportPosition(0) < 0);
    QCOMPARE(fixed->verticalScrollBar()->value(), form.SG1->verticalScrollBar()->value());
    QVERIFY(form.SG1->horizontalHeader()->isVisible());
    QVERIFY(form.SG1->rowViewportPosition(records - 1) >= 0);
    QVERIFY(form.SG1->rowViewportPosition(0) < 0);

    // The chart of two columns: one line each, every record a point, named by the header.
    QVERIFY(!form.ChartVisible());
    form.btnChart->click();
    QVERIFY(form.ChartVisible());
    QList<int> numeric;
    for (int i = 0; i < form.ChartColumnList()->count(); ++i)
        numeric.append(form.ChartColumnList()->item(i)->data(Qt::UserRole).toInt());
    QVERIFY(numeric.size() >= 2);
    form.SetChartColumns(numeric.mid(0, 2));
    const auto series = SeriesByName(form.Chart());
    QCOMPARE(series.size(), 2);
    for (int i = 0; i < 2; ++i) {
        const QString name = header.at(numeric.at(i));
        QVERIFY2(series.contains(name), qPrintable(name));
        QCOMPARE(series.value(name), qMakePair(1, records));
    }
    form.btnChart->click();
    QVERIFY(!form.ChartVisible());

    // L against the command line, each on its own copy of the file.
    const QString byButton = rig.Path(QStringLiteral("button/"));
    const QString byCommand = rig.Path(QStringLiteral("command/"));
    QVERIFY(QDir().mkpath(byButton) && QDir().mkpath(byCommand));
    const QString name = QFileInfo(copies.first()).fileName();
    QVERIFY(QFile::copy(copies.first(), byButton + name));
    QVERIFY(QFile::copy(copies.first(), byCommand + name));
    rig.chosen = byButton + name;
    rig.form.btnLClick();
    QCOMPARE(dialogs.seen, QStringList());
    QCOMPARE(QProcess::execute(QStringLiteral(ORVEKDATA_PROGRAM),
                               {QStringLiteral("dat2csv"), byCommand + name}),
             0);
    const QStringList written = FilesBelow(byButton, QStringLiteral(".csv"));
    const QStringList expected = FilesBelow(byCommand, QStringLiteral(".csv"));
    QCOMPARE(written.size(), 1);
    QCOMPARE(expected.size(), 1);
    QCOMPARE(QFileInfo(written.first()).fileName(), QFileInfo(expected.first()).fileName());
    QCOMPARE(ReadBytes(written.first()), ReadBytes(expected.first()));
    QCOMPARE(ReadBytes(written.first()).chopped(4), ReadBytes(csvPath + QStringLiteral(".csv")));
}

// An hourly archive without 03:00: two lines for a column; the flag column and "Ok"
// are no numbers and draw nothing.
void TestDataForm::missingHourIsGap()
{
    Rig rig;
    QVERIFY(rig.dir.isValid());
    rig.View(
        QStringLiteral("gap.dat"),
        Lines(Titles + QStringList{"Дата;t1;Q1;НС;", "01.12.2026 00:00;1,5;10;Ok;",
                                   "01.12.2026 01:00;2,5;;Ok;", "01.12.2026 02:00;3,5;12;Ok;",
                                   "01.12.2026 04:00;4,5;13;Ok;", "01.12.2026 05:00;5,5;14;Ok;"}));
    TDataForm& form = rig.dataForm;
    form.SetChartVisible(true);
    QStringList offered;
    for (int i = 0; i < form.ChartColumnList()->count(); ++i)
        offered.append(form.ChartColumnList()->item(i)->text());
    QCOMPARE(offered, QStringList({"t1", "Q1"}));
    form.SetChartColumns({1, 2});
    const auto series = SeriesByName(form.Chart());
    QCOMPARE(series.keys(), QList<QString>({"Q1", "t1"}));
    QCOMPARE(series.value("t1"), qMakePair(2, 5));
    // Q1 has no value at 01:00 as well: 00:00 | 02:00 | 04:00–05:00.
    QCOMPARE(series.value("Q1"), qMakePair(3, 4));
    const ChartColumn t1 = BuildChartColumn(form.Model(), 1);
    QCOMPARE(t1.runs.at(1).points.first().y(), 4.5);
    QCOMPARE(QDateTime::fromMSecsSinceEpoch(qint64(t1.runs.at(1).points.first().x())),
             QDateTime(QDate(2026, 12, 1), QTime(4, 0)));
}

void TestDataForm::numbersInEitherMark_data()
{
    QTest::addColumn<QString>("cell");
    QTest::addColumn<bool>("number");
    QTest::addColumn<double>("value");

    QTest::newRow("comma") << "12,5" << true << 12.5;
    QTest::newRow("point") << "12.5" << true << 12.5;
    QTest::newRow("exponent") << "-1E-6" << true << -1e-6;
    QTest::newRow("flag") << "Ok" << false << 0.0;
    QTest::newRow("empty") << "" << false << 0.0;
    QTest::newRow("two marks") << "1,2,3" << false << 0.0;
}

void TestDataForm::numbersInEitherMark()
{
    QFETCH(QString, cell);
    QFETCH(bool, number);
    QFETCH(double, value);
    double read = 0;
    QCOMPARE(ParseCellNumber(cell, read), number);
    if (number)
        QCOMPARE(read, value);
}

// Where the lines of a column break: one step of the archive's own kind continues the line,
// whatever the length of the month or of the day across a change of summer time.
void TestDataForm::calendarSteps_data()
{
    QTest::addColumn<QByteArray>("zone");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QStringList>("dates");
    QTest::addColumn<QList<int>>("runs"); // points per line

    const QByteArray berlin = "Europe/Berlin";
    QTest::newRow("monthly, months of 28 to 31 days")
        << berlin << "Помесячный архив" << QStringList{"01.01.2026", "01.02.2026", "01.03.2026",
                                                       "01.04.2026", "01.05.2026", "01.06.2026"}
        << QList<int>{6};
    QTest::newRow("monthly, a month missing")
        << berlin << "Помесячный архив"
        << QStringList{"01.01.2026", "01.02.2026", "01.04.2026", "01.05.2026"} << QList<int>{2, 2};
    QTest::newRow("integral monthly over the new year")
        << berlin << "Помесячный интегральный архив"
        << QStringList{"01.11.2025", "01.12.2025", "01.01.2026", "01.02.2026"} << QList<int>{4};
    QTest::newRow("daily over the spring change")
        << berlin << "Посуточный архив"
        << QStringList{"27.03.2026", "28.03.2026", "29.03.2026", "30.03.2026", "31.03.2026"}
        << QList<int>{5};
    QTest::newRow("integral daily over the autumn change, a day missing")
        << berlin << "Посуточный интегральный архив"
        << QStringList{"24.10.2026", "25.10.2026", "26.10.2026", "28.10.2026"} << QList<int>{3, 1};
    QTest::newRow("emergency daily: days apart are gaps")
        << QByteArray() << "Аварийный посуточнный архив"
        << QStringList{"01.12.2026", "03.12.2026", "05.12.2026"} << QList<int>{1, 1, 1};
    QTest::newRow("hourly, autumn, the hour repeated")
        << berlin << "Почасовой архив"
        << QStringList{"25.10.2026 00:00", "25.10.2026 01:00", "25.10.2026 02:00",
                       "25.10.2026 02:00", "25.10.2026 03:00", "25.10.2026 04:00"}
        << QList<int>{6};
    QTest::newRow("hourly, autumn, a clock without summer time")
        << berlin << "Почасовой архив"
        << QStringList{"25.10.2026 00:00", "25.10.2026 01:00", "25.10.2026 02:00",
                       "25.10.2026 03:00", "25.10.2026 04:00"}
        << QList<int>{5};
    QTest::newRow("hourly, spring, the hour skipped")
        << berlin << "Почасовой архив"
        << QStringList{"29.03.2026 00:00", "29.03.2026 01:00", "29.03.2026 03:00",
                       "29.03.2026 04:00"}
        << QList<int>{4};
    QTest::newRow("hourly, spring, a clock without summer time")
        << berlin << "Почасовой архив"
        << QStringList{"29.03.2026 00:00", "29.03.2026 01:00", "29.03.2026 02:00",
                       "29.03.2026 03:00", "29.03.2026 04:00"}
        << QList<int>{5};
    QTest::newRow("hourly, spring, a missing hour is still a gap")
        << berlin << "Почасовой архив"
        << QStringList{"29.03.2026 00:00", "29.03.2026 01:00", "29.03.2026 03:00",
                       "29.03.2026 05:00"}
        << QList<int>{3, 1};
    QTest::newRow("unknown title: the smallest step between records")
        << QByteArray() << "Архив"
        << QStringList{"01.12.2026", "03.12.2026", "05.12.2026", "09.12.2026"} << QList<int>{3, 1};
}

void TestDataForm::calendarSteps()
{
    QFETCH(QByteArray, zone);
    QFETCH(QString, title);
    QFETCH(QStringList, dates);
    QFETCH(QList<int>, runs);
    ZoneScope scope(zone);
    if (!zone.isEmpty() && QDateTime(QDate(2026, 3, 29), QTime(0, 0))
                                   .secsTo(QDateTime(QDate(2026, 3, 30), QTime(0, 0))) != 23 * 3600)
        QSKIP("this machine has no rules for the time zone");
    TDataForm form;
    form.ShowText(ArchiveText(title, dates));
    const ChartColumn column = BuildChartColumn(form.Model(), 1);
    QList<int> found;
    double last = 0;
    for (const ChartRun& run : column.runs) {
        found.append(static_cast<int>(run.points.size()));
        // Never back in time, also not over the change.
        for (const QPointF& point : run.points) {
            QVERIFY(point.x() >= last);
            last = point.x();
        }
    }
    QCOMPARE(found, runs);
}

// The columns the chart offers: values, not flags (flag names, "Ok", hexadecimal words).
void TestDataForm::flagColumnsNotOffered_data()
{
    QTest::addColumn<QStringList>("cells");
    QTest::addColumn<bool>("offered");

    QTest::newRow("hexadecimal flag words")
        << QStringList{"00000013", "00000000", "0000A001"} << false;
    QTest::newRow("flag words all clear") << QStringList{"00000000", "00000000"} << false;
    QTest::newRow("flag words with high bits") << QStringList{"8000A000", "80000001"} << false;
    QTest::newRow("flag names") << QStringList{"Ok", "НС Vmin, Авария T", "Ok"} << false;
    QTest::newRow("no values at all") << QStringList{"", ""} << false;
    QTest::newRow("fractions, comma")
        << QStringList{"12,3000001907349", "0", "-1,5", "1E-6"} << true;
    QTest::newRow("fractions, point") << QStringList{"12.5", "1.5E20"} << true;
    QTest::newRow("small integers") << QStringList{"0", "1", "12"} << true;
    QTest::newRow("integers of 8 digits") << QStringList{"12345678", "12345690"} << true;
    QTest::newRow("values gone wrong") << QStringList{"1,5", "NAN", "INF", "-INF"} << true;
    QTest::newRow("values with holes") << QStringList{"", "3", ""} << true;
}

void TestDataForm::flagColumnsNotOffered()
{
    QFETCH(QStringList, cells);
    QFETCH(bool, offered);
    // The column between two plain ones, so that its neighbours show the list is filled.
    QStringList lines{Titles.at(0), Titles.at(1), Titles.at(2), QStringLiteral("Дата;t1;X;Q1;")};
    for (qsizetype i = 0; i < cells.size(); ++i)
        lines.append(QStringLiteral("01.12.2026 %1:00;1,5;%2;7;")
                         .arg(i, 2, 10, QChar(u'0'))
                         .arg(cells.at(i)));
    TDataForm form;
    form.ShowText(lines.join(QStringLiteral("\r\n")));
    form.SetChartVisible(true);
    QStringList names;
    for (int i = 0; i < form.ChartColumnList()->count(); ++i)
        names.append(form.ChartColumnList()->item(i)->text());
    QCOMPARE(names, offered ? QStringList({"t1", "X", "Q1"}) : QStringList({"t1", "Q1"}));
}

QTEST_MAIN(TestDataForm)
#include "tst_dataform.moc"
