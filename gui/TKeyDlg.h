#pragma once

#include <QDialog>
#include <QList>
#include <QPixmap>
#include <QPointer>
#include <QString>

class QKeyEvent;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;

// The one dialog through which the program shows errors, asks for confirmation, shows
// information and takes small inputs. One instance, made at start-up and reused.
class TKeyDlg : public QDialog
{
    Q_OBJECT

public:
    // Modal results as the program's callers know them.
    enum ModalResult { mrNone = 0, mrOk = 1, mrCancel = 2, mrYes = 6, mrNo = 7 };

    // Layouts built by the show step; DialogKind keeps its last value between uses.
    enum Kind {
        KindError = 0,
        KindConfirm = 1,
        KindInformation = 2,
        KindInput = 3,
        KindCode = 4,
        KindContinue = 5,
        KindWait = 6,
        KindBreak = 7,
        KindWaitCancel = 9
    };

    // mainWindow: the window the dialog centres over; it also owns the dialog.
    explicit TKeyDlg(QWidget* mainWindow = nullptr);
    ~TKeyDlg() override;

    // Lines of s are separated by '\r' (Label1 holds them with '\n'). ShowErrorNM and
    // ShowWait return at once and stay on screen until the next message or close(); a
    // button or key pressed meanwhile only leaves its code in result().
    int ShowError(const QString& s);
    void ShowErrorNM(const QString& s);
    int ShowConf(const QString& s);
    int ShowInf(const QString& s, bool aLeft = false);
    int GetVal(const QString& s, QString& sVal);
    int GetInt(const QString& s, int& aInt);
    int GetFloat(const QString& s, double& sFl);
    int GetCode(QString& sVal);
    int ShowCont(const QString& s);
    void ShowWait(const QString& s, bool aBreak);
    int ShowBreak(const QString& s);

    // Both close the dialog first when it is open. MyShowModal returns the modal result;
    // MyShow leaves the dialog on screen with result() at mrNone.
    int MyShowModal();
    void MyShow();

    // 70 x 70 pictures: 0 error, 1 question, 2 information, 3-6 gears, 7 blank,
    // 8-11 hourglass frames.
    static constexpr int ImageCount = 12;
    QPixmap Image(int index) const;

    int DialogKind = 0;

    // For tests and the window: the controls by their names.
    QLabel* Label1 = nullptr;
    QLineEdit* Edit1 = nullptr;
    QPushButton* btnYes = nullptr;
    QPushButton* btnNo = nullptr;
    QPushButton* OKBtn = nullptr;
    QTimer* Timer1 = nullptr;
    QLabel* Image1 = nullptr;

public slots:
    // Keys and buttons end a dialog shown by exec() with their result.
    int exec() override;
    // The window's own close: Cancel when shown modally, otherwise just hidden.
    void reject() override;

protected:
    // Sounded when a number is refused; a test counts it instead.
    virtual void Beep();

    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void SetMessage(const QString& s, int kind);
    void CloseIfOpen();
    void SetModalResult(int r);
    bool HandleKey(const QKeyEvent* event);
    void ShowStep();
    void PlaceWindow(int width, int height);
    void ApplyKind();
    void DrawIcon(int index);
    void Timer1Timer();
    void MakeImages();

    QPointer<QWidget> m_mainWindow;
    QWidget* m_leftPanel = nullptr;
    QWidget* m_rightPanel = nullptr;
    QList<QPixmap> m_images;
    int m_frame = 0;
    bool m_modal = false;
};
