#include "ReadPlan.h"

#include "ProgramSettings.h"
#include "ReadoutReport.h"
#include "ReadoutSettings.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

constexpr int FormatVersion = 1;
// Either file is a few hundred bytes; more is no such file (a device, a wrong path).
constexpr qint64 LargestFile = 1 << 20;
constexpr int LongestPause = 60000;

QString Named(const QString& path)
{
    return QDir::toNativeSeparators(path) + QStringLiteral(": ");
}

bool ReadObject(const QString& path, QJsonObject& object, QString& error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = Named(path) + file.errorString();
        return false;
    }
    const QByteArray bytes = file.read(LargestFile + 1);
    if (file.error() != QFileDevice::NoError) {
        error = Named(path) + file.errorString();
        return false;
    }
    if (bytes.size() > LargestFile) {
        error = Named(path) + QStringLiteral("larger than %1 bytes").arg(LargestFile);
        return false;
    }
    QJsonParseError parsed{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parsed);
    if (parsed.error != QJsonParseError::NoError) {
        error =
            Named(path) +
            QStringLiteral("no JSON: %1 at byte %2").arg(parsed.errorString()).arg(parsed.offset);
        return false;
    }
    if (!document.isObject()) {
        error = Named(path) + QStringLiteral("not a JSON object");
        return false;
    }
    object = document.object();
    const QJsonValue version = object.value(QLatin1String("version"));
    if (!version.isUndefined() && !version.isNull() && version.toDouble() != FormatVersion) {
        error = Named(path) + QStringLiteral("version %1 is not known (%2 is)")
                                  .arg(version.toVariant().toString())
                                  .arg(FormatVersion);
        return false;
    }
    return true;
}

bool WriteObject(const QString& path, const QJsonObject& object, QString& error)
{
    const QByteArray bytes = QJsonDocument(object).toJson(QJsonDocument::Indented);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.flush() ||
        !file.commit()) {
        error = Named(path) + file.errorString();
        return false;
    }
    return true;
}

// The keys' values, each checked for its type; null or missing is "not given".
class Fields
{
public:
    Fields(const QJsonObject& object, const QString& path) : m_object(object), m_path(path) {}

    bool Text(const char* key, std::optional<QString>& value)
    {
        const QJsonValue found = m_object.value(QLatin1String(key));
        if (found.isUndefined() || found.isNull())
            return true;
        if (!found.isString())
            return Fail(key, QStringLiteral("a text"));
        value = found.toString();
        return true;
    }

    bool Number(const char* key, int low, int high, std::optional<int>& value)
    {
        const QJsonValue found = m_object.value(QLatin1String(key));
        if (found.isUndefined() || found.isNull())
            return true;
        const double number = found.toDouble(-1);
        if (!found.isDouble() || number != std::floor(number) || number < low || number > high)
            return Fail(key, QStringLiteral("a whole number from %1 to %2").arg(low).arg(high));
        value = int(number);
        return true;
    }

    bool Fail(const char* key, const QString& needs)
    {
        m_error = Named(m_path) + QStringLiteral("\"%1\" needs %2").arg(QLatin1String(key), needs);
        return false;
    }

    const QString& Error() const { return m_error; }

private:
    const QJsonObject& m_object;
    const QString& m_path;
    QString m_error;
};

QJsonValue TextOrNull(const QString& text)
{
    return text.isNull() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

bool HasControlCharacter(const QString& text)
{
    return std::any_of(text.begin(), text.end(),
                       [](QChar c) { return c.category() == QChar::Other_Control; });
}

} // namespace

bool ReadReadPlan(const QString& path, ReadPlan& plan, QString& error)
{
    QJsonObject object;
    if (!ReadObject(path, object, error))
        return false;
    static const QStringList known = {QStringLiteral("version"),    QStringLiteral("configuration"),
                                      QStringLiteral("from"),       QStringLiteral("sendPause"),
                                      QStringLiteral("replyPause"), QStringLiteral("logPrefix"),
                                      QStringLiteral("report")};
    for (const QString& key : object.keys()) {
        if (!known.contains(key)) {
            error = Named(path) + QStringLiteral("unknown key \"%1\"").arg(PrintableName(key));
            return false;
        }
    }
    Fields fields(object, path);
    std::optional<QString> configuration;
    std::optional<QString> from;
    std::optional<QString> logPrefix;
    ReadPlan read;
    if (!fields.Text("configuration", configuration) || !fields.Text("from", from) ||
        !fields.Number("sendPause", 0, LongestPause, read.sendPause) ||
        !fields.Number("replyPause", 0, LongestPause, read.replyPause) ||
        !fields.Text("logPrefix", logPrefix) || !fields.Text("report", read.report)) {
        error = fields.Error();
        return false;
    }
    if (!configuration) {
        error = Named(path) + QStringLiteral("\"configuration\" is missing");
        return false;
    }
    if (const QString fault = ConfigurationNameFault(*configuration); !fault.isEmpty()) {
        error = Named(path) + QStringLiteral("\"configuration\": ") + fault;
        return false;
    }
    read.configuration = *configuration;
    if (from) {
        const QDate date = QDate::fromString(*from, Qt::ISODate);
        if (!date.isValid() || from->size() != 10 || date.year() < MeterYearFirst ||
            date.year() > MeterYearLast) {
            fields.Fail("from", QStringLiteral("a date YYYY-MM-DD in the years %1 to %2")
                                    .arg(MeterYearFirst)
                                    .arg(MeterYearLast));
            error = fields.Error();
            return false;
        }
        read.from = date;
    }
    // Whatever a log line holds stays on its line; a name in brackets and a blank fit.
    if (logPrefix && (HasControlCharacter(*logPrefix) ||
                      logPrefix->size() > MaxConfigurationName + qsizetype(3))) {
        fields.Fail("logPrefix", QStringLiteral("a text of at most %1 characters without "
                                                "control characters")
                                     .arg(MaxConfigurationName + 3));
        error = fields.Error();
        return false;
    }
    read.logPrefix = logPrefix.value_or(QString());
    plan = read;
    return true;
}

bool WriteReadPlan(const QString& path, const ReadPlan& plan, QString& error)
{
    QJsonObject object{{QStringLiteral("version"), FormatVersion},
                       {QStringLiteral("configuration"), plan.configuration}};
    if (plan.from)
        object.insert(QStringLiteral("from"), plan.from->toString(Qt::ISODate));
    if (plan.sendPause)
        object.insert(QStringLiteral("sendPause"), *plan.sendPause);
    if (plan.replyPause)
        object.insert(QStringLiteral("replyPause"), *plan.replyPause);
    if (!plan.logPrefix.isEmpty())
        object.insert(QStringLiteral("logPrefix"), plan.logPrefix);
    if (plan.report)
        object.insert(QStringLiteral("report"), *plan.report);
    return WriteObject(path, object, error);
}

QString OutcomeText(ReadResult::Outcome outcome)
{
    switch (outcome) {
    case ReadResult::Outcome::Read:
        return QStringLiteral("read");
    case ReadResult::Outcome::Aborted:
        return QStringLiteral("aborted");
    case ReadResult::Outcome::Failed:
        break;
    }
    return QStringLiteral("failed");
}

ReadResult ResultOf(const ReadoutReport& report, bool failed, bool aborted,
                    const QString& reportPath)
{
    ReadResult result;
    result.outcome = aborted || report.Aborted() ? ReadResult::Outcome::Aborted
                     : failed                    ? ReadResult::Outcome::Failed
                                                 : ReadResult::Outcome::Read;
    if (!report.configuration.isEmpty())
        result.configuration = report.configuration;
    result.devicesRead = report.DevicesRead();
    result.devicesAsked = int(report.devices.size());
    result.filesWritten = report.FilesWritten();
    if (!reportPath.isEmpty())
        result.report = reportPath;
    for (const DeviceReport& device : report.devices) {
        if (!device.failure.isEmpty()) {
            result.firstFailure = device.failure;
            break;
        }
    }
    return result;
}

bool ReadReadResult(const QString& path, ReadResult& result, QString& error)
{
    QJsonObject object;
    if (!ReadObject(path, object, error))
        return false;
    // Keys it does not know are left alone: a newer program may tell more.
    Fields fields(object, path);
    std::optional<QString> outcome;
    std::optional<QString> configuration;
    std::optional<QString> report;
    std::optional<QString> firstFailure;
    std::optional<int> devicesRead;
    std::optional<int> devicesAsked;
    std::optional<int> filesWritten;
    constexpr int many = std::numeric_limits<int>::max();
    if (!fields.Text("result", outcome) || !fields.Text("configuration", configuration) ||
        !fields.Text("report", report) || !fields.Text("firstFailure", firstFailure) ||
        !fields.Number("devicesRead", 0, many, devicesRead) ||
        !fields.Number("devicesAsked", 0, many, devicesAsked) ||
        !fields.Number("filesWritten", 0, many, filesWritten)) {
        error = fields.Error();
        return false;
    }
    ReadResult read;
    if (outcome == QLatin1String("read"))
        read.outcome = ReadResult::Outcome::Read;
    else if (outcome == QLatin1String("aborted"))
        read.outcome = ReadResult::Outcome::Aborted;
    else if (outcome != QLatin1String("failed")) {
        fields.Fail("result", QStringLiteral("\"read\", \"failed\" or \"aborted\""));
        error = fields.Error();
        return false;
    }
    read.configuration = configuration.value_or(QString());
    read.devicesRead = devicesRead.value_or(0);
    read.devicesAsked = devicesAsked.value_or(0);
    read.filesWritten = filesWritten.value_or(0);
    read.report = report.value_or(QString());
    read.firstFailure = firstFailure.value_or(QString());
    result = read;
    return true;
}

bool WriteReadResult(const QString& path, const ReadResult& result, QString& error)
{
    return WriteObject(path,
                       QJsonObject{
                           {QStringLiteral("version"), FormatVersion},
                           {QStringLiteral("result"), OutcomeText(result.outcome)},
                           {QStringLiteral("configuration"), TextOrNull(result.configuration)},
                           {QStringLiteral("devicesRead"), result.devicesRead},
                           {QStringLiteral("devicesAsked"), result.devicesAsked},
                           {QStringLiteral("filesWritten"), result.filesWritten},
                           {QStringLiteral("report"), TextOrNull(result.report)},
                           {QStringLiteral("firstFailure"), TextOrNull(result.firstFailure)},
                       },
                       error);
}
