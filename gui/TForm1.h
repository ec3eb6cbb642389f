#pragma once

#include "DatFile.h"
#include "PlainTextMemo.h"
#include "ProgramSettings.h"
#include "ReadoutPlan.h"
#include "ReadoutSession.h"
#include "ReadoutSteps.h"
#include "SessionThread.h"
#include "ui_TForm1.h"

#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <utility>

class ExchangeLog;
class QMenu;
class TDataForm;
class TKeyDlg;

// The main window: the settings of a read-out, the saved configurations, the Read
// button and the log memo. Its controls are the members of the form (cbCOM, btnDoDevice,
// memLog, …), each with an object name equal to its member name.
//
// A read-out (or a scan, or the register request) runs as a session on a thread of its
// own; the window hears of it through queued signals and stays free meanwhile. Changes
// of the family and the boxes reach the devices still to come.
class TForm1 : public QWidget, public Ui::TForm1
{
    Q_OBJECT

public:
    // programDir as ProgramDir gives it (trailing separator): OrvekData.ini, Data and
    // Protocols live there. [General] is read here, so time-outs in the file apply at once.
    TForm1(ExchangeLog& log, QString programDir, QWidget* parent = nullptr);
    ~TForm1() override;

    static QString WindowTitleText();

    // The message dialog made at start-up. Without one the window makes its own at the
    // first message.
    void SetKeyDlg(TKeyDlg* dialog) { m_keyDlg = dialog; }
    // A line the log shows once after its start line: where the program keeps its files
    // when that is not beside the program.
    void SetFolderNote(QString note) { m_folderNote = std::move(note); }
    TKeyDlg& KeyDlg();
    // The data window made at start-up; without one the window makes its own at the
    // first view.
    void SetDataForm(TDataForm* form) { m_dataForm = form; }
    TDataForm& DataForm();

    // OpenDialog1: shown with the filter set just before; returns the chosen path or an
    // empty text when cancelled. Tests put their own choice in its place.
    using OpenDialog = std::function<QString(const QString& filter)>;
    void SetOpenDialog(OpenDialog dialog) { m_openDialog = std::move(dialog); }
    static QString OpenDialogFilter() { return QStringLiteral("Файлы данных|*.dat"); }

    // Handlers, named as the window's events call them.
    void FormCreate();
    void FormActivate();
    void FormCanResize();
    void FormDestroy();
    void btnSaveClick();
    void lbIniClick();
    void btnDelClick();
    void cbTCPClick();
    void cbDeviceChange();
    void cbEchoClick();
    void cbShowLogClick();
    void cbCOMDropDown();
    void btnDoDeviceClick();
    void SpeedButton1Click();
    void SpeedButton2Click();
    void btnViewClick();
    void btnLClick();
    // "Найти приборы…" of the address field's menu: asks which addresses to try, then
    // scans them.
    void FindMetersClick();

    // The bus scan over the window's line: every meter found is a line of the log;
    // the Read button aborts it. A whole scan that found meters puts their addresses in
    // the address field, and their family in the family box when they share one.
    void FindMeters(const QString& addressText);
    // The address field's own menu with "Найти приборы…" added; the caller owns it.
    QMenu* AddressMenu();

    // The view steps for a chosen file: false, after telling the user, when the copy is
    // damaged or cannot be read; the data window then stays as it was.
    bool ViewDatFile(const QString& path);

    // Saved configurations: one section of the settings file each.
    void IniRead(const QString& section);
    // False, after telling the user, when the file could not be written.
    bool IniWrite(const QString& section);

    // The hex step of SpeedButton1Click, after the text has been asked for.
    void ShowHexAsSingle(const QString& answer);
    // "$" + answer read as a signed 32-bit hex number and its bits as an IEEE single.
    // False for any text that is not 1 to 8 hex digits.
    static bool HexToSingle(const QString& answer, float& value);

    // What a read-out sees of the controls; kept in step with them as they change.
    const ReadoutSettings& Settings() const { return m_settings; }
    // The line of a read-out started now.
    LineConfig CurrentLine() const { return LineConfigFrom(m_settings, m_general); }
    bool ReadoutRunning() const { return m_readState != ReadState::Idle; }
    QString SettingsFilePath() const { return m_iniPath; }

    void ShowError(const QString& text);

signals:
    // A session has ended (the Read button reads "Читать" again).
    void sessionFinished();

protected:
    bool event(QEvent* e) override;
    void showEvent(QShowEvent* e) override;
    void closeEvent(QCloseEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;

private:
    void ConnectHandlers();
    // The Read button's run: "Прервать" while work goes on on the session's thread, then
    // done on the window's thread, "Читать" again, and a close asked for meanwhile
    // carried out.
    void StartSession(std::function<void()> work, std::function<void()> done);
    void SessionEnded();
    // A session over the window's line and plan, with the window's events.
    std::unique_ptr<ReadoutSession> MakeSession(const LineConfig& line);
    void ControlsToSettings();
    void SettingsToControls(const ReadoutSettings& settings);
    void FillConfigurationList();
    void FillPortList();
    // The general error report of the program: a plain box with the text, for failures
    // that the message dialog does not cover (a conversion, an input/output error).
    void ShowApplicationError(const QString& text);
    QString ChooseDatFile();
    // False, after telling the user, for a copy that cannot be used.
    bool ReportDatStatus(const DatContent& content);

    ExchangeLog& m_log;
    QString m_programDir;
    QString m_iniPath;
    PlainTextMemo m_memo;

    ReadoutSettings m_settings;
    GeneralSettings m_general;
    PlanSource m_plan;
    FamilyCatalogue m_families;
    SessionThread m_sessions;
    std::unique_ptr<ReadoutSession> m_session;
    std::function<void()> m_sessionDone;

    TKeyDlg* m_keyDlg = nullptr;
    TDataForm* m_dataForm = nullptr;
    std::unique_ptr<TDataForm> m_ownDataForm;
    OpenDialog m_openDialog;
    std::unique_ptr<TKeyDlg> m_ownKeyDlg;

    QString m_folderNote;
    bool m_activated = false;
    bool m_centred = false;
    // The Read button: idle ("Читать"), running ("Прервать"), aborting ("Ожидание").
    enum class ReadState { Idle, Running, Aborting };
    ReadState m_readState = ReadState::Idle;
    bool m_closePending = false;
    bool m_destroyed = false;
    bool m_loading = false;
};
