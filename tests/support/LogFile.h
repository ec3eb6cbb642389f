#pragma once

#include <QString>
#include <QStringList>

// The lines of an exchange-log file without their time stamps, the empty line that
// starts a new file kept. A file that does not end with CR LF, or cannot be read,
// gives a single line saying so, which no expectation matches.
QStringList UnstampedLogLines(const QString& path);

// True when every needle is in haystack in this order (not necessarily next to each
// other); otherwise missing is the first needle not found after the ones before it.
bool InOrder(const QStringList& haystack, const QStringList& needles, QString& missing);
