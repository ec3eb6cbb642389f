#pragma once

#include "DatFile.h"

#include <QAbstractTableModel>
#include <QDateTime>
#include <QLabel>
#include <QList>
#include <QStringList>
#include <QTableView>
#include <QVector>
#include <QWidget>

class QChartView;
class QChart;
class QListWidget;
class QPushButton;
class QSplitter;
class QLineSeries;

// The text of a copy as the grid shows it. Only the lines are held; a row's cells are
// split when they are asked for, so a large copy costs its text and little more.
class DatGridModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    using QAbstractTableModel::QAbstractTableModel;

    // lines: the whole text split into lines (at least four). With a fixed row, line 4
    // is the header of the view and the records are the rows; without, line 4 is row 0.
    void SetContent(QStringList lines, const DatTable& head);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    bool HasFixedRow() const { return m_fixedRow; }
    // Grid row r (row 0 the header line) and column c; empty beyond the row's cells.
    QString GridCell(int row, int column) const;
    int GridRowCount() const { return static_cast<int>(m_lines.size()) - 3; }
    // Line 3 of the text: the archive's title, which tells its step.
    QString TitleLine() const { return m_lines.value(2); }

private:
    QStringList m_lines;
    QStringList m_header;
    int m_columns = 0;
    bool m_fixedRow = false;
    mutable int m_cachedLine = -1;
    mutable QStringList m_cachedCells;
};

// One run of a column's values without a hole: what one line of the chart draws.
struct ChartRun
{
    QList<QPointF> points; // x: milliseconds since the epoch, y: the value
};

struct ChartColumn
{
    QString name;
    QList<ChartRun> runs;
    int PointCount() const;
};

// Reads a record date as the archives write it (dd.mm.yyyy, then hh:mm[:ss] with the
// time separator of the machine that wrote it); invalid when it is none. The calendar
// fields come back held as UTC, so an hour the local clocks skip is still a time.
QDateTime ParseRecordDate(const QString& text);
// A number in either decimal mark; false for flags, words and empty cells.
bool ParseCellNumber(const QString& text, double& value);
// The values of one column against the record dates. A record more than one calendar
// step of the archive (an hour, a day or a month, by the title line; the smallest step
// between records for an unknown title) after the one before, or whose cell is no
// number, starts a new run, so a missing hour shows as a gap.
ChartColumn BuildChartColumn(const DatGridModel& model, int column);
// The same for several columns at once, each record's line split once.
QList<ChartColumn> BuildChartColumns(const DatGridModel& model, const QList<int>& columns);

// The data window: three title lines above the grid SG1 and, on request, a chart of
// chosen columns below it. One instance serves every view of a copy.
class TDataForm : public QWidget
{
    Q_OBJECT

public:
    explicit TDataForm(QWidget* parent = nullptr);
    ~TDataForm() override;

    // Refills the window with a checked copy's text (at least four lines).
    void ShowText(const QString& text);

    QLabel* Label1;
    QLabel* Label2;
    QLabel* Label3;
    QTableView* SG1;
    QPushButton* btnChart;

    DatGridModel& Model() { return m_model; }
    // The width a column has grown to: its widest text drawn + 8, never less.
    int GrownWidth(int column) const { return column < m_widths.size() ? m_widths.at(column) : 0; }
    // The fixed first column: a view over the same model that does not scroll sideways.
    QTableView* FixedColumnView() const { return m_frozen; }

    // The chart: shown or hidden below the grid; the columns ticked in its list.
    void SetChartVisible(bool visible);
    bool ChartVisible() const;
    QListWidget* ChartColumnList() const { return m_columnList; }
    void SetChartColumns(const QList<int>& columns);
    QChart* Chart() const;
    QChartView* ChartView() const { return m_chartView; }

    // SG1DrawCell: the column is widened to the text's width + 8 when narrower.
    void SG1DrawCell(int column, const QString& text, const QFontMetrics& metrics);

protected:
    void resizeEvent(QResizeEvent* e) override;

private:
    void ApplyWidths();
    void UpdateFrozenGeometry();
    void FillColumnList();
    void RebuildChart();

    DatGridModel m_model;
    QTableView* m_frozen = nullptr;
    QSplitter* m_splitter = nullptr;
    QWidget* m_chartPane = nullptr;
    QListWidget* m_columnList = nullptr;
    QChartView* m_chartView = nullptr;
    QVector<int> m_widths;
    bool m_widthsPending = false;
    bool m_filling = false;
    bool m_chartStale = true;
};
