#pragma once

#include "ExchangeLog.h"

#include <QPointer>

class QPlainTextEdit;

// The exchange log's memo shown in a plain-text control. A read-out logs from its own
// thread: its lines are handed to the control's thread in order. The control keeps its
// newest lines itself (its block limit), so a long read-out never rewrites the text and
// the user's selection and scroll position stay.
class PlainTextMemo : public LogMemo
{
public:
    explicit PlainTextMemo(QPlainTextEdit* edit);

    void AddMemoLine(const QString& line) override;
    // Joins text to the last line, as the dialing wait adds its asterisks.
    void AppendToLastLine(const QString& text) override;

private:
    QPointer<QPlainTextEdit> m_edit;
};
