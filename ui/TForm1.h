#pragma once

#include "PlainTextMemo.h"

#include <QWidget>

class ExchangeLog;
class QPlainTextEdit;

// The main window.
class TForm1 : public QWidget
{
    Q_OBJECT

public:
    explicit TForm1(ExchangeLog& log, QWidget* parent = nullptr);
    ~TForm1() override;

    QPlainTextEdit* memLog = nullptr;

    static QString WindowTitleText();

protected:
    bool event(QEvent* e) override;

private:
    void FormCreate();
    void FormActivate();

    ExchangeLog& m_log;
    PlainTextMemo m_memo;
    bool m_activated = false;
};
