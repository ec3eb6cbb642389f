#include "TDataForm.h"

#include "LayoutFont.h"
#include "TextFormat.h"

#include <QChart>
#include <QChartView>
#include <QDateTimeAxis>
#include <QHBoxLayout>
#include <QHash>
#include <QHeaderView>
#include <QLegendMarker>
#include <QLineSeries>
#include <QListWidget>
#include <QPainter>
#include <QPushButton>
#include <QScrollBar>
#include <QSplitter>
#include <QStyledItemDelegate>
#include <QTimer>
#include <QVBoxLayout>
#include <QValueAxis>

#include <algorithm>
#include <limits>

namespace {

constexpr int ClientWidth = 730;
constexpr int ClientHeight = 446;
constexpr int DefaultColumnWidth = 64;
constexpr int PanelHeight = 57;

// Draws cells the normal way and lets the window widen the column to the text.
class WideningDelegate : public QStyledItemDelegate
{
public:
    WideningDelegate(TDataForm* form, QObject* parent) : QStyledItemDelegate(parent), m_form(form)
    {}

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override
    {
        const QString text = index.data(Qt::DisplayRole).toString();
        m_form->SG1DrawCell(index.column(), text, option.fontMetrics);
        QStyledItemDelegate::paint(painter, option, index);
    }

private:
    TDataForm* m_form;
};

// The fixed row: the header line drawn as the view's header, widening its columns too.
class WideningHeader : public QHeaderView
{
public:
    WideningHeader(TDataForm* form, QWidget* parent)
        : QHeaderView(Qt::Horizontal, parent), m_form(form)
    {
        setSectionsClickable(false);
        setHighlightSections(false);
        setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    }

protected:
    void paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const override
    {
        m_form->SG1DrawCell(logicalIndex,
                            model()->headerData(logicalIndex, Qt::Horizontal).toString(),
                            fontMetrics());
        QHeaderView::paintSection(painter, rect, logicalIndex);
    }

private:
    TDataForm* m_form;
};

void SetUpGridView(QTableView* view, TDataForm* form)
{
    view->setHorizontalHeader(new WideningHeader(form, view));
    view->setItemDelegate(new WideningDelegate(form, view));
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setShowGrid(true);
    view->setWordWrap(false);
    view->setTextElideMode(Qt::ElideNone);
    view->verticalHeader()->hide();
    view->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    view->horizontalHeader()->setDefaultSectionSize(DefaultColumnWidth);
    view->horizontalHeader()->setMinimumSectionSize(8);
    view->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    view->setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
}

int ReadDigits(const QString& text, qsizetype& at, int most)
{
    int value = 0;
    int count = 0;
    while (at < text.size() && count < most && text.at(at).isDigit()) {
        value = value * 10 + text.at(at).digitValue();
        ++at;
        ++count;
    }
    return count == 0 ? -1 : value;
}

// The step between two records of an archive, by its title line.
enum class ArchiveStep { Hour, Day, Month, Smallest };

ArchiveStep StepOfTitle(const QString& title)
{
    static const QHash<QString, ArchiveStep> steps = {
        {QStringLiteral("Почасовой архив"), ArchiveStep::Hour},
        {QStringLiteral("Посуточный архив"), ArchiveStep::Day},
        {QStringLiteral("Посуточный интегральный архив"), ArchiveStep::Day},
        {QStringLiteral("Аварийный посуточнный архив"), ArchiveStep::Day},
        {QStringLiteral("Помесячный архив"), ArchiveStep::Month},
        {QStringLiteral("Помесячный интегральный архив"), ArchiveStep::Month},
    };
    return steps.value(title.trimmed(), ArchiveStep::Smallest);
}

// Where a record goes on the time axis, which shows local time. An hour the local clocks
// skip (a meter that keeps no summer time) is placed by the offset that held before.
qint64 AxisStamp(const QDateTime& calendar)
{
    const QDateTime local(calendar.date(), calendar.time(), Qt::LocalTime);
    if (local.isValid())
        return local.toMSecsSinceEpoch();
    const QDateTime before(calendar.date().addDays(-1), calendar.time(), Qt::LocalTime);
    return calendar.toMSecsSinceEpoch() - qint64(before.offsetFromUtc()) * 1000;
}

struct RecordTime
{
    QDateTime calendar; // the fields as written, held as UTC
    qint64 axis = 0;    // milliseconds since the epoch of that local time
};

// Whether the record at next follows the one at previous by no more than one step of
// the archive. Steps are counted on the calendar, so months of any length, days of 23 or
// 25 hours and the repeated hour of autumn continue the line.
bool WithinStep(const RecordTime& previous, const RecordTime& next, ArchiveStep step,
                qint64 smallest)
{
    constexpr qint64 HourMs = 3600 * 1000;
    const QDate from = previous.calendar.date();
    const QDate to = next.calendar.date();
    switch (step) {
    case ArchiveStep::Hour: {
        const qint64 hours = previous.calendar.msecsTo(next.calendar);
        if (hours >= 0 && hours <= HourMs)
            return true;
        // A meter that keeps summer time skips the hour the clocks skip.
        const qint64 elapsed = next.axis - previous.axis;
        return hours > 0 && elapsed > 0 && elapsed <= HourMs;
    }
    case ArchiveStep::Day: {
        const qint64 days = from.daysTo(to);
        return days >= 0 && days <= 1;
    }
    case ArchiveStep::Month: {
        const int months = (to.year() - from.year()) * 12 + to.month() - from.month();
        return months >= 0 && months <= 1;
    }
    case ArchiveStep::Smallest:
        break;
    }
    return previous.calendar.msecsTo(next.calendar) <= smallest;
}

bool IsUpperHexDigit(QChar c)
{
    return (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F');
}

// A flag word in hexadecimal: 8 or more digits and, to tell it from a decimal integer,
// a digit A-F or a leading zero (a number is never written with one before a digit).
bool IsHexFlagWord(const QString& cell)
{
    if (cell.size() < 8 || !std::all_of(cell.cbegin(), cell.cend(), IsUpperHexDigit))
        return false;
    return cell.at(0) == u'0' ||
           std::any_of(cell.cbegin(), cell.cend(), [](QChar c) { return c >= u'A'; });
}

// What a cell tells about its column. A column is taken for flags when one of its cells
// is a word no number is written as: a flag text ("Ok", flag names) or a hexadecimal flag
// word. NAN and INF are numbers that went wrong, not words. A flag word of decimal digits
// without a leading zero (10000000 or more) looks like an integer and tells nothing.
enum class CellKind { Blank, Number, Flags };

CellKind KindOfCell(const QString& cell)
{
    const QString text = cell.trimmed();
    if (text.isEmpty() || text == u"NAN" || text == u"INF" || text == u"-INF")
        return CellKind::Blank;
    if (IsHexFlagWord(text))
        return CellKind::Flags;
    double value = 0;
    return ParseCellNumber(text, value) ? CellKind::Number : CellKind::Flags;
}

} // namespace

// DatGridModel

void DatGridModel::SetContent(QStringList lines, const DatTable& head)
{
    beginResetModel();
    m_lines = std::move(lines);
    m_columns = head.columnCount;
    m_fixedRow = head.fixedRows > 0;
    m_header = head.rows.value(0);
    m_cachedLine = -1;
    m_cachedCells.clear();
    endResetModel();
}

int DatGridModel::rowCount(const QModelIndex& parent) const
{
    if (parent.isValid() || m_lines.size() < 4)
        return 0;
    return GridRowCount() - (m_fixedRow ? 1 : 0);
}

int DatGridModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : m_columns;
}

QString DatGridModel::GridCell(int row, int column) const
{
    if (row == 0)
        return m_header.value(column);
    const int line = row + 3;
    if (line < 0 || line >= m_lines.size())
        return {};
    if (line != m_cachedLine) {
        m_cachedCells = SplitTableLine(m_lines.at(line));
        m_cachedLine = line;
    }
    return m_cachedCells.value(column);
}

QVariant DatGridModel::data(const QModelIndex& index, int role) const
{
    if (role != Qt::DisplayRole || !index.isValid())
        return {};
    return GridCell(index.row() + (m_fixedRow ? 1 : 0), index.column());
}

QVariant DatGridModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (role != Qt::DisplayRole || orientation != Qt::Horizontal)
        return {};
    return m_header.value(section);
}

// The chart's reading of the cells

QDateTime ParseRecordDate(const QString& text)
{
    qsizetype at = 0;
    const int day = ReadDigits(text, at, 2);
    if (day < 0 || at >= text.size() || text.at(at++) != u'.')
        return {};
    const int month = ReadDigits(text, at, 2);
    if (month < 0 || at >= text.size() || text.at(at++) != u'.')
        return {};
    const int year = ReadDigits(text, at, 4);
    const QDate date(year, month, day);
    if (year < 0 || !date.isValid())
        return {};
    int hour = 0;
    int minute = 0;
    int second = 0;
    if (at < text.size() && text.at(at) == u' ') {
        ++at;
        hour = ReadDigits(text, at, 2);
        if (hour < 0 || at + 1 >= text.size())
            return {};
        ++at; // the time separator of the machine that wrote the file
        minute = ReadDigits(text, at, 2);
        if (minute < 0)
            return {};
        if (at + 1 < text.size()) {
            ++at;
            second = ReadDigits(text, at, 2);
        }
    }
    const QTime time(hour, minute, std::max(second, 0));
    if (!time.isValid() || at != text.size())
        return {};
    return CalendarDateTime(date, time);
}

bool ParseCellNumber(const QString& text, double& value)
{
    QString number = text.trimmed();
    if (number.isEmpty())
        return false;
    number.replace(u',', u'.');
    bool ok = false;
    value = QLocale::c().toDouble(number, &ok);
    return ok && std::isfinite(value);
}

int ChartColumn::PointCount() const
{
    int count = 0;
    for (const ChartRun& run : runs)
        count += static_cast<int>(run.points.size());
    return count;
}

QList<ChartColumn> BuildChartColumns(const DatGridModel& model, const QList<int>& columns)
{
    QList<ChartColumn> result(columns.size());
    QList<ChartRun> runs(columns.size());
    QList<int> lastRow(columns.size(), -1);
    for (qsizetype i = 0; i < columns.size(); ++i)
        result[i].name = model.GridCell(0, columns.at(i));
    const int rows = model.GridRowCount();
    const ArchiveStep step = StepOfTitle(model.TitleLine());

    QList<RecordTime> times(rows);
    // For an archive of unknown kind: the smallest step between consecutive records.
    qint64 smallest = std::numeric_limits<qint64>::max();
    QDateTime previous;
    for (int row = 1; row < rows; ++row) {
        const QDateTime when = ParseRecordDate(model.GridCell(row, 0));
        if (!when.isValid())
            continue;
        times[row] = {when, AxisStamp(when)};
        if (previous.isValid() && previous < when)
            smallest = std::min(smallest, previous.msecsTo(when));
        previous = when;
    }
    const auto endRun = [&](qsizetype i) {
        if (!runs[i].points.isEmpty())
            result[i].runs.append(std::move(runs[i]));
        runs[i] = ChartRun();
    };
    for (int row = 1; row < rows; ++row) {
        for (qsizetype i = 0; i < columns.size(); ++i) {
            double value = 0;
            if (!times[row].calendar.isValid() ||
                !ParseCellNumber(model.GridCell(row, columns.at(i)), value)) {
                endRun(i);
                continue;
            }
            if (lastRow[i] >= 0 && !WithinStep(times[lastRow[i]], times[row], step, smallest))
                endRun(i);
            runs[i].points.append(QPointF(double(times[row].axis), value));
            lastRow[i] = row;
        }
    }
    for (qsizetype i = 0; i < columns.size(); ++i)
        endRun(i);
    return result;
}

ChartColumn BuildChartColumn(const DatGridModel& model, int column)
{
    return BuildChartColumns(model, {column}).constFirst();
}

// TDataForm

TDataForm::TDataForm(QWidget* parent) : QWidget(parent, Qt::Window)
{
    EnsureLayoutFont();
    setObjectName(QStringLiteral("TDataForm"));
    setWindowTitle(QStringLiteral("Данные"));
    QFont font(QStringLiteral("Tahoma"));
    font.setPixelSize(13);
    setFont(font);
    resize(ClientWidth, ClientHeight);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    auto* panel = new QWidget(this);
    panel->setObjectName(QStringLiteral("Panel1"));
    panel->setFixedHeight(PanelHeight);
    auto* panelLayout = new QHBoxLayout(panel);
    panelLayout->setContentsMargins(8, 2, 8, 2);
    auto* labels = new QVBoxLayout;
    labels->setSpacing(1);
    Label1 = new QLabel(panel);
    Label2 = new QLabel(panel);
    Label3 = new QLabel(panel);
    for (QLabel* label : {Label1, Label2, Label3})
        labels->addWidget(label);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label2->setObjectName(QStringLiteral("Label2"));
    Label3->setObjectName(QStringLiteral("Label3"));
    panelLayout->addLayout(labels, 1);
    btnChart = new QPushButton(QStringLiteral("График"), panel);
    btnChart->setObjectName(QStringLiteral("btnChart"));
    btnChart->setCheckable(true);
    panelLayout->addWidget(btnChart, 0, Qt::AlignRight | Qt::AlignVCenter);
    layout->addWidget(panel);

    m_splitter = new QSplitter(Qt::Vertical, this);
    m_splitter->setChildrenCollapsible(false);
    layout->addWidget(m_splitter, 1);

    SG1 = new QTableView(m_splitter);
    SG1->setObjectName(QStringLiteral("SG1"));
    SetUpGridView(SG1, this);
    SG1->setModel(&m_model);

    // The fixed first column: a second view over the same model laid over the grid's
    // left edge; it scrolls down with the grid but never sideways.
    m_frozen = new QTableView(SG1);
    m_frozen->setObjectName(QStringLiteral("SG1FixedColumn"));
    SetUpGridView(m_frozen, this);
    m_frozen->setModel(&m_model);
    m_frozen->setFocusPolicy(Qt::NoFocus);
    m_frozen->setSelectionModel(SG1->selectionModel());
    m_frozen->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_frozen->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_frozen->setStyleSheet(QStringLiteral("QTableView { border: none; }"));
    SG1->viewport()->stackUnder(m_frozen);
    connect(m_frozen->verticalScrollBar(), &QAbstractSlider::valueChanged, SG1->verticalScrollBar(),
            &QAbstractSlider::setValue);
    connect(SG1->verticalScrollBar(), &QAbstractSlider::valueChanged, m_frozen->verticalScrollBar(),
            &QAbstractSlider::setValue);
    // A column widened by the mouse keeps its width too, in both views.
    for (QTableView* view : {SG1, m_frozen}) {
        connect(view->horizontalHeader(), &QHeaderView::sectionResized, this,
                [this](int column, int, int width) {
                    if (m_filling)
                        return;
                    if (column >= m_widths.size())
                        m_widths.resize(column + 1, DefaultColumnWidth);
                    if (width != m_widths.at(column)) {
                        m_widths[column] = width;
                        ApplyWidths();
                    }
                });
    }

    m_chartPane = new QWidget(m_splitter);
    m_chartPane->setObjectName(QStringLiteral("ChartPane"));
    auto* chartLayout = new QHBoxLayout(m_chartPane);
    chartLayout->setContentsMargins(2, 2, 2, 2);
    m_columnList = new QListWidget(m_chartPane);
    m_columnList->setObjectName(QStringLiteral("lbChartColumns"));
    m_columnList->setMaximumWidth(170);
    chartLayout->addWidget(m_columnList);
    m_chartView = new QChartView(new QChart, m_chartPane);
    m_chartView->setObjectName(QStringLiteral("ChartView"));
    chartLayout->addWidget(m_chartView, 1);
    m_chartPane->hide();
    m_splitter->setStretchFactor(0, 1);
    m_splitter->setStretchFactor(1, 2);

    connect(btnChart, &QPushButton::toggled, this, &TDataForm::SetChartVisible);
    connect(m_columnList, &QListWidget::itemChanged, this, [this] {
        if (!m_filling)
            RebuildChart();
    });
}

TDataForm::~TDataForm() = default;

void TDataForm::ShowText(const QString& text)
{
    QStringList lines = SplitTextLines(text);
    const qsizetype headLines = std::min<qsizetype>(lines.size(), 4);
    // The title lines and the header as the table rule splits them; the records are
    // split by the same rule when the grid draws them.
    DatTable head = SplitDatText(QStringList(lines.mid(0, headLines)).join(QStringLiteral("\r\n")));
    head.fixedRows = lines.size() > 4 ? 1 : 0;
    Label1->setText(head.titleLines.value(0));
    Label2->setText(head.titleLines.value(1));
    Label3->setText(head.titleLines.value(2));

    m_filling = true;
    m_model.SetContent(std::move(lines), head);
    SG1->horizontalHeader()->setVisible(m_model.HasFixedRow());
    m_frozen->horizontalHeader()->setVisible(m_model.HasFixedRow());
    for (int column = 0; column < m_model.columnCount(); ++column)
        m_frozen->setColumnHidden(column, column != 0);
    m_filling = false;
    if (m_widths.size() < m_model.columnCount())
        m_widths.resize(m_model.columnCount(), DefaultColumnWidth);
    ApplyWidths();
    SG1->scrollToTop();
    SG1->horizontalScrollBar()->setValue(0);

    FillColumnList();
    m_chartStale = true;
    if (ChartVisible())
        RebuildChart();
}

void TDataForm::SG1DrawCell(int column, const QString& text, const QFontMetrics& metrics)
{
    if (column < 0 || text.isEmpty())
        return;
    const int wanted = metrics.horizontalAdvance(text) + 8;
    if (column >= m_widths.size())
        m_widths.resize(column + 1, DefaultColumnWidth);
    if (m_widths.at(column) >= wanted)
        return;
    m_widths[column] = wanted;
    // Widened after the drawing pass, not in the middle of it.
    if (!m_widthsPending) {
        m_widthsPending = true;
        QTimer::singleShot(0, this, [this] {
            m_widthsPending = false;
            ApplyWidths();
        });
    }
}

void TDataForm::ApplyWidths()
{
    const bool filling = m_filling;
    m_filling = true;
    const int columns = std::min<int>(m_model.columnCount(), static_cast<int>(m_widths.size()));
    for (int column = 0; column < columns; ++column) {
        if (SG1->columnWidth(column) != m_widths.at(column))
            SG1->setColumnWidth(column, m_widths.at(column));
    }
    if (columns > 0 && m_frozen->columnWidth(0) != m_widths.at(0))
        m_frozen->setColumnWidth(0, m_widths.at(0));
    m_filling = filling;
    UpdateFrozenGeometry();
}

void TDataForm::UpdateFrozenGeometry()
{
    if (m_model.columnCount() == 0) {
        m_frozen->hide();
        return;
    }
    m_frozen->show();
    const int frame = SG1->frameWidth();
    const int headerHeight =
        SG1->horizontalHeader()->isVisible() ? SG1->horizontalHeader()->height() : 0;
    m_frozen->setGeometry(frame, frame, SG1->columnWidth(0) + 1,
                          SG1->viewport()->height() + headerHeight);
    m_frozen->horizontalHeader()->setFixedHeight(headerHeight);
    m_frozen->verticalScrollBar()->setValue(SG1->verticalScrollBar()->value());
}

void TDataForm::resizeEvent(QResizeEvent* e)
{
    QWidget::resizeEvent(e);
    UpdateFrozenGeometry();
}

void TDataForm::SetChartVisible(bool visible)
{
    if (btnChart->isChecked() != visible)
        btnChart->setChecked(visible);
    m_chartPane->setVisible(visible);
    // Drawn when first looked at, not with every file.
    if (visible && m_chartStale)
        RebuildChart();
    QTimer::singleShot(0, this, [this] { UpdateFrozenGeometry(); });
}

bool TDataForm::ChartVisible() const
{
    return m_chartPane->isVisible();
}

QChart* TDataForm::Chart() const
{
    return m_chartView->chart();
}

void TDataForm::FillColumnList()
{
    m_filling = true;
    m_columnList->clear();
    // Offered: the columns after the dates that hold numbers and no flags, judged by the
    // first records (a year of hours is not read through for every file shown).
    constexpr int LookedAt = 1000;
    const int columns = m_model.columnCount();
    QList<bool> numeric(columns, false);
    QList<bool> flags(columns, false);
    const int rows = std::min(m_model.GridRowCount(), LookedAt + 1);
    for (int row = 1; row < rows; ++row) {
        for (int column = 1; column < columns; ++column) {
            const CellKind kind = KindOfCell(m_model.GridCell(row, column));
            numeric[column] = numeric.at(column) || kind == CellKind::Number;
            flags[column] = flags.at(column) || kind == CellKind::Flags;
        }
    }
    for (int column = 1; column < columns; ++column) {
        if (!numeric.at(column) || flags.at(column))
            continue;
        auto* item = new QListWidgetItem(m_model.GridCell(0, column), m_columnList);
        item->setData(Qt::UserRole, column);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
        item->setCheckState(Qt::Unchecked);
    }
    // The first offered column is drawn at once, so the chart is never blank.
    if (m_columnList->count() > 0)
        m_columnList->item(0)->setCheckState(Qt::Checked);
    m_filling = false;
}

void TDataForm::SetChartColumns(const QList<int>& columns)
{
    m_filling = true;
    for (int i = 0; i < m_columnList->count(); ++i) {
        QListWidgetItem* item = m_columnList->item(i);
        item->setCheckState(columns.contains(item->data(Qt::UserRole).toInt()) ? Qt::Checked
                                                                               : Qt::Unchecked);
    }
    m_filling = false;
    RebuildChart();
}

void TDataForm::RebuildChart()
{
    m_chartStale = false;
    auto* chart = new QChart;
    chart->legend()->setAlignment(Qt::AlignBottom);
    chart->setMargins(QMargins(2, 2, 2, 2));
    auto* xAxis = new QDateTimeAxis;
    // Hours on the axis when the archive has records within a day.
    const QDateTime firstDate = ParseRecordDate(m_model.GridCell(1, 0));
    const QDateTime secondDate = ParseRecordDate(m_model.GridCell(2, 0));
    const bool hourly = (firstDate.isValid() && firstDate.time() != QTime(0, 0)) ||
                        (secondDate.isValid() && firstDate.secsTo(secondDate) < 24 * 3600);
    xAxis->setFormat(hourly ? QStringLiteral("dd.MM HH:mm") : QStringLiteral("dd.MM.yyyy"));
    auto* yAxis = new QValueAxis;
    chart->addAxis(xAxis, Qt::AlignBottom);
    chart->addAxis(yAxis, Qt::AlignLeft);
    double low = std::numeric_limits<double>::max();
    double high = std::numeric_limits<double>::lowest();
    double first = low;
    qsizetype points = 0;
    double last = high;
    QList<int> chosen;
    for (int i = 0; i < m_columnList->count(); ++i) {
        const QListWidgetItem* item = m_columnList->item(i);
        if (item->checkState() == Qt::Checked)
            chosen.append(item->data(Qt::UserRole).toInt());
    }
    for (const ChartColumn& column : BuildChartColumns(m_model, chosen)) {
        QColor color;
        // One line per run, all in the column's colour and under its name; the legend
        // names the column once.
        for (qsizetype r = 0; r < column.runs.size(); ++r) {
            auto* series = new QLineSeries;
            series->setName(column.name);
            series->replace(column.runs.at(r).points);
            chart->addSeries(series);
            series->attachAxis(xAxis);
            series->attachAxis(yAxis);
            if (r == 0) {
                color = series->color();
            } else {
                series->setColor(color);
                for (QLegendMarker* marker : chart->legend()->markers(series))
                    marker->setVisible(false);
            }
            points += column.runs.at(r).points.size();
            for (const QPointF& point : column.runs.at(r).points) {
                low = std::min(low, point.y());
                high = std::max(high, point.y());
                first = std::min(first, point.x());
                last = std::max(last, point.x());
            }
        }
    }
    if (first <= last) {
        xAxis->setRange(QDateTime::fromMSecsSinceEpoch(qint64(first)),
                        QDateTime::fromMSecsSinceEpoch(qint64(std::max(last, first + 1))));
        const double margin = high > low ? (high - low) * 0.05 : 1.0;
        yAxis->setRange(low - margin, high + margin);
    }
    // Smoothing a year of hours costs more than it shows.
    m_chartView->setRenderHint(QPainter::Antialiasing, points < 2000);
    QChart* old = m_chartView->chart();
    m_chartView->setChart(chart);
    delete old;
}
