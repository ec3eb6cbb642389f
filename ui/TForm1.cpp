#include "TForm1.h"

#include "ExchangeLog.h"
#include "ProgramEnv.h"

#include <QEvent>
#include <QPlainTextEdit>
#include <QVBoxLayout>

TForm1::TForm1(ExchangeLog& log, QWidget* parent)
    : QWidget(parent), memLog(new QPlainTextEdit(this)), m_log(log), m_memo(memLog)
{
    setObjectName(QStringLiteral("TForm1"));
    memLog->setObjectName(QStringLiteral("memLog"));
    memLog->setReadOnly(true);
    memLog->setLineWrapMode(QPlainTextEdit::NoWrap);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(memLog);
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

void TForm1::FormCreate()
{
    setWindowTitle(WindowTitleText());
    m_log.SetMemo(&m_memo);
    setMinimumSize(630, 460);
    resize(630, 460);
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
}
