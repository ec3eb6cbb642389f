#include "TForm1.h"

#include "AddressList.h"
#include "AnsiCodec.h"
#include "BusScan.h"
#include "CancelToken.h"
#include "ExchangeLog.h"
#include "IniFile.h"
#include "LayoutFont.h"
#include "ProgramEnv.h"
#include "ProgramSettings.h"
#include "ReadoutSteps.h"
#include "ResultCode.h"
#include "SharedTypes.h"
#include "TDataForm.h"
#include "TKeyDlg.h"
#include "TextFormat.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QInputDialog>
#include <QKeyEvent>
#include <QMenu>
#include <QMessageBox>
#include <QScreen>

#include <algorithm>
#include <array>
#include <bit>

namespace {

const QString ReadCaption = QStringLiteral("Читать");
const QString AbortCaption = QStringLiteral("Прервать");
const QString WaitCaption = QStringLiteral("Ожидание");
const QString FindMetersCaption = QStringLiteral("Найти приборы…");

constexpr int FormWidth = 630;
constexpr int FormHeight = 460;

// Selects the item equal to text without regard to case; none matching leaves the box
// empty, even when an item was selected before.
void SelectIgnoringCase(QComboBox* box, const QString& text)
{
    int index = -1;
    for (int i = 0; i < box->count(); ++i) {
        if (box->itemText(i).compare(text, Qt::CaseInsensitive) == 0) {
            index = i;
            break;
        }
    }
    box->setCurrentIndex(index);
    if (index < 0 && box->isEditable())
        box->setEditText(QString());
}

} // namespace

TForm1::TForm1(ExchangeLog& log, QString programDir, QWidget* parent)
    : QWidget(parent), m_log(log), m_programDir(std::move(programDir)), m_memo(nullptr)
{
    EnsureLayoutFont();
    setupUi(this);
    m_memo = PlainTextMemo(memLog);
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);

    QFont font(QStringLiteral("Tahoma"));
    font.setPixelSize(13);
    setFont(font);
    QFont readFont = font;
    readFont.setPixelSize(16);
    btnDoDevice->setFont(readFont);

    // Enter anywhere presses Save, as the window's default button; a focused button
    // takes Enter for itself.
    btnSave->setDefault(true);
    for (QPushButton* button : {btnSave, btnDel, btnView, btnDoDevice})
        button->setAutoDefault(true);

    // Set here, not in the form file: its line break is CR LF, which the form compiler
    // would turn into a bare LF.
    edAddress->setToolTip(QStringLiteral("Здесь вводится список адресов приборов через пробел "
                                         "и/или диапазоном через \"-\".\r\nНапример:   1 3 "
                                         "6-11 18"));
    // No start date a meter cannot hold can be picked.
    dtBegin->setDateRange(QDate(MeterYearFirst, 1, 1), QDate(MeterYearLast, 12, 31));

    // What a session has to show reaches the window as queued signals; an error box
    // holds the session until the user closes it.
    connect(&m_sessions, &SessionThread::errorRaised, this, [this](const QString& text) {
        KeyDlg().ShowError(text);
        m_sessions.Acknowledge();
    });
    connect(&m_sessions, &SessionThread::ioErrorRaised, this, [this](const QString& text) {
        ShowApplicationError(text);
        m_sessions.Acknowledge();
    });
    connect(&m_sessions, &SessionThread::finished, this, &TForm1::SessionEnded);

    ConnectHandlers();
    FormCreate();
}

TForm1::~TForm1()
{
    // A window going away with a session still running stops it first: the session
    // logs through this window's memo.
    if (m_session)
        m_session->RequestAbort();
    m_sessions.Join();
    if (m_log.Memo() == &m_memo)
        m_log.SetMemo(nullptr);
}

QString TForm1::WindowTitleText()
{
    return QStringLiteral("Программа чтения данных \"ОРВЕК ДАТА\"") + QStringLiteral("   ") +
           VersionText();
}

TDataForm& TForm1::DataForm()
{
    if (!m_dataForm) {
        m_ownDataForm = std::make_unique<TDataForm>();
        m_dataForm = m_ownDataForm.get();
    }
    return *m_dataForm;
}

TKeyDlg& TForm1::KeyDlg()
{
    if (!m_keyDlg) {
        m_ownKeyDlg = std::make_unique<TKeyDlg>(this);
        m_keyDlg = m_ownKeyDlg.get();
    }
    return *m_keyDlg;
}

void TForm1::ConnectHandlers()
{
    connect(btnSave, &QPushButton::clicked, this, &TForm1::btnSaveClick);
    connect(btnDel, &QPushButton::clicked, this, &TForm1::btnDelClick);
    connect(btnDoDevice, &QPushButton::clicked, this, &TForm1::btnDoDeviceClick);
    connect(SpeedButton1, &QToolButton::clicked, this, &TForm1::SpeedButton1Click);
    connect(SpeedButton2, &QToolButton::clicked, this, &TForm1::SpeedButton2Click);
    connect(btnView, &QPushButton::clicked, this, &TForm1::btnViewClick);
    connect(btnL, &QToolButton::clicked, this, &TForm1::btnLClick);
    connect(cbCOM, &PortComboBox::dropDown, this, &TForm1::cbCOMDropDown);
    edAddress->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(edAddress, &QLineEdit::customContextMenuRequested, this, [this](const QPoint& at) {
        QMenu* menu = AddressMenu();
        menu->setAttribute(Qt::WA_DeleteOnClose);
        menu->popup(edAddress->mapToGlobal(at));
    });

    // A box's click handler runs whenever its tick changes, also when a configuration
    // or the settings file sets it.
    connect(cbTCP, &QCheckBox::toggled, this, &TForm1::cbTCPClick);
    connect(cbModem, &QCheckBox::toggled, this, &TForm1::cbTCPClick);
    connect(cbEcho, &QCheckBox::toggled, this, &TForm1::cbEchoClick);
    connect(cbShowLog, &QCheckBox::toggled, this, &TForm1::cbShowLogClick);
    // The family handler answers the user's choice only; a loaded configuration
    // applies it explicitly.
    connect(cbDevice, &QComboBox::activated, this, &TForm1::cbDeviceChange);

    // A click on an entry loads it, also a second click on the selected one; the keys
    // load the entry they move to.
    connect(lbIni, &QListWidget::clicked, this, &TForm1::lbIniClick);
    connect(lbIni, &QListWidget::currentRowChanged, this, [this](int row) {
        if (row >= 0 && !m_loading && QGuiApplication::mouseButtons() == Qt::NoButton)
            lbIniClick();
    });

    // The read-out looks at the family and the boxes again at every device and
    // archive, so the settings follow every change, also in the middle of a read-out.
    const auto sync = [this] {
        ControlsToSettings();
    };
    for (QCheckBox* box : {cbTCP, cbModem, cbEcho, cbShowLog, cbArcHour, cbArcDay, cbArcMonth,
                           cbArcInt, cbArcEDay, cbLog, cbLogZ})
        connect(box, &QCheckBox::toggled, this, sync);
    for (QLineEdit* edit : {edADDR, edAddress, edModem})
        connect(edit, &QLineEdit::textChanged, this, sync);
    for (QComboBox* box : {static_cast<QComboBox*>(cbCOM), cbSpeed}) {
        connect(box, &QComboBox::currentTextChanged, this, sync);
        connect(box, &QComboBox::editTextChanged, this, sync);
    }
    connect(cbDevice, &QComboBox::currentIndexChanged, this, sync);
    connect(sePort, &QSpinBox::valueChanged, this, sync);
    connect(dtBegin, &QDateEdit::dateChanged, this, sync);
}

void TForm1::ControlsToSettings()
{
    ReadoutSettings& s = m_settings;
    s.addressText = edAddress->text();
    s.useTcp = cbTCP->isChecked();
    s.tcpHost = edADDR->text();
    s.tcpPort = sePort->value();
    s.comPort = cbCOM->currentText();
    s.comSpeed = cbSpeed->currentText();
    s.echo = cbEcho->isChecked();
    s.showLog = cbShowLog->isChecked();
    s.modem = cbModem->isChecked();
    s.dialString = edModem->text();
    // A box left with nothing chosen (a saved family no family has) keeps that number, so
    // the read-out refuses it by name.
    if (cbDevice->currentIndex() >= 0)
        s.family = cbDevice->currentIndex();
    s.startDate = dtBegin->date();
    s.archiveHourly = cbArcHour->isChecked();
    s.archiveDaily = cbArcDay->isChecked();
    s.archiveMonthly = cbArcMonth->isChecked();
    s.archiveIntegral = cbArcInt->isChecked();
    s.archiveEmergency = cbArcEDay->isChecked();
    s.eventLog = cbLog->isChecked();
    s.protectedLog = cbLogZ->isChecked();
    // A running read-out takes the plan afresh for every device still to come.
    m_plan.Update(PlanFrom(s));
}

void TForm1::SettingsToControls(const ReadoutSettings& s)
{
    // A text absent from a box's items is still shown as its text.
    cbCOM->setEditText(s.comPort);
    cbSpeed->setEditText(s.comSpeed);
    cbTCP->setChecked(s.useTcp);
    cbModem->setChecked(s.modem);
    cbEcho->setChecked(s.echo);
    cbDevice->setCurrentIndex(FindFamily(s.family) ? s.family : -1);
    edADDR->setText(s.tcpHost);
    edAddress->setText(s.addressText);
    edModem->setText(s.dialString);
    sePort->setValue(s.tcpPort);
    cbArcHour->setChecked(s.archiveHourly);
    cbArcDay->setChecked(s.archiveDaily);
    cbArcMonth->setChecked(s.archiveMonthly);
    cbArcInt->setChecked(s.archiveIntegral);
    cbArcEDay->setChecked(s.archiveEmergency);
    cbLog->setChecked(s.eventLog);
    cbLogZ->setChecked(s.protectedLog);
}

void TForm1::FillPortList()
{
    QStringList ports;
    ListComPorts(ports);
    std::sort(ports.begin(), ports.end(), [](const QString& a, const QString& b) {
        return a.compare(b, Qt::CaseInsensitive) < 0;
    });
    const QString text = cbCOM->currentText();
    cbCOM->clear();
    cbCOM->addItems(ports);
    cbCOM->setEditText(text);
}

void TForm1::FillConfigurationList()
{
    m_loading = true;
    lbIni->clear();
    lbIni->addItems(ConfigurationNames(IniFile(m_iniPath)));
    m_loading = false;
}

void TForm1::FormCreate()
{
    m_iniPath = IniPath(m_programDir);

    FillPortList();
    cbCOM->setCurrentIndex(cbCOM->count() > 0 ? 0 : -1);
    dtBegin->setDate(QDate::currentDate());
    setWindowTitle(WindowTitleText());

    const IniFile ini(m_iniPath);
    FillConfigurationList();
    m_general = ReadGeneralSettings(ini);
    const GeneralSettings& general = m_general;
    if (general.showLog > 0)
        cbShowLog->setChecked(true);
    m_settings.sendPause = general.sendPause;
    m_settings.replyPause = general.replyPause;
    SelectIgnoringCase(cbCOM, general.comPort);
    SelectIgnoringCase(cbSpeed, general.comSpeed);

    m_log.SetMemo(&m_memo);
    FormCanResize();
    resize(FormWidth, FormHeight);
    ControlsToSettings();
}

bool TForm1::event(QEvent* e)
{
    if (e->type() == QEvent::WindowActivate)
        FormActivate();
    return QWidget::event(e);
}

void TForm1::FormActivate()
{
    if (m_activated)
        return;
    m_activated = true;
    m_log.AddLogLine(QStringLiteral("**************************   Запуск программы OrvekData ") +
                     VersionText());
    if (!m_folderNote.isEmpty())
        m_log.AddLogLine(m_folderNote);
}

void TForm1::FormCanResize()
{
    // Larger sizes come as they are; the window never gets smaller than at its start.
    setMinimumSize(FormWidth, FormHeight);
}

void TForm1::showEvent(QShowEvent* e)
{
    QWidget::showEvent(e);
    if (m_centred)
        return;
    m_centred = true;
    if (const QScreen* shown = screen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(shown->availableGeometry().center());
        move(frame.topLeft());
    }
}

void TForm1::closeEvent(QCloseEvent* e)
{
    if (m_readState != ReadState::Idle) {
        // The read-out has the line and an export file open: it is aborted as the
        // button would, and the window closes when it has ended.
        m_closePending = true;
        if (m_readState == ReadState::Running)
            btnDoDeviceClick();
        e->ignore();
        return;
    }
    FormDestroy();
    e->accept();
    // The program ends with its main window: a data window left open would keep it running.
    if (m_dataForm)
        m_dataForm->close();
}

void TForm1::FormDestroy()
{
    if (m_destroyed)
        return;
    m_destroyed = true;
    IniFile ini(m_iniPath);
    GeneralSettings general = m_general;
    general.comPort = cbCOM->currentText();
    general.comSpeed = cbSpeed->currentText();
    if (!WriteGeneralSettings(ini, general)) {
        KeyDlg().ShowError(QStringLiteral("Не удалось записать файл настроек\r") +
                           QDir::toNativeSeparators(m_iniPath));
    }
}

void TForm1::keyPressEvent(QKeyEvent* e)
{
    if ((e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) && btnSave->isEnabled()) {
        btnSave->click();
        return;
    }
    QWidget::keyPressEvent(e);
}

// Saved configurations

void TForm1::btnSaveClick()
{
    const QString name = edConf->text();
    // The settings file keeps section names without their outer blanks, so a name is
    // compared (and found empty) as it will be stored.
    const QString stored = name.trimmed();
    if (stored.isEmpty()) {
        KeyDlg().ShowError(QStringLiteral("Нет имени для записи"));
        return;
    }
    // The settings file is Windows-1251: such a name would be stored as "?" and lost.
    if (!IsAnsiText(stored)) {
        KeyDlg().ShowError(QStringLiteral("Имя содержит символы, которые нельзя сохранить"));
        return;
    }
    for (int i = 0; i < lbIni->count(); ++i) {
        if (lbIni->item(i)->text().compare(stored, Qt::CaseInsensitive) == 0) {
            const int answer =
                KeyDlg().ShowConf(QStringLiteral("Вы действительно хотите перезаписать\r") + name +
                                  QStringLiteral(" ?"));
            if (answer != TKeyDlg::mrYes)
                return;
            break;
        }
    }
    IniWrite(name);
}

bool TForm1::IniWrite(const QString& section)
{
    ControlsToSettings();
    IniFile ini(m_iniPath);
    if (!WriteConfiguration(ini, section, m_settings)) {
        KeyDlg().ShowError(QStringLiteral("Не удалось записать файл настроек\r") +
                           QDir::toNativeSeparators(m_iniPath));
        return false;
    }
    FillConfigurationList();
    return true;
}

void TForm1::lbIniClick()
{
    const QListWidgetItem* item = lbIni->currentItem();
    if (!item || !item->isSelected())
        return;
    IniRead(item->text());
    cbTCPClick();
    cbDeviceChange();
}

void TForm1::IniRead(const QString& section)
{
    ReadoutSettings loaded = m_settings;
    ReadConfiguration(IniFile(m_iniPath), section, loaded);
    m_settings.configuration = loaded.configuration;
    // The box shows the port a read-out will use, also one it will refuse (0, or beyond
    // 65535): showing the nearest port the box holds would hide why it is refused.
    sePort->setRange(std::min(1, loaded.tcpPort), std::max(65535, loaded.tcpPort));
    SettingsToControls(loaded);
    // A family the box cannot show stays as saved (the controls' changes took the box's).
    m_settings.family = loaded.family;
    cbTCPClick();
    ControlsToSettings();
}

void TForm1::btnDelClick()
{
    const QListWidgetItem* item = lbIni->currentItem();
    if (!item || !item->isSelected())
        return;
    const QString name = item->text();
    if (KeyDlg().ShowConf(QStringLiteral("Вы действительно хотите удалить\r") + name +
                          QStringLiteral(" ?")) != TKeyDlg::mrYes)
        return;
    IniFile ini(m_iniPath);
    if (!ini.EraseSection(name)) {
        KeyDlg().ShowError(QStringLiteral("Не удалось записать файл настроек\r") +
                           QDir::toNativeSeparators(m_iniPath));
        return;
    }
    FillConfigurationList();
}

// Dependent controls

void TForm1::cbTCPClick()
{
    // cbModem comes here too; only the TCP box decides.
    const bool tcp = cbTCP->isChecked();
    cbCOM->setVisible(!tcp);
    cbSpeed->setVisible(!tcp);
    edADDR->setVisible(tcp);
    sePort->setVisible(tcp);
    lbADDR->setText(tcp ? QStringLiteral("IP адрес") : QStringLiteral("Скорость"));
}

void TForm1::cbDeviceChange()
{
    const DeviceDriver* driver = m_families.Find(cbDevice->currentIndex());
    if (!driver)
        return;
    const std::pair<QCheckBox*, ReadoutBox> boxes[] = {
        {cbArcHour, ReadoutBox::Hourly},    {cbArcDay, ReadoutBox::Daily},
        {cbArcMonth, ReadoutBox::Monthly},  {cbArcInt, ReadoutBox::Integral},
        {cbArcEDay, ReadoutBox::Emergency}, {cbLog, ReadoutBox::EventLog},
        {cbLogZ, ReadoutBox::ProtectedLog},
    };
    for (const auto& [box, kind] : boxes) {
        const bool offered = BoxOffered(*driver, kind);
        box->setEnabled(offered);
        if (!offered)
            box->setChecked(false);
    }
}

void TForm1::cbEchoClick()
{
    // The M-Bus box's echo skipping and reply pause go with the line of the next read-out.
    ControlsToSettings();
}

void TForm1::cbShowLogClick()
{
    m_general.showLog = cbShowLog->isChecked() ? 1 : 0;
    ControlsToSettings();
}

void TForm1::cbCOMDropDown()
{
    FillPortList();
}

// The read-out

std::unique_ptr<ReadoutSession> TForm1::MakeSession(const LineConfig& line)
{
    auto session = std::make_unique<ReadoutSession>(m_programDir, m_log, m_sessions, line, m_plan);
    session->ClockDriftLimit = m_general.clockDriftLimit;
    return session;
}

void TForm1::StartSession(std::function<void()> work, std::function<void()> done)
{
    m_readState = ReadState::Running;
    btnDoDevice->setText(AbortCaption);
    m_sessionDone = std::move(done);
    m_sessions.Start(std::move(work));
}

void TForm1::SessionEnded()
{
    if (m_sessionDone)
        std::exchange(m_sessionDone, nullptr)();
    m_session.reset();
    m_readState = ReadState::Idle;
    btnDoDevice->setText(ReadCaption);
    btnDoDevice->setEnabled(true);
    emit sessionFinished();
    if (m_closePending) {
        m_closePending = false;
        close();
    }
}

void TForm1::btnDoDeviceClick()
{
    if (m_readState == ReadState::Idle) {
        ControlsToSettings();
        m_session = MakeSession(CurrentLine());
        ReadoutSession* session = m_session.get();
        StartSession([session] { session->Run(); },
                     [this, session] {
                         if (!session->ReportPath.isEmpty())
                             m_log.AddLogLine(QStringLiteral("Отчет о чтении: ") +
                                              QDir::toNativeSeparators(session->ReportPath));
                         else if (session->ReportLost())
                             m_log.AddLogLine(QStringLiteral("Отчет о чтении не записан в ") +
                                              QDir::toNativeSeparators(ReportFolder(m_programDir)) +
                                              QStringLiteral(" (") +
                                              SystemErrorText(session->ReportError) + u')');
                     });
    } else if (m_readState == ReadState::Running) {
        if (m_session)
            m_session->RequestAbort();
        m_readState = ReadState::Aborting;
        btnDoDevice->setText(WaitCaption);
        btnDoDevice->setEnabled(false);
    }
}

// The bus scan

QMenu* TForm1::AddressMenu()
{
    QMenu* menu = edAddress->createStandardContextMenu();
    menu->addSeparator();
    QAction* find = menu->addAction(FindMetersCaption);
    find->setObjectName(QStringLiteral("actFindMeters"));
    find->setEnabled(m_readState == ReadState::Idle);
    connect(find, &QAction::triggered, this, &TForm1::FindMetersClick, Qt::QueuedConnection);
    return menu;
}

void TForm1::FindMetersClick()
{
    if (m_readState != ReadState::Idle)
        return;
    bool ok = false;
    const QString text =
        QInputDialog::getText(this, FindMetersCaption, QStringLiteral("Адреса приборов:"),
                              QLineEdit::Normal, QStringLiteral("1-247"), &ok);
    if (ok)
        FindMeters(text);
}

void TForm1::FindMeters(const QString& addressText)
{
    if (m_readState != ReadState::Idle)
        return;
    const AddressParseResult parsed = ParseAddressList(addressText);
    if (!parsed.Ok()) {
        ShowError(parsed.error);
        return;
    }
    ControlsToSettings();
    if (m_settings.modem) {
        ShowError(QStringLiteral("Поиск приборов через модем не выполняется"));
        return;
    }
    // What the scan found, handed to the window when it has ended.
    struct Outcome
    {
        QList<int> found;
        std::optional<int> family;
        bool oneFamily = true;
        bool echo = false;
        bool complete = false;
    };
    auto outcome = std::make_shared<Outcome>();
    const LineConfig line = CurrentLine();
    m_session = MakeSession(line);
    ReadoutSession* session = m_session.get();
    ExchangeLog& log = m_log;
    SessionEvents& events = m_sessions;
    const QList<quint8> addresses = parsed.addresses;
    StartSession(
        [session, line, addresses, addressText, outcome, &log, &events] {
            log.AddLogLine(QString(39, u'='));
            log.AddLogLine(QStringLiteral("Поиск приборов по адресам \"") + addressText + u'"');
            log.AddLogLine(line.logText);
            BusScan scan(*session, line);
            const ResultCode opened = scan.Open();
            if (opened == Rc::Aborted) {
                log.AddLogLine(QStringLiteral("Операция прервана"));
                return;
            }
            if (opened != Rc::Ok) {
                log.AddLogLine(ResultCodeText(opened));
                events.ShowError(ResultCodeText(opened));
                return;
            }
            outcome->echo = scan.DetectEcho(addresses.first());
            if (outcome->echo)
                log.AddLogLine(QStringLiteral("Линия возвращает запросы программы: нужна отметка "
                                              "\"M-Bus\""));
            const qsizetype count = addresses.size();
            // Progress in tenths of the list; a short list needs none.
            const qsizetype step = count > 20 ? (count + 9) / 10 : count + 1;
            for (qsizetype i = 0; i < count; ++i) {
                if (session->AbortRequested())
                    break;
                if (i > 0 && i % step == 0)
                    log.AddLogLine(QStringLiteral("Опрошено адресов: %1 из %2").arg(i).arg(count));
                FoundMeter meter;
                if (!scan.Identify(addresses[i], meter))
                    continue;
                outcome->found.append(meter.address);
                if (meter.family < 0 || (outcome->family && *outcome->family != meter.family))
                    outcome->oneFamily = false;
                outcome->family = meter.family;
                QString text = QStringLiteral("Адрес %1: ").arg(meter.address);
                if (meter.family < 0) {
                    text += QStringLiteral("прибор не опознан (") + meter.device + u')';
                } else {
                    text += meter.device + QStringLiteral(", зав. № ") + meter.serial;
                    if (meter.clockRead)
                        text += QStringLiteral(", часы ") + FormatDateTimeSeconds(meter.clock) +
                                QStringLiteral(", расхождение %1 с").arg(meter.drift);
                }
                log.AddLogLine(text);
            }
            const bool aborted = session->AbortRequested();
            if (aborted)
                log.AddLogLine(QStringLiteral("Операция прервана"));
            log.AddLogLine(outcome->found.isEmpty()
                               ? QStringLiteral("Приборы не найдены")
                               : QStringLiteral("Найдено приборов: %1").arg(outcome->found.size()));
            outcome->complete = !aborted;
        },
        [this, outcome] {
            // An aborted scan leaves the user's list: the addresses after it were not asked.
            if (!outcome->complete || outcome->found.isEmpty())
                return;
            edAddress->setText(AddressListText(outcome->found));
            if (outcome->echo)
                cbEcho->setChecked(true);
            if (outcome->oneFamily && outcome->family &&
                *outcome->family != cbDevice->currentIndex()) {
                cbDevice->setCurrentIndex(*outcome->family);
                cbDeviceChange();
            }
        });
}

void TForm1::ShowError(const QString& text)
{
    KeyDlg().ShowError(text);
}

void TForm1::ShowApplicationError(const QString& text)
{
    // The run-time's own error box carries the program's name as its title.
    QMessageBox box(QMessageBox::Critical, QStringLiteral("OrvekData"), text, QMessageBox::Ok,
                    this);
    box.exec();
}

// The hidden service tools

void TForm1::SpeedButton1Click()
{
    const QString answer = QInputDialog::getText(this, QStringLiteral("Введите НЕХ"), QString());
    ShowHexAsSingle(answer);
}

bool TForm1::HexToSingle(const QString& answer, float& value)
{
    // The digits follow the "$" at once: no blank, no sign, at most the eight digits
    // of a 32-bit value.
    if (answer.isEmpty() || answer.size() > 8)
        return false;
    quint32 bits = 0;
    for (const QChar c : answer) {
        int digit = -1;
        if (c >= u'0' && c <= u'9')
            digit = c.unicode() - u'0';
        else if (c >= u'a' && c <= u'f')
            digit = c.unicode() - u'a' + 10;
        else if (c >= u'A' && c <= u'F')
            digit = c.unicode() - u'A' + 10;
        if (digit < 0)
            return false;
        bits = bits << 4 | quint32(digit);
    }
    value = std::bit_cast<float>(bits);
    return true;
}

void TForm1::ShowHexAsSingle(const QString& answer)
{
    if (answer.isEmpty())
        return;
    float value = 0;
    if (!HexToSingle(answer, value)) {
        ShowApplicationError(QStringLiteral("Неверное шестнадцатеричное число: $") + answer);
        return;
    }
    KeyDlg().ShowInf(FormatNumberCell(double(value)), false);
}

void TForm1::SpeedButton2Click()
{
    if (m_readState != ReadState::Idle)
        return;
    ControlsToSettings();
    QString text = edAddress->text();
    int address = 0;
    if (!TakeNumberToken(text, address)) {
        KeyDlg().ShowError(QStringLiteral("Нет допустимых адресов"));
        return;
    }
    const LineConfig line = CurrentLine();
    if (!line.tcp && line.baudRate <= 0) {
        ShowApplicationError(QStringLiteral("Неверная скорость порта: ") + cbSpeed->currentText());
        return;
    }
    if (!LineConfigUsable(line)) {
        KeyDlg().ShowError(ResultCodeText(Rc::InvalidParameter));
        return;
    }
    m_log.AddLogLine(line.logText);
    m_session = MakeSession(line);
    ReadoutSession* session = m_session.get();
    ExchangeLog& log = m_log;
    SessionEvents& events = m_sessions;
    const int first = SpinEdit1->value();
    StartSession(
        [session, line, address, first, &log, &events] {
            session->line.Configure(line);
            session->master.Configure(line);
            const ResultCode opened = session->line.OpenChannel();
            if (opened != Rc::Ok) {
                if (opened == Rc::Aborted)
                    return;
                const QString message = ResultCodeText(opened);
                events.ShowError(message);
                log.AddLogLine(message);
                return;
            }
            for (int reg = first; reg <= first + 99 && !session->AbortRequested(); ++reg) {
                quint16 count = 1;
                std::array<quint8, 2> data{};
                if (session->master.ReadHoldingRegisters(quint16(address), quint16(reg), count,
                                                         data) != Rc::Ok)
                    continue;
                log.AddLogLine(QString::number(reg) + QStringLiteral(" = ") +
                               QString::number((data[0] << 8) | data[1]));
            }
            session->line.CloseChannel();
        },
        nullptr);
}

// The file viewer

QString TForm1::ChooseDatFile()
{
    const QString filter = OpenDialogFilter();
    if (m_openDialog)
        return m_openDialog(filter);
    // "Name|pattern" as the dialog of the toolkit spells it: "Name (pattern)".
    const qsizetype bar = filter.indexOf(u'|');
    QFileDialog dialog(this);
    dialog.setNameFilter(filter.left(bar) + QStringLiteral(" (") + filter.mid(bar + 1) + u')');
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setDirectory(m_programDir + QStringLiteral("Data"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().constFirst();
}

bool TForm1::ReportDatStatus(const DatContent& content)
{
    switch (content.status) {
    case DatStatus::Ok:
        return true;
    case DatStatus::Damaged:
        KeyDlg().ShowError(QStringLiteral("Файл поврежден"));
        return false;
    case DatStatus::ReadFailed:
    case DatStatus::WriteFailed:
        ShowApplicationError(QStringLiteral("I/O error %1").arg(content.systemError));
        return false;
    }
    return false;
}

bool TForm1::ViewDatFile(const QString& path)
{
    DatContent content = ReadDatFile(path);
    if (!ReportDatStatus(content))
        return false;
    content.bytes = QByteArray();
    TDataForm& form = DataForm();
    form.ShowText(content.text);
    form.show();
    form.raise();
    return true;
}

void TForm1::btnViewClick()
{
    const QString path = ChooseDatFile();
    if (!path.isEmpty())
        ViewDatFile(path);
}

void TForm1::btnLClick()
{
    const QString path = ChooseDatFile();
    if (!path.isEmpty())
        ReportDatStatus(ConvertDatFile(path));
}
