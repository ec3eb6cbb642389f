#include "TKeyDlg.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <QTimerEvent>

#include <functional>

namespace {

// The beep is the only sign of a refused number that leaves no state behind.
class CountingKeyDlg : public TKeyDlg
{
public:
    using TKeyDlg::TKeyDlg;
    int beeps = 0;

protected:
    void Beep() override { ++beeps; }
};

// Plays one step each time the dialog is shown, from inside that show's event loop.
// A show with no step left is cancelled, so a wrong loop fails instead of hanging.
class ShowScript : public QObject
{
public:
    using Step = std::function<void(TKeyDlg&)>;

    ShowScript(TKeyDlg& dlg, QList<Step> steps) : m_dlg(dlg), m_steps(std::move(steps))
    {
        dlg.installEventFilter(this);
    }
    ~ShowScript() override { m_dlg.removeEventFilter(this); }

    int shows = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Show) {
            const int index = shows++;
            QTimer::singleShot(0, this, [this, index] {
                if (index < m_steps.size())
                    m_steps[index](m_dlg);
                else
                    QTest::keyClick(&m_dlg, Qt::Key_Escape);
            });
        }
        return false;
    }

private:
    TKeyDlg& m_dlg;
    QList<Step> m_steps;
};

// Keys go where the user's keys would: to the control that has the focus.
void Press(TKeyDlg& dlg, Qt::Key key)
{
    QWidget* target = dlg.focusWidget() ? dlg.focusWidget() : &dlg;
    QTest::keyClick(target, key);
}

bool IsModeless(const QString& op)
{
    return op == QLatin1String("ShowErrorNM") || op.startsWith(QLatin1String("ShowWait"));
}

// Calls an operation by its name; the modeless ones give mrNone.
int RunOp(TKeyDlg& dlg, const QString& op, const QString& s = QStringLiteral("Сообщение"))
{
    QString text;
    int number = 0;
    double real = 0;
    if (op == QLatin1String("ShowError"))
        return dlg.ShowError(s);
    if (op == QLatin1String("ShowConf"))
        return dlg.ShowConf(s);
    if (op == QLatin1String("ShowInf"))
        return dlg.ShowInf(s);
    if (op == QLatin1String("GetVal"))
        return dlg.GetVal(s, text);
    if (op == QLatin1String("GetInt"))
        return dlg.GetInt(s, number);
    if (op == QLatin1String("GetFloat"))
        return dlg.GetFloat(s, real);
    if (op == QLatin1String("GetCode"))
        return dlg.GetCode(text);
    if (op == QLatin1String("ShowCont"))
        return dlg.ShowCont(s);
    if (op == QLatin1String("ShowBreak"))
        return dlg.ShowBreak(s);
    if (op == QLatin1String("ShowErrorNM"))
        dlg.ShowErrorNM(s);
    else if (op == QLatin1String("ShowWait"))
        dlg.ShowWait(s, false);
    else if (op == QLatin1String("ShowWaitCancel"))
        dlg.ShowWait(s, true);
    else
        qFatal("no operation %s", qPrintable(op));
    return TKeyDlg::mrNone;
}

struct Layout
{
    QString caption;
    QColor textColour;
    QString buttons; // the visible ones: name=caption, in the order Yes, No, OK
    QImage icon;
    bool edit = false;
    QString focus;
};

Layout TakeLayout(const TKeyDlg& dlg)
{
    Layout layout;
    layout.caption = dlg.windowTitle();
    layout.textColour = dlg.Label1->palette().color(QPalette::WindowText);
    QStringList buttons;
    for (const QPushButton* button : {dlg.btnYes, dlg.btnNo, dlg.OKBtn})
        if (button->isVisible())
            buttons << button->objectName() + u'=' + button->text();
    layout.buttons = buttons.join(u',');
    layout.icon = dlg.Image1->pixmap().toImage();
    layout.edit = dlg.Edit1->isVisible();
    layout.focus = dlg.focusWidget() ? dlg.focusWidget()->objectName() : QString();
    return layout;
}

void FireTimer(QTimer* timer)
{
    QTimerEvent tick(timer->timerId());
    QCoreApplication::sendEvent(timer, &tick);
}

} // namespace

class TestKeyDlg : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();

    void showStepGeometry_data();
    void showStepGeometry();
    void layoutPerKind_data();
    void layoutPerKind();
    void keysPerKind_data();
    void keysPerKind();
    void buttonsGiveTheirResults_data();
    void buttonsGiveTheirResults();
    void getIntRetriesUntilValidOrCancelled_data();
    void getIntRetriesUntilValidOrCancelled();
    void getFloatTakesPointOrComma_data();
    void getFloatTakesPointOrComma();
    void getValEmptiesGetCodeKeeps();
    void infoAlignmentStaysUntilNextInfo();
    void centring_data();
    void centring();
    void waitAnimation();
};

void TestKeyDlg::cleanup()
{
    QLocale::setDefault(QLocale::c());
}

void TestKeyDlg::showStepGeometry_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("widestLine"); // its width + 95 is expected when width is 0
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("h"); // -1: the label's height

    QTest::newRow("short line") << QStringLiteral("Нет связи") << QString() << 360 << -1;
    QTest::newRow("three lines") << QStringLiteral("Один\rДва\rТри") << QString() << 360 << 29;
    QTest::newRow("CR LF breaks") << QStringLiteral("Один\r\nДва\r\nТри") << QString() << 360 << 29;
    QTest::newRow("two lines") << QStringLiteral("Один\rДва") << QString() << 360 << 10;
    const QString middle = QStringLiteral("Ошибка чтения архива: нет ответа от прибора");
    QTest::newRow("widest line decides")
        << QStringLiteral("А\r") + middle + QStringLiteral("\rБ") << middle << 0 << 19 * 3 - 28;
    QTest::newRow("long word") << QString(150, u'Ш') << QString() << 800 << -1;
    // Wider than the label: it wraps, and the one-line height is the wrapped label's.
    QTest::newRow("long line") << QStringLiteral("Нет ответа от прибора ").repeated(12) << QString()
                               << 800 << -1;
    QTest::newRow("long line among others")
        << QStringLiteral("А\r") + QString(150, u'Ш') << QString() << 800 << 10;
}

void TestKeyDlg::showStepGeometry()
{
    QFETCH(QString, text);
    QFETCH(QString, widestLine);
    QFETCH(int, width);
    QFETCH(int, h);

    TKeyDlg dlg;
    dlg.ShowErrorNM(text);
    QVERIFY(dlg.isVisible());

    if (width == 0) {
        width = QFontMetrics(dlg.Label1->font()).horizontalAdvance(widestLine) + 95;
        QVERIFY2(width > 360 && width < 800, qPrintable(QString::number(width)));
    }
    if (h == -1) {
        h = dlg.Label1->height();
        const int lineHeight = QFontMetrics(dlg.Label1->font()).height();
        if (text.contains(u' ') && width == 800)
            QVERIFY2(h >= 2 * lineHeight, qPrintable(QString::number(h)));
        else
            QCOMPARE(h, lineHeight);
    }
    QCOMPARE(dlg.width(), width);
    QCOMPARE(dlg.height(), h + 135);
    QCOMPARE(dlg.Edit1->geometry(), QRect(24, h + 44, 217, 24));
    QCOMPARE(dlg.btnYes->geometry(), QRect(6, h + 75, 91, 25));
    QCOMPARE(dlg.btnNo->geometry(), QRect(103, h + 75, 76, 25));
    QCOMPARE(dlg.OKBtn->geometry(), QRect(187, h + 75, 75, 25));
    QCOMPARE(dlg.Label1->y(), 13);

    // The icon sits in the left panel; the label and controls start at its right edge.
    QCOMPARE(dlg.Image1->mapTo(&dlg, QPoint(0, 0)), QPoint(4, 13));
    QCOMPARE(dlg.Image1->size(), QSize(70, 70));
    QCOMPARE(dlg.Label1->mapTo(&dlg, QPoint(0, 0)).x(), 80);
    QCOMPARE(dlg.Label1->width(), width - 80);
    QCOMPARE(dlg.btnYes->mapTo(&dlg, QPoint(0, 0)).x(), 80 + 6);
}

void TestKeyDlg::layoutPerKind_data()
{
    QTest::addColumn<QString>("op");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<bool>("red");
    QTest::addColumn<QString>("buttons");
    QTest::addColumn<int>("icon");
    QTest::addColumn<bool>("edit");
    QTest::addColumn<QString>("focus"); // empty: not checked

    const QString yesNoInput = QStringLiteral("btnYes=Ввести,btnNo=Отменить");
    QTest::newRow("ShowError") << QStringLiteral("ShowError") << QStringLiteral("Ошибка") << true
                               << QStringLiteral("OKBtn=Закрыть") << 0 << false << QString();
    QTest::newRow("ShowErrorNM") << QStringLiteral("ShowErrorNM") << QStringLiteral("Ошибка")
                                 << true << QStringLiteral("OKBtn=Закрыть") << 0 << false
                                 << QString();
    QTest::newRow("ShowConf") << QStringLiteral("ShowConf") << QStringLiteral("Подтверждение")
                              << false << QStringLiteral("btnYes=Да,btnNo=Нет") << 1 << false
                              << QStringLiteral("btnYes");
    QTest::newRow("ShowInf") << QStringLiteral("ShowInf") << QStringLiteral("Информация") << false
                             << QStringLiteral("OKBtn=Закрыть") << 2 << false << QString();
    QTest::newRow("GetVal") << QStringLiteral("GetVal") << QStringLiteral("Ввод") << false
                            << yesNoInput << 1 << true << QStringLiteral("Edit1");
    QTest::newRow("GetInt") << QStringLiteral("GetInt") << QStringLiteral("Ввод") << false
                            << yesNoInput << 1 << true << QStringLiteral("Edit1");
    QTest::newRow("GetFloat") << QStringLiteral("GetFloat") << QStringLiteral("Ввод") << false
                              << yesNoInput << 1 << true << QStringLiteral("Edit1");
    QTest::newRow("GetCode") << QStringLiteral("GetCode") << QStringLiteral("Ввод") << false
                             << QStringLiteral("btnNo=Отменить") << 1 << true
                             << QStringLiteral("Edit1");
    QTest::newRow("ShowCont") << QStringLiteral("ShowCont") << QStringLiteral("Запрос") << false
                              << QStringLiteral("btnYes=Продолжить,btnNo=Отменить") << 1 << false
                              << QStringLiteral("btnYes");
    QTest::newRow("ShowWait") << QStringLiteral("ShowWait") << QStringLiteral("Ждите") << false
                              << QString() << 8 << false << QString();
    QTest::newRow("ShowWait with cancel")
        << QStringLiteral("ShowWaitCancel") << QStringLiteral("Ждите") << false
        << QStringLiteral("btnNo=Отменить") << 8 << false << QString();
    QTest::newRow("ShowBreak") << QStringLiteral("ShowBreak") << QStringLiteral("Ошибка") << true
                               << QStringLiteral("btnYes=Повторить,btnNo=Прервать,OKBtn=Продолжить")
                               << 0 << false << QStringLiteral("btnYes");
}

void TestKeyDlg::layoutPerKind()
{
    QFETCH(QString, op);
    QFETCH(QString, caption);
    QFETCH(bool, red);
    QFETCH(QString, buttons);
    QFETCH(int, icon);
    QFETCH(bool, edit);
    QFETCH(QString, focus);

    TKeyDlg dlg;
    // Start from the layout that differs most, so nothing passes by being left over.
    dlg.DialogKind = red ? TKeyDlg::KindConfirm : TKeyDlg::KindBreak;
    dlg.MyShow();
    dlg.hide();

    Layout seen;
    if (IsModeless(op)) {
        RunOp(dlg, op);
        QVERIFY(dlg.isVisible());
        seen = TakeLayout(dlg);
    } else {
        ShowScript script(dlg, {[&](TKeyDlg& d) {
                              seen = TakeLayout(d);
                              QTest::keyClick(&d, Qt::Key_Escape);
                          }});
        QCOMPARE(RunOp(dlg, op), int(TKeyDlg::mrCancel));
        QCOMPARE(script.shows, 1);
    }
    QCOMPARE(seen.caption, caption);
    QCOMPARE(seen.textColour, red ? QColor(255, 0, 0) : QColor(0, 0, 0));
    QCOMPARE(seen.buttons, buttons);
    QVERIFY(seen.icon == dlg.Image(icon).toImage());
    QCOMPARE(seen.edit, edit);
    if (!focus.isEmpty())
        QCOMPARE(seen.focus, focus);
}

void TestKeyDlg::keysPerKind_data()
{
    QTest::addColumn<QString>("op");
    QTest::addColumn<int>("enterResult"); // 0: Enter is ignored

    QTest::newRow("ShowError") << QStringLiteral("ShowError") << int(TKeyDlg::mrOk);
    QTest::newRow("ShowConf") << QStringLiteral("ShowConf") << int(TKeyDlg::mrYes);
    QTest::newRow("ShowInf") << QStringLiteral("ShowInf") << int(TKeyDlg::mrOk);
    QTest::newRow("GetVal") << QStringLiteral("GetVal") << int(TKeyDlg::mrYes);
    QTest::newRow("GetCode") << QStringLiteral("GetCode") << 0;
    QTest::newRow("ShowCont") << QStringLiteral("ShowCont") << int(TKeyDlg::mrYes);
    QTest::newRow("ShowBreak") << QStringLiteral("ShowBreak") << 0;
}

void TestKeyDlg::keysPerKind()
{
    QFETCH(QString, op);
    QFETCH(int, enterResult);

    TKeyDlg dlg;
    {
        bool openAfterEnter = false;
        ShowScript script(dlg, {[&](TKeyDlg& d) {
                              Press(d, Qt::Key_Return);
                              openAfterEnter = d.isVisible();
                              if (openAfterEnter)
                                  Press(d, Qt::Key_Escape);
                          }});
        const int r = RunOp(dlg, op);
        QCOMPARE(script.shows, 1);
        QCOMPARE(openAfterEnter, enterResult == 0);
        QCOMPARE(r, enterResult == 0 ? int(TKeyDlg::mrCancel) : enterResult);
    }
    {
        ShowScript script(dlg, {[](TKeyDlg& d) {
                              Press(d, Qt::Key_Escape);
                          }});
        QCOMPARE(RunOp(dlg, op), int(TKeyDlg::mrCancel));
        QCOMPARE(script.shows, 1);
    }
    // The keypad's Enter counts as Enter.
    if (enterResult != 0) {
        ShowScript script(dlg, {[](TKeyDlg& d) {
                              Press(d, Qt::Key_Enter);
                          }});
        QCOMPARE(RunOp(dlg, op), enterResult);
    }
}

void TestKeyDlg::buttonsGiveTheirResults_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("result");

    QTest::newRow("Повторить") << QStringLiteral("btnYes") << int(TKeyDlg::mrYes);
    QTest::newRow("Прервать") << QStringLiteral("btnNo") << int(TKeyDlg::mrNo);
    QTest::newRow("Продолжить") << QStringLiteral("OKBtn") << int(TKeyDlg::mrOk);
}

void TestKeyDlg::buttonsGiveTheirResults()
{
    QFETCH(QString, button);
    QFETCH(int, result);

    TKeyDlg dlg;
    ShowScript script(dlg, {[&](TKeyDlg& d) {
                          QTest::mouseClick(d.findChild<QPushButton*>(button), Qt::LeftButton);
                      }});
    QCOMPARE(dlg.ShowBreak(QStringLiteral("Нет ответа")), result);
    QCOMPARE(script.shows, 1);
}

void TestKeyDlg::getIntRetriesUntilValidOrCancelled_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<int>("value");

    QTest::newRow("number") << QStringLiteral("12") << true << 12;
    QTest::newRow("lowest") << QStringLiteral("-2147483648") << true << -2147483647 - 1;
    QTest::newRow("letter after digits") << QStringLiteral("12a") << false << 0;
    QTest::newRow("beyond 32 bits") << QStringLiteral("2147483648") << false << 0;
    QTest::newRow("fraction") << QStringLiteral("1,5") << false << 0;
    QTest::newRow("empty") << QString() << false << 0;
}

void TestKeyDlg::getIntRetriesUntilValidOrCancelled()
{
    QFETCH(QString, typed);
    QFETCH(bool, valid);
    QFETCH(int, value);

    CountingKeyDlg dlg;
    dlg.Edit1->setText(QStringLiteral("77"));
    QString fieldAtFirstShow;
    QString fieldAtSecondShow;
    ShowScript script(dlg, {[&](TKeyDlg& d) {
                                fieldAtFirstShow = d.Edit1->text();
                                QTest::keyClicks(d.Edit1, typed);
                                QTest::mouseClick(d.btnYes, Qt::LeftButton);
                            },
                            [&](TKeyDlg& d) {
                                fieldAtSecondShow = d.Edit1->text();
                                Press(d, Qt::Key_Escape);
                            }});
    int number = 555;
    const int r = dlg.GetInt(QStringLiteral("Введите номер"), number);

    QCOMPARE(fieldAtFirstShow, QString());
    if (valid) {
        QCOMPARE(r, int(TKeyDlg::mrYes));
        QCOMPARE(number, value);
        QCOMPARE(script.shows, 1);
        QCOMPARE(dlg.beeps, 0);
    } else {
        QCOMPARE(r, int(TKeyDlg::mrCancel));
        QCOMPARE(number, 555);
        QCOMPARE(script.shows, 2);
        QCOMPARE(dlg.beeps, 1);
        QCOMPARE(fieldAtSecondShow, typed);
    }
}

void TestKeyDlg::getFloatTakesPointOrComma_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<double>("value");

    QTest::newRow("comma, Russian") << "ru_RU"
                                    << "3,5" << true << 3.5;
    QTest::newRow("point, Russian") << "ru_RU"
                                    << "3.5" << true << 3.5;
    QTest::newRow("comma, German") << "de_DE"
                                   << "3,5" << true << 3.5;
    QTest::newRow("point, German") << "de_DE"
                                   << "3.5" << true << 3.5;
    QTest::newRow("comma, C") << "C"
                              << "3,5" << true << 3.5;
    QTest::newRow("point, C") << "C"
                              << "3.5" << true << 3.5;
    QTest::newRow("comma is no thousands mark") << "en_US"
                                                << "1,234" << true << 1.234;
    QTest::newRow("negative") << "ru_RU"
                              << "-0,25" << true << -0.25;
    QTest::newRow("two marks") << "ru_RU"
                               << "3,5.1" << false << 0.0;
    QTest::newRow("two commas") << "C"
                                << "3,5,1" << false << 0.0;
    QTest::newRow("letters") << "de_DE"
                             << "abc" << false << 0.0;
}

void TestKeyDlg::getFloatTakesPointOrComma()
{
    QFETCH(QString, locale);
    QFETCH(QString, typed);
    QFETCH(bool, valid);
    QFETCH(double, value);

    QLocale::setDefault(QLocale(locale));
    CountingKeyDlg dlg;
    QString fieldAtSecondShow;
    ShowScript script(dlg, {[&](TKeyDlg& d) {
                                QTest::keyClicks(d.Edit1, typed);
                                Press(d, Qt::Key_Return);
                            },
                            [&](TKeyDlg& d) {
                                fieldAtSecondShow = d.Edit1->text();
                                Press(d, Qt::Key_Escape);
                            }});
    double number = 99.0;
    const int r = dlg.GetFloat(QStringLiteral("Введите число"), number);

    if (valid) {
        QCOMPARE(r, int(TKeyDlg::mrYes));
        QCOMPARE(number, value);
        QCOMPARE(dlg.beeps, 0);
    } else {
        QCOMPARE(r, int(TKeyDlg::mrCancel));
        QCOMPARE(number, 99.0);
        QCOMPARE(dlg.beeps, 1);
        QCOMPARE(fieldAtSecondShow, typed);
    }
}

void TestKeyDlg::getValEmptiesGetCodeKeeps()
{
    TKeyDlg dlg;
    dlg.Edit1->setText(QStringLiteral("прежний"));
    QString fieldAtShow;
    QString labelAtShow;
    const auto typeThenCancel = [&](const QString& typed) {
        return [&, typed](TKeyDlg& d) {
            fieldAtShow = d.Edit1->text();
            labelAtShow = d.Label1->text();
            QTest::keyClicks(d.Edit1, typed);
            Press(d, Qt::Key_Escape);
        };
    };

    QString value = QStringLiteral("не тронут");
    {
        ShowScript script(dlg, {typeThenCancel(QStringLiteral("abc"))});
        QCOMPARE(dlg.GetVal(QStringLiteral("Имя"), value), int(TKeyDlg::mrCancel));
    }
    QCOMPARE(fieldAtShow, QString());
    QCOMPARE(labelAtShow, QStringLiteral("Имя"));
    QCOMPARE(value, QStringLiteral("abc")); // whatever the result

    {
        ShowScript script(dlg, {typeThenCancel(QStringLiteral("-17"))});
        QCOMPARE(dlg.GetCode(value), int(TKeyDlg::mrCancel));
    }
    QCOMPARE(fieldAtShow, QStringLiteral("abc"));
    QCOMPARE(labelAtShow, QStringLiteral("Считайте штрих код прибора\nили нажмите \"Отменить\""));
    QCOMPARE(value, QStringLiteral("abc-17"));
}

void TestKeyDlg::infoAlignmentStaysUntilNextInfo()
{
    TKeyDlg dlg;
    const auto horizontal = [&] {
        return dlg.Label1->alignment() & Qt::AlignHorizontal_Mask;
    };
    const auto cancel = [](TKeyDlg& d) {
        Press(d, Qt::Key_Escape);
    };
    ShowScript script(dlg, {cancel, cancel, cancel});

    QCOMPARE(horizontal(), Qt::AlignHCenter);
    dlg.ShowInf(QStringLiteral("1,5"), true);
    QCOMPARE(horizontal(), Qt::AlignLeft);
    dlg.ShowError(QStringLiteral("Ошибка"));
    QCOMPARE(horizontal(), Qt::AlignLeft);
    dlg.ShowInf(QStringLiteral("1,5"));
    QCOMPARE(horizontal(), Qt::AlignHCenter);
    QCOMPARE(dlg.Label1->alignment() & Qt::AlignVertical_Mask, Qt::AlignTop);
    QCOMPARE(script.shows, 3);
}

void TestKeyDlg::centring_data()
{
    QTest::addColumn<QPoint>("mainAt");
    QTest::addColumn<QSize>("mainSize");
    QTest::addColumn<bool>("overMain");

    QTest::newRow("over the main window") << QPoint(100, 80) << QSize(630, 460) << true;
    QTest::newRow("left edge 1") << QPoint(1, 40) << QSize(630, 460) << true;
    // Odd and negative differences: the halves round toward zero.
    QTest::newRow("main smaller than the dialog") << QPoint(150, 300) << QSize(201, 47) << true;
    QTest::newRow("left edge 0") << QPoint(0, 80) << QSize(630, 460) << false;
    QTest::newRow("left edge below 0") << QPoint(-40, 80) << QSize(630, 460) << false;
}

void TestKeyDlg::centring()
{
    QFETCH(QPoint, mainAt);
    QFETCH(QSize, mainSize);
    QFETCH(bool, overMain);

    QWidget main;
    main.move(mainAt);
    main.resize(mainSize);
    main.show();
    QCOMPARE(main.x(), mainAt.x());

    TKeyDlg dlg(&main);
    for (const QString& text : {QStringLiteral("Нет связи"), QString(150, u'Ш')}) {
        dlg.ShowErrorNM(text);
        const QRect area = overMain ? main.frameGeometry() : main.screen()->geometry();
        const QRect frame = dlg.frameGeometry();
        const QPoint expected(area.x() + (area.width() - frame.width()) / 2,
                              area.y() + (area.height() - frame.height()) / 2);
        QCOMPARE(frame.topLeft(), expected);
    }
}

void TestKeyDlg::waitAnimation()
{
    TKeyDlg dlg;
    for (int i = 0; i < TKeyDlg::ImageCount; ++i)
        QCOMPARE(dlg.Image(i).size(), QSize(70, 70));
    // The frames must differ, or following them would prove nothing.
    for (int a = 7; a < 12; ++a)
        for (int b = a + 1; b < 12; ++b)
            QVERIFY2(dlg.Image(a).toImage() != dlg.Image(b).toImage(),
                     qPrintable(QString::number(b)));
    const QColor background = dlg.palette().color(QPalette::Window);
    QCOMPARE(dlg.Image(7).toImage().pixelColor(0, 0), background);
    QCOMPARE(dlg.Image(7).toImage().pixelColor(69, 69), background);

    const auto icon = [&] {
        for (int i = 0; i < TKeyDlg::ImageCount; ++i)
            if (dlg.Image1->pixmap().toImage() == dlg.Image(i).toImage())
                return i;
        return -1;
    };

    dlg.ShowWait(QStringLiteral("Чтение архива"), true);
    QVERIFY(dlg.isVisible());
    QVERIFY(dlg.Timer1->isActive());
    QCOMPARE(dlg.Timer1->interval(), 300);
    QCOMPARE(icon(), 8);
    for (int expected : {9, 10, 11, 8, 9}) {
        FireTimer(dlg.Timer1);
        QCOMPARE(icon(), expected);
    }

    // Shown modelessly, keys and buttons leave their result and the window stays.
    Press(dlg, Qt::Key_Return);
    QCOMPARE(dlg.result(), int(TKeyDlg::mrNone));
    Press(dlg, Qt::Key_Escape);
    QCOMPARE(dlg.result(), int(TKeyDlg::mrCancel));
    QTest::mouseClick(dlg.btnNo, Qt::LeftButton);
    QCOMPARE(dlg.result(), int(TKeyDlg::mrNo));
    QVERIFY(dlg.isVisible());
    QVERIFY(dlg.Timer1->isActive());

    // A message arriving meanwhile closes the wait window first, which stops the timer.
    bool timerDuringError = true;
    int iconDuringError = -1;
    {
        ShowScript script(dlg, {[&](TKeyDlg& d) {
                              timerDuringError = d.Timer1->isActive();
                              iconDuringError = icon();
                              Press(d, Qt::Key_Return);
                          }});
        QCOMPARE(dlg.ShowError(QStringLiteral("Нет ответа")), int(TKeyDlg::mrOk));
    }
    QVERIFY(!timerDuringError);
    QCOMPARE(iconDuringError, 0);
    QVERIFY(!dlg.Timer1->isActive());

    // Each wait starts again from the first frame.
    dlg.ShowWait(QStringLiteral("Чтение архива"), false);
    QCOMPARE(icon(), 8);
    FireTimer(dlg.Timer1);
    QCOMPARE(icon(), 9);
    dlg.close();
    QVERIFY(!dlg.isVisible());
    QVERIFY(!dlg.Timer1->isActive());
}

QTEST_MAIN(TestKeyDlg)
#include "tst_keydlg.moc"
