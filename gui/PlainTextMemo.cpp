#include "PlainTextMemo.h"

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextCursor>

QString PlainTextMemo::MemoText() const
{
    return m_edit->toPlainText();
}

void PlainTextMemo::SetMemoText(const QString& text)
{
    m_edit->setPlainText(text);
}

void PlainTextMemo::AddMemoLine(const QString& line)
{
    m_edit->appendPlainText(line);
}

void PlainTextMemo::AppendToLastLine(const QString& text)
{
    QTextCursor cursor(m_edit->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(text);
    m_edit->verticalScrollBar()->setValue(m_edit->verticalScrollBar()->maximum());
}
