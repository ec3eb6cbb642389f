#include "PlainTextMemo.h"

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextCursor>
#include <QThread>

namespace {

void Append(QPlainTextEdit* edit, const QString& line)
{
    edit->appendPlainText(line);
}

void Join(QPlainTextEdit* edit, const QString& text)
{
    QTextCursor cursor(edit->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(text);
    edit->verticalScrollBar()->setValue(edit->verticalScrollBar()->maximum());
}

// On the control's thread at once, from any other thread in the order of the calls.
template <class Step>
void OnControlThread(const QPointer<QPlainTextEdit>& edit, Step step, const QString& text)
{
    QPlainTextEdit* control = edit.data();
    if (!control)
        return;
    if (QThread::currentThread() == control->thread()) {
        step(control, text);
        return;
    }
    QMetaObject::invokeMethod(
        control,
        [edit, step, text] {
            if (edit)
                step(edit.data(), text);
        },
        Qt::QueuedConnection);
}

} // namespace

PlainTextMemo::PlainTextMemo(QPlainTextEdit* edit) : m_edit(edit)
{
    // The newest lines and the one just added.
    if (edit)
        edit->setMaximumBlockCount(ExchangeLog::MemoLineLimit + 1);
}

void PlainTextMemo::AddMemoLine(const QString& line)
{
    OnControlThread(m_edit, &Append, line);
}

void PlainTextMemo::AppendToLastLine(const QString& text)
{
    OnControlThread(m_edit, &Join, text);
}
