#include "PlainTextMemo.h"

#include <QPlainTextEdit>

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
