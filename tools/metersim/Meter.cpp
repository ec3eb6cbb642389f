#include "Meter.h"

#include <QJsonValue>

#include <chrono>

namespace {

bool ReadInt(const QJsonObject& object, const char* key, int& value, QString& error)
{
    const QJsonValue field = object.value(QLatin1String(key));
    if (field.isUndefined())
        return true;
    if (!field.isDouble()) {
        error = QStringLiteral("fault \"%1\" must be a number").arg(QLatin1String(key));
        return false;
    }
    value = field.toInt();
    return true;
}

bool ReadBool(const QJsonObject& object, const char* key, bool& value, QString& error)
{
    const QJsonValue field = object.value(QLatin1String(key));
    if (field.isUndefined())
        return true;
    if (!field.isBool()) {
        error = QStringLiteral("fault \"%1\" must be true or false").arg(QLatin1String(key));
        return false;
    }
    value = field.toBool();
    return true;
}

int Larger(int a, int b)
{
    return a != 0 ? a : b;
}

} // namespace

FaultSettings CombineFaults(const FaultSettings& meter, const FaultSettings& line)
{
    FaultSettings f = meter;
    f.silent = meter.silent || line.silent;
    f.delayMs = Larger(meter.delayMs, line.delayMs);
    f.gapMs = Larger(meter.gapMs, line.gapMs);
    f.corruptCrcEvery = Larger(meter.corruptCrcEvery, line.corruptCrcEvery);
    if (meter.exceptionRegister < 0) {
        f.exceptionRegister = line.exceptionRegister;
        f.exceptionCode = line.exceptionCode;
    }
    f.otherAddress = meter.otherAddress || line.otherAddress;
    f.otherAddressEvery = Larger(meter.otherAddressEvery, line.otherAddressEvery);
    f.truncateTo = Larger(meter.truncateTo, line.truncateTo);
    f.noiseBytes = Larger(meter.noiseBytes, line.noiseBytes);
    f.byteCountLie = Larger(meter.byteCountLie, line.byteCountLie);
    f.dropAfter = Larger(meter.dropAfter, line.dropAfter);
    f.badRecordDates = meter.badRecordDates || line.badRecordDates;
    f.corruptNextEvery = Larger(meter.corruptNextEvery, line.corruptNextEvery);
    f.startDateLimit = Larger(meter.startDateLimit, line.startDateLimit);
    return f;
}

bool FaultSettings::FromJson(const QJsonObject& object, FaultSettings& faults, QString& error)
{
    static const QStringList known = {
        QStringLiteral("silent"),
        QStringLiteral("delayMs"),
        QStringLiteral("gapMs"),
        QStringLiteral("corruptCrcEvery"),
        QStringLiteral("exceptionRegister"),
        QStringLiteral("exceptionCode"),
        QStringLiteral("otherAddress"),
        QStringLiteral("otherAddressEvery"),
        QStringLiteral("truncateTo"),
        QStringLiteral("noiseBytes"),
        QStringLiteral("byteCountLie"),
        QStringLiteral("dropAfter"),
        QStringLiteral("badRecordDates"),
        QStringLiteral("corruptNextEvery"),
        QStringLiteral("startDateLimit"),
    };
    for (const QString& key : object.keys()) {
        if (!known.contains(key)) {
            error = QStringLiteral("unknown fault \"%1\"").arg(key);
            return false;
        }
    }
    return ReadBool(object, "silent", faults.silent, error) &&
           ReadInt(object, "delayMs", faults.delayMs, error) &&
           ReadInt(object, "gapMs", faults.gapMs, error) &&
           ReadInt(object, "corruptCrcEvery", faults.corruptCrcEvery, error) &&
           ReadInt(object, "exceptionRegister", faults.exceptionRegister, error) &&
           ReadInt(object, "exceptionCode", faults.exceptionCode, error) &&
           ReadBool(object, "otherAddress", faults.otherAddress, error) &&
           ReadInt(object, "otherAddressEvery", faults.otherAddressEvery, error) &&
           ReadInt(object, "truncateTo", faults.truncateTo, error) &&
           ReadInt(object, "noiseBytes", faults.noiseBytes, error) &&
           ReadInt(object, "byteCountLie", faults.byteCountLie, error) &&
           ReadInt(object, "dropAfter", faults.dropAfter, error) &&
           ReadBool(object, "badRecordDates", faults.badRecordDates, error) &&
           ReadInt(object, "corruptNextEvery", faults.corruptNextEvery, error) &&
           ReadInt(object, "startDateLimit", faults.startDateLimit, error);
}

Meter::Meter(int family, quint8 address, FaultSettings faults)
    : m_family(family), m_address(address), m_faults(faults), m_ticks([] {
          return qint64(std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count());
      })
{
    StartRunning();
}

void Meter::SetTicks(Ticks ticks)
{
    m_ticks = std::move(ticks);
    StartRunning();
}

std::unique_ptr<Meter> Meter::FromJson(const QJsonObject& object, QString& error)
{
    const int family = object.value(QStringLiteral("family")).toInt(-1);
    const int address = object.value(QStringLiteral("address")).toInt(-1);
    if (address < 0 || address > 255) {
        error = QStringLiteral("\"address\" must be 0 to 255");
        return nullptr;
    }
    FaultSettings faults;
    if (!FaultSettings::FromJson(object.value(QStringLiteral("faults")).toObject(), faults, error))
        return nullptr;
    switch (family) {
    case 0:
        return MakeOrvek307Meter(quint8(address), faults, object, error);
    case 1:
        return MakeIlmMeter(quint8(address), faults, object, error);
    case 2:
        return MakeOrvek213Meter(quint8(address), faults, object, error);
    default:
        error = QStringLiteral("\"family\" must be 0, 1 or 2");
        return nullptr;
    }
}
