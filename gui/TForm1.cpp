#include "TForm1.h"

#include "AddressList.h"
#include "AnsiCodec.h"
#include "BusScan.h"
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
    : QWidget(parent), m_log(log), m_programDir(std::move(programDir)), m_memo(nullptr),
      m_job(m_programDir, log, *this, m_settings)
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

    ConnectHandlers();
    FormCreate();
}

TForm1::~TForm1()
{
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
    connect(sePort, &QSpinBox::valueChanged, this, [this] { m_heldPort.reset(); });
    connect(sePort, &QSpinBox::valueChanged, this, sync);
    connect(dtBegin, &QDateEdit::dateChanged, this, sync);
}

void TForm1::ControlsToSettings()
{
    ReadoutSettings& s = m_settings;
    s.addressText = edAddress->text();
    s.useTcp = cbTCP->isChecked();
    s.tcpHost = edADDR->text();
    s.tcpPort = m_heldPort.value_or(sePort->value());
    s.comPort = cbCOM->currentText();
    s.comSpeed = cbSpeed->currentText();
    s.echo = cbEcho->isChecked();
    s.showLog = cbShowLog->isChecked();
    s.modem = cbModem->isChecked();
    s.dialString = edModem->text();
    s.family = std::max(cbDevice->currentIndex(), 0);
    s.startDate = dtBegin->date();
    s.archiveHourly = cbArcHour->isChecked();
    s.archiveDaily = cbArcDay->isChecked();
    s.archiveMonthly = cbArcMonth->isChecked();
    s.archiveIntegral = cbArcInt->isChecked();
    s.archiveEmergency = cbArcEDay->isChecked();
    s.eventLog = cbLog->isChecked();
    s.protectedLog = cbLogZ->isChecked();
}

void TForm1::SettingsToControls(const ReadoutSettings& s)
{
    // A text absent from a box's items is still shown as its text.
    cbCOM->setEditText(s.comPort);
    cbSpeed->setEditText(s.comSpeed);
    cbTCP->setChecked(s.useTcp);
    cbModem->setChecked(s.modem);
    cbEcho->setChecked(s.echo);
    cbDevice->setCurrentIndex(s.family);
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
    const GeneralSettings general = ReadGeneralSettings(ini);
    m_job.master.ShowLog = general.showLog;
    if (general.showLog > 0)
        cbShowLog->setChecked(true);
    m_job.master.GlobalTimeOut = general.globalTimeOut;
    m_job.master.LocalTimeOut = general.localTimeOut;
    m_job.master.GlobalTry = general.globalTry;
    m_job.ClockDriftLimit = general.clockDriftLimit;
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
}

void TForm1::FormDestroy()
{
    if (m_destroyed)
        return;
    m_destroyed = true;
    IniFile ini(m_iniPath);
    GeneralSettings general;
    general.showLog = m_job.master.ShowLog;
    general.globalTimeOut = m_job.master.GlobalTimeOut;
    general.localTimeOut = m_job.master.LocalTimeOut;
    general.globalTry = m_job.master.GlobalTry;
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
    SettingsToControls(loaded);
    m_heldPort.reset();
    if (loaded.tcpPort < sePort->minimum() || loaded.tcpPort > sePort->maximum())
        m_heldPort = loaded.tcpPort;
    m_job.master.EchoSkip = cbEcho->isChecked();
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
    const DeviceDriver& driver = m_job.DriverFor(std::max(cbDevice->currentIndex(), 0));
    const std::pair<QCheckBox*, ReadoutBox> boxes[] = {
        {cbArcHour, ReadoutBox::Hourly},    {cbArcDay, ReadoutBox::Daily},
        {cbArcMonth, ReadoutBox::Monthly},  {cbArcInt, ReadoutBox::Integral},
        {cbArcEDay, ReadoutBox::Emergency}, {cbLog, ReadoutBox::EventLog},
        {cbLogZ, ReadoutBox::ProtectedLog},
    };
    for (const auto& [box, kind] : boxes) {
        const bool offered = BoxOffered(driver, kind);
        box->setEnabled(offered);
        if (!offered)
            box->setChecked(false);
    }
}

void TForm1::cbEchoClick()
{
    m_job.master.EchoSkip = cbEcho->isChecked();
}

void TForm1::cbShowLogClick()
{
    m_job.master.ShowLog = cbShowLog->isChecked() ? 1 : 0;
}

void TForm1::cbCOMDropDown()
{
    FillPortList();
}

// The read-out

void TForm1::RunWithAbort(const std::function<void()>& run)
{
    m_job.context.AbortRequested = false;
    m_readState = ReadState::Running;
    btnDoDevice->setText(AbortCaption);
    run();
    m_readState = ReadState::Idle;
    btnDoDevice->setText(ReadCaption);
    btnDoDevice->setEnabled(true);
    if (m_closePending) {
        m_closePending = false;
        close();
    }
}

void TForm1::btnDoDeviceClick()
{
    if (m_readState == ReadState::Idle) {
        RunWithAbort([this] {
            ControlsToSettings();
            m_job.Run();
            if (!m_job.ReportPath.isEmpty())
                m_log.AddLogLine(QStringLiteral("Отчет о чтении: ") +
                                 QDir::toNativeSeparators(m_job.ReportPath));
            else if (m_job.ReportLost)
                m_log.AddLogLine(QStringLiteral("Отчет о чтении не записан в ") +
                                 QDir::toNativeSeparators(ReportFolder(m_programDir)));
        });
    } else if (m_readState == ReadState::Running) {
        m_job.readout.RequestAbort();
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
    RunWithAbort([&] {
        m_log.AddLogLine(QString(39, u'='));
        m_log.AddLogLine(QStringLiteral("Поиск приборов по адресам \"") + addressText + u'"');
        m_log.AddLogLine(LineLogText(m_settings));
        BusScan scan(m_job, m_settings);
        const ResultCode opened = scan.Open();
        if (opened != Rc::Ok) {
            m_log.AddLogLine(ResultCodeText(opened));
            ShowError(ResultCodeText(opened));
            return;
        }
        const bool echo = scan.DetectEcho(parsed.addresses.first());
        if (echo)
            m_log.AddLogLine(QStringLiteral("Линия возвращает запросы программы: нужна отметка "
                                            "\"M-Bus\""));
        QList<int> found;
        std::optional<int> family;
        bool oneFamily = true;
        const qsizetype count = parsed.addresses.size();
        // Progress in tenths of the list; a short list needs none.
        const qsizetype step = count > 20 ? (count + 9) / 10 : count + 1;
        for (qsizetype i = 0; i < count; ++i) {
            if (m_job.context.AbortRequested)
                break;
            if (i > 0 && i % step == 0)
                m_log.AddLogLine(QStringLiteral("Опрошено адресов: %1 из %2").arg(i).arg(count));
            FoundMeter meter;
            if (!scan.Identify(parsed.addresses[i], meter))
                continue;
            found.append(meter.address);
            if (meter.family < 0 || (family && *family != meter.family))
                oneFamily = false;
            family = meter.family;
            QString line = QStringLiteral("Адрес %1: ").arg(meter.address);
            if (meter.family < 0) {
                line += QStringLiteral("прибор не опознан (") + meter.device + u')';
            } else {
                line += meter.device + QStringLiteral(", зав. № ") + meter.serial;
                if (meter.clockRead)
                    line += QStringLiteral(", часы ") + FormatDateTimeSeconds(meter.clock) +
                            QStringLiteral(", расхождение %1 с").arg(meter.drift);
            }
            m_log.AddLogLine(line);
        }
        const bool aborted = m_job.context.AbortRequested;
        if (aborted)
            m_log.AddLogLine(QStringLiteral("Операция прервана"));
        m_log.AddLogLine(found.isEmpty()
                             ? QStringLiteral("Приборы не найдены")
                             : QStringLiteral("Найдено приборов: %1").arg(found.size()));
        // An aborted scan leaves the user's list: the addresses after it were not asked.
        if (aborted || found.isEmpty())
            return;
        edAddress->setText(AddressListText(found));
        if (echo)
            cbEcho->setChecked(true);
        if (oneFamily && family && *family != cbDevice->currentIndex()) {
            cbDevice->setCurrentIndex(*family);
            cbDeviceChange();
        }
    });
}

void TForm1::ShowError(const QString& text)
{
    KeyDlg().ShowError(text);
}

void TForm1::AppendToLastMemoLine(const QString& text)
{
    m_memo.AppendToLastLine(text);
}

void TForm1::ShowIoError(int systemCode)
{
    ShowApplicationError(QStringLiteral("I/O error %1").arg(systemCode));
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
    m_job.master.ShowLog = cbShowLog->isChecked() ? 1 : 0;
    QString text = edAddress->text();
    int address = 0;
    if (!TakeNumberToken(text, address)) {
        KeyDlg().ShowError(QStringLiteral("Нет допустимых адресов"));
        return;
    }

    if (cbTCP->isChecked()) {
        m_job.channel.TcpHost = edADDR->text();
        m_job.channel.TcpPort = quint16(sePort->value());
        m_log.AddLogLine(QStringLiteral("Порт ") + QString::number(sePort->value()) +
                         QStringLiteral(" по IP адресу ") + edADDR->text());
    } else {
        bool ok = false;
        const int speed = cbSpeed->currentText().trimmed().toInt(&ok);
        if (!ok) {
            ShowApplicationError(QStringLiteral("Неверная скорость порта: ") +
                                 cbSpeed->currentText());
            return;
        }
        m_job.channel.TcpHost.clear();
        m_job.channel.ComPortName = cbCOM->currentText();
        m_job.channel.BaudRate = speed;
        m_log.AddLogLine(QStringLiteral("Порт ") + cbCOM->currentText() +
                         QStringLiteral(" скорость ") + cbSpeed->currentText());
    }
    m_job.master.SendPauseMs = m_settings.sendPause;
    m_job.master.ReplyDelay = m_settings.ReplyPause();

    const ResultCode opened = m_job.channel.OpenChannel();
    if (opened != Rc::Ok) {
        const QString message = ResultCodeText(opened);
        KeyDlg().ShowError(message);
        m_log.AddLogLine(message);
        return;
    }
    const int first = SpinEdit1->value();
    for (int reg = first; reg <= first + 99; ++reg) {
        quint16 count = 1;
        std::array<quint8, 2> data{};
        if (m_job.master.ReadHoldingRegisters(quint16(address), quint16(reg), count, data) !=
            Rc::Ok)
            continue;
        m_log.AddLogLine(QString::number(reg) + QStringLiteral(" = ") +
                         QString::number((data[0] << 8) | data[1]));
    }
    m_job.channel.CloseChannel();
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
        ShowIoError(content.systemError);
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
