#pragma once

#include "ExchangeLog.h"

class QPlainTextEdit;

// The exchange log's memo shown in a plain-text control.
class PlainTextMemo : public LogMemo
{
public:
    explicit PlainTextMemo(QPlainTextEdit* edit) : m_edit(edit) {}

    QString MemoText() const override;
    void SetMemoText(const QString& text) override;
    void AddMemoLine(const QString& line) override;
    // Joins text to the last line, as the dialing wait adds its asterisks.
    void AppendToLastLine(const QString& text);

private:
    QPlainTextEdit* m_edit;
};
