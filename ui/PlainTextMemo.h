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

private:
    QPlainTextEdit* m_edit;
};
