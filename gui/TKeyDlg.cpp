#include "TKeyDlg.h"

#include "LayoutFont.h"
#include "ProgramEnv.h"

#include <QApplication>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QTimer>
#include <QWindow>

#include <algorithm>
#include <cmath>
#include <numbers>

namespace {

constexpr int LeftPanelWidth = 80;
constexpr int ImageSide = 70;
constexpr int BlankImage = 7;
constexpr int FirstHourglass = 8;

enum class FocusOn { Default, Yes, Edit };

// One row per kind: which controls the show step makes visible and how they read.
// A null caption hides the button.
struct KindLayout
{
    int kind;
    const char16_t* caption;
    bool red;
    const char16_t* okText;
    const char16_t* yesText;
    const char16_t* noText;
    int icon;
    bool edit;
    FocusOn focus;
};

constexpr KindLayout KindLayouts[] = {
    {TKeyDlg::KindError, u"Ошибка", true, u"Закрыть", nullptr, nullptr, 0, false, FocusOn::Default},
    {TKeyDlg::KindConfirm, u"Подтверждение", false, nullptr, u"Да", u"Нет", 1, false, FocusOn::Yes},
    {TKeyDlg::KindInformation, u"Информация", false, u"Закрыть", nullptr, nullptr, 2, false,
     FocusOn::Default},
    {TKeyDlg::KindInput, u"Ввод", false, nullptr, u"Ввести", u"Отменить", 1, true, FocusOn::Edit},
    {TKeyDlg::KindCode, u"Ввод", false, nullptr, nullptr, u"Отменить", 1, true, FocusOn::Edit},
    {TKeyDlg::KindContinue, u"Запрос", false, nullptr, u"Продолжить", u"Отменить", 1, false,
     FocusOn::Yes},
    {TKeyDlg::KindWait, u"Ждите", false, nullptr, nullptr, nullptr, FirstHourglass, false,
     FocusOn::Default},
    {TKeyDlg::KindBreak, u"Ошибка", true, u"Продолжить", u"Повторить", u"Прервать", 0, false,
     FocusOn::Yes},
    {TKeyDlg::KindWaitCancel, u"Ждите", false, nullptr, nullptr, u"Отменить", FirstHourglass, false,
     FocusOn::Default},
};

const KindLayout* FindLayout(int kind)
{
    for (const KindLayout& row : KindLayouts)
        if (row.kind == kind)
            return &row;
    return nullptr;
}

void SetButton(QPushButton* button, const char16_t* text)
{
    if (text)
        button->setText(QString::fromUtf16(text));
    button->setVisible(text != nullptr);
}

QFont TahomaPixels(int pixels)
{
    QFont font(QStringLiteral("Tahoma"));
    font.setPixelSize(pixels);
    return font;
}

// The label breaks lines at '\n'; messages come with '\r' (and now and then "\r\n").
QString LabelText(const QString& s)
{
    QString text = s;
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(u'\r', u'\n');
    return text;
}

QPixmap NewImage()
{
    QPixmap pixmap(ImageSide, ImageSide);
    pixmap.fill(Qt::transparent);
    return pixmap;
}

QPixmap ErrorImage()
{
    QPixmap pixmap = NewImage();
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(128, 0, 0), 2));
    p.setBrush(QColor(208, 32, 32));
    p.drawEllipse(QRectF(5, 5, 60, 60));
    p.setPen(QPen(Qt::white, 8, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(23, 23), QPointF(47, 47));
    p.drawLine(QPointF(47, 23), QPointF(23, 47));
    return pixmap;
}

QPixmap SignImage(bool question)
{
    QPixmap pixmap = NewImage();
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(16, 48, 128), 2));
    p.setBrush(QColor(32, 96, 192));
    p.drawEllipse(QRectF(5, 5, 60, 60));
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    if (question) {
        // A hook drawn as an arc and a stem, so the picture needs no font.
        p.setPen(QPen(Qt::white, 7, Qt::SolidLine, Qt::FlatCap));
        p.setBrush(Qt::NoBrush);
        p.drawArc(QRectF(24, 15, 22, 20), 180 * 16, -270 * 16);
        p.drawLine(QPointF(35, 35), QPointF(35, 44));
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::white);
        p.drawEllipse(QPointF(35, 52), 4.5, 4.5);
    } else {
        p.drawEllipse(QPointF(35, 19), 5, 5);
        p.drawRoundedRect(QRectF(30.5, 28, 9, 28), 2, 2);
    }
    return pixmap;
}

QPixmap GearImage(double turnDegrees)
{
    constexpr int Teeth = 8;
    constexpr double Outer = 30;
    constexpr double Inner = 23;
    QPolygonF outline;
    for (int i = 0; i < Teeth * 4; ++i) {
        // Each tooth: two points on the rim and two on the root circle.
        const double step = 360.0 / (Teeth * 4);
        const double angle = (turnDegrees + i * step) * std::numbers::pi / 180.0;
        const double radius = (i % 4 < 2) ? Outer : Inner;
        outline << QPointF(35 + radius * std::cos(angle), 35 + radius * std::sin(angle));
    }
    QPainterPath gear;
    gear.addPolygon(outline);
    gear.closeSubpath();
    QPainterPath hole;
    hole.addEllipse(QPointF(35, 35), 8, 8);

    QPixmap pixmap = NewImage();
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(64, 64, 64), 1.5));
    p.setBrush(QColor(150, 150, 150));
    p.drawPath(gear.subtracted(hole));
    return pixmap;
}

QPixmap PlainImage(const QColor& colour)
{
    QPixmap pixmap(ImageSide, ImageSide);
    pixmap.fill(colour);
    return pixmap;
}

// frame 0: all sand above; 3: all sand below; the stream runs in 1 and 2.
QPixmap HourglassImage(int frame)
{
    const QPolygonF glass{{QPointF(18, 12), QPointF(52, 12), QPointF(38, 35), QPointF(52, 58),
                           QPointF(18, 58), QPointF(32, 35)}};
    QPainterPath glassPath;
    glassPath.addPolygon(glass);
    glassPath.closeSubpath();

    QPixmap pixmap = NewImage();
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(235, 245, 255));
    p.drawPath(glassPath);

    const QColor sand(224, 168, 48);
    const double share = frame / 3.0;
    p.save();
    p.setClipPath(glassPath);
    const double topSand = 21 * (1 - share);
    p.fillRect(QRectF(10, 35 - topSand, 50, topSand), sand);
    const double bottomSand = 21 * share;
    p.fillRect(QRectF(10, 58 - bottomSand, 50, bottomSand), sand);
    p.restore();
    if (frame == 1 || frame == 2)
        p.fillRect(QRectF(34, 35, 2, 23 - 21 * share), sand);

    p.setPen(QPen(QColor(40, 40, 40), 1.5));
    p.setBrush(Qt::NoBrush);
    p.drawPath(glassPath);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(120, 72, 24));
    p.drawRoundedRect(QRectF(13, 7, 44, 6), 2, 2);
    p.drawRoundedRect(QRectF(13, 57, 44, 6), 2, 2);
    return pixmap;
}

} // namespace

TKeyDlg::TKeyDlg(QWidget* mainWindow)
    : QDialog(mainWindow, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                              Qt::CustomizeWindowHint),
      m_mainWindow(mainWindow)
{
    EnsureLayoutFont();
    setObjectName(QStringLiteral("TKeyDlg"));
    QFont dialogFont(QStringLiteral("Tahoma"));
    dialogFont.setPointSize(8);
    setFont(dialogFont);

    m_leftPanel = new QWidget(this);
    m_leftPanel->setObjectName(QStringLiteral("Panel1"));
    Image1 = new QLabel(m_leftPanel);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setGeometry(4, 13, ImageSide, ImageSide);

    m_rightPanel = new QWidget(this);
    m_rightPanel->setObjectName(QStringLiteral("Panel2"));
    Label1 = new QLabel(m_rightPanel);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setFont(TahomaPixels(16));
    Label1->setTextFormat(Qt::PlainText);
    Label1->setWordWrap(true);
    Label1->setAlignment(Qt::AlignTop | Qt::AlignHCenter);

    const QFont controlFont = TahomaPixels(13);
    Edit1 = new QLineEdit(m_rightPanel);
    Edit1->setObjectName(QStringLiteral("Edit1"));
    Edit1->setFont(controlFont);
    Edit1->setGeometry(24, 44, 217, 24);

    const auto makeButton = [&](const QString& name, int x, int width, int result) {
        auto* button = new QPushButton(m_rightPanel);
        button->setObjectName(name);
        button->setFont(controlFont);
        button->setAutoDefault(false);
        button->setGeometry(x, 75, width, 25);
        connect(button, &QPushButton::clicked, this, [this, result] { SetModalResult(result); });
        button->installEventFilter(this);
        return button;
    };
    btnYes = makeButton(QStringLiteral("btnYes"), 6, 91, mrYes);
    btnNo = makeButton(QStringLiteral("btnNo"), 103, 76, mrNo);
    OKBtn = makeButton(QStringLiteral("OKBtn"), 187, 75, mrOk);
    OKBtn->setDefault(true);
    Edit1->installEventFilter(this);

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(300);
    connect(Timer1, &QTimer::timeout, this, &TKeyDlg::Timer1Timer);

    MakeImages();

    setFixedSize(354, 107);
    m_leftPanel->setGeometry(0, 0, LeftPanelWidth, height());
    m_rightPanel->setGeometry(LeftPanelWidth, 0, width() - LeftPanelWidth, height());
    Label1->setGeometry(0, 13, m_rightPanel->width(), QFontMetrics(Label1->font()).height());
}

TKeyDlg::~TKeyDlg() = default;

void TKeyDlg::MakeImages()
{
    m_images = {ErrorImage(),      SignImage(true),
                SignImage(false),  GearImage(0),
                GearImage(11.25),  GearImage(22.5),
                GearImage(33.75),  PlainImage(palette().color(QPalette::Window)),
                HourglassImage(0), HourglassImage(1),
                HourglassImage(2), HourglassImage(3)};
}

QPixmap TKeyDlg::Image(int index) const
{
    return m_images.value(index);
}

int TKeyDlg::ShowError(const QString& s)
{
    SetMessage(s, KindError);
    return MyShowModal();
}

void TKeyDlg::ShowErrorNM(const QString& s)
{
    SetMessage(s, KindError);
    MyShow();
}

int TKeyDlg::ShowConf(const QString& s)
{
    SetMessage(s, KindConfirm);
    return MyShowModal();
}

int TKeyDlg::ShowInf(const QString& s, bool aLeft)
{
    Label1->setAlignment(Qt::AlignTop | (aLeft ? Qt::AlignLeft : Qt::AlignHCenter));
    SetMessage(s, KindInformation);
    return MyShowModal();
}

int TKeyDlg::GetVal(const QString& s, QString& sVal)
{
    SetMessage(s, KindInput);
    Edit1->clear();
    const int r = MyShowModal();
    sVal = Edit1->text();
    return r;
}

int TKeyDlg::GetInt(const QString& s, int& aInt)
{
    SetMessage(s, KindInput);
    Edit1->clear();
    for (;;) {
        const int r = MyShowModal();
        if (r != mrYes)
            return r;
        bool ok = false;
        const int value = Edit1->text().toInt(&ok);
        if (ok) {
            aInt = value;
            return r;
        }
        Beep();
    }
}

int TKeyDlg::GetFloat(const QString& s, double& sFl)
{
    SetMessage(s, KindInput);
    Edit1->clear();
    for (;;) {
        const int r = MyShowModal();
        if (r != mrYes)
            return r;
        if (TextToFloat(Edit1->text(), sFl))
            return r;
        Beep();
    }
}

int TKeyDlg::GetCode(QString& sVal)
{
    SetMessage(QStringLiteral("Считайте штрих код прибора\rили нажмите \"Отменить\""), KindCode);
    const int r = MyShowModal();
    sVal = Edit1->text();
    return r;
}

int TKeyDlg::ShowCont(const QString& s)
{
    SetMessage(s, KindContinue);
    return MyShowModal();
}

void TKeyDlg::ShowWait(const QString& s, bool aBreak)
{
    SetMessage(s, aBreak ? KindWaitCancel : KindWait);
    MyShow();
    Timer1->start();
}

int TKeyDlg::ShowBreak(const QString& s)
{
    SetMessage(s, KindBreak);
    return MyShowModal();
}

int TKeyDlg::MyShowModal()
{
    CloseIfOpen();
    return exec();
}

void TKeyDlg::MyShow()
{
    CloseIfOpen();
    setResult(mrNone);
    show();
}

int TKeyDlg::exec()
{
    const bool wasModal = m_modal;
    m_modal = true;
    setResult(mrNone);
    const int r = QDialog::exec();
    m_modal = wasModal;
    return r;
}

void TKeyDlg::reject()
{
    if (m_modal)
        done(mrCancel);
    else
        hide();
}

void TKeyDlg::Beep()
{
    QApplication::beep();
}

void TKeyDlg::SetMessage(const QString& s, int kind)
{
    Label1->setText(LabelText(s));
    DialogKind = kind;
}

void TKeyDlg::CloseIfOpen()
{
    if (isVisible())
        reject();
}

// A modeless dialog stays up: its caller reads result() or closes it.
void TKeyDlg::SetModalResult(int r)
{
    if (m_modal)
        done(r);
    else
        setResult(r);
}

bool TKeyDlg::HandleKey(const QKeyEvent* event)
{
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        // Swallowed even where it gives nothing, so a focused button is not clicked.
        switch (DialogKind) {
        case KindError:
        case KindInformation:
            SetModalResult(mrOk);
            break;
        case KindConfirm:
        case KindInput:
        case KindContinue:
            SetModalResult(mrYes);
            break;
        default:
            break;
        }
        return true;
    case Qt::Key_Escape:
        SetModalResult(mrCancel);
        return true;
    default:
        return false;
    }
}

bool TKeyDlg::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::KeyPress && HandleKey(static_cast<QKeyEvent*>(event)))
        return true;
    return QDialog::eventFilter(watched, event);
}

void TKeyDlg::keyPressEvent(QKeyEvent* event)
{
    if (!HandleKey(event))
        QDialog::keyPressEvent(event);
}

void TKeyDlg::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (!event->spontaneous())
        ShowStep();
}

void TKeyDlg::hideEvent(QHideEvent* event)
{
    Timer1->stop();
    QDialog::hideEvent(event);
}

void TKeyDlg::ShowStep()
{
    DrawIcon(BlankImage);

    const QStringList lines = Label1->text().split(u'\n');
    const QFontMetrics metrics(Label1->font());
    int widest = 0;
    for (const QString& line : lines)
        widest = std::max(widest, metrics.horizontalAdvance(line));
    const int w = std::max(std::min(widest + 95, 800), 360);

    const int labelWidth = w - LeftPanelWidth;
    // An empty label still takes one line.
    const int labelHeight = std::max(Label1->heightForWidth(labelWidth), metrics.height());
    Label1->setGeometry(0, 13, labelWidth, labelHeight);

    const int lineCount = static_cast<int>(lines.size());
    const int h = std::max(lineCount == 1 ? labelHeight : 19 * lineCount - 28, 0);
    const int windowHeight = h + 135;
    setFixedSize(w, windowHeight);
    m_leftPanel->setGeometry(0, 0, LeftPanelWidth, windowHeight);
    m_rightPanel->setGeometry(LeftPanelWidth, 0, w - LeftPanelWidth, windowHeight);
    Edit1->move(Edit1->x(), h + 44);
    for (QPushButton* button : {btnYes, btnNo, OKBtn})
        button->move(button->x(), h + 75);

    PlaceWindow(w, windowHeight);
    ApplyKind();
}

// Frames are centred on frames, as the window manager places them.
void TKeyDlg::PlaceWindow(int width, int height)
{
    const QMargins frame = windowHandle() ? windowHandle()->frameMargins() : QMargins();
    const int frameWidth = width + frame.left() + frame.right();
    const int frameHeight = height + frame.top() + frame.bottom();

    QWidget* mainWindow = m_mainWindow ? m_mainWindow->window() : nullptr;
    QRect area;
    if (mainWindow && mainWindow->x() > 0) {
        area = mainWindow->frameGeometry();
    } else {
        const QScreen* s = mainWindow ? mainWindow->screen() : screen();
        if (!s)
            s = QGuiApplication::primaryScreen();
        if (!s)
            return;
        area = s->geometry();
    }
    move(area.x() + (area.width() - frameWidth) / 2, area.y() + (area.height() - frameHeight) / 2);
}

void TKeyDlg::ApplyKind()
{
    const KindLayout* row = FindLayout(DialogKind);
    if (!row)
        return;
    setWindowTitle(QString::fromUtf16(row->caption));
    QPalette palette = Label1->palette();
    palette.setColor(QPalette::WindowText, row->red ? QColor(255, 0, 0) : QColor(0, 0, 0));
    Label1->setPalette(palette);
    SetButton(OKBtn, row->okText);
    SetButton(btnYes, row->yesText);
    SetButton(btnNo, row->noText);
    Edit1->setVisible(row->edit);
    if (DialogKind == KindWait || DialogKind == KindWaitCancel)
        m_frame = 0;
    DrawIcon(row->icon);

    switch (row->focus) {
    case FocusOn::Yes:
        btnYes->setFocus();
        break;
    case FocusOn::Edit:
        Edit1->setFocus();
        break;
    case FocusOn::Default:
        // These kinds show one button at most.
        if (OKBtn->isVisibleTo(this))
            OKBtn->setFocus();
        else if (btnNo->isVisibleTo(this))
            btnNo->setFocus();
        else
            setFocus();
        break;
    }
}

void TKeyDlg::DrawIcon(int index)
{
    Image1->setPixmap(m_images.value(index));
}

void TKeyDlg::Timer1Timer()
{
    DrawIcon(BlankImage);
    m_frame = (m_frame + 1) % 4;
    DrawIcon(FirstHourglass + m_frame);
    QCoreApplication::processEvents();
}
