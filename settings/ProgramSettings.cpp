#include "ProgramSettings.h"

#include "SharedTypes.h"

#include <algorithm>
#include <array>
#include <variant>

namespace {

using SettingsField =
    std::variant<QString ReadoutSettings::*, bool ReadoutSettings::*, int ReadoutSettings::*>;

struct ConfigurationKey
{
    QString key;
    SettingsField field;
};

// The keys in the order they are written.
const std::array<ConfigurationKey, 17>& ConfigurationKeys()
{
    static const std::array<ConfigurationKey, 17> keys = {{
        {QStringLiteral("cbCOM"), &ReadoutSettings::comPort},
        {QStringLiteral("cbSpeed"), &ReadoutSettings::comSpeed},
        {QStringLiteral("cbTCP"), &ReadoutSettings::useTcp},
        {QStringLiteral("cbModem"), &ReadoutSettings::modem},
        {QStringLiteral("cbEcho"), &ReadoutSettings::echo},
        {QStringLiteral("cbDevice"), &ReadoutSettings::family},
        {QStringLiteral("edADDR"), &ReadoutSettings::tcpHost},
        {QStringLiteral("edAddress"), &ReadoutSettings::addressText},
        {QStringLiteral("edModem"), &ReadoutSettings::dialString},
        {QStringLiteral("sePort"), &ReadoutSettings::tcpPort},
        {QStringLiteral("cbArcHour"), &ReadoutSettings::archiveHourly},
        {QStringLiteral("cbArcDay"), &ReadoutSettings::archiveDaily},
        {QStringLiteral("cbArcMonth"), &ReadoutSettings::archiveMonthly},
        {QStringLiteral("cbArcInt"), &ReadoutSettings::archiveIntegral},
        {QStringLiteral("cbArcEDay"), &ReadoutSettings::archiveEmergency},
        {QStringLiteral("cbLog"), &ReadoutSettings::eventLog},
        {QStringLiteral("cbLogZ"), &ReadoutSettings::protectedLog},
    }};
    return keys;
}

// Ё is a letter of its own between Е and Ж, not after Я where its code would put it.
int SortWeight(QChar folded)
{
    return folded == u'ё' ? 2 * u'е' + 1 : 2 * folded.unicode();
}

// A sorted list box compares without regard to case. Beyond that, characters go by
// their codes (digits, then Latin, then Cyrillic letters), and names that differ in
// case only (two such sections are never both listed) by their plain codes, so the
// order never depends on the order of the file.
bool FoldedLess(const QString& x, const QString& a, const QString& y, const QString& b)
{
    const qsizetype common = std::min(x.size(), y.size());
    for (qsizetype i = 0; i < common; ++i) {
        const int wx = SortWeight(x[i]);
        const int wy = SortWeight(y[i]);
        if (wx != wy)
            return wx < wy;
    }
    if (x.size() != y.size())
        return x.size() < y.size();
    return a < b;
}

} // namespace

QString IniPath(const QString& programDir)
{
    return programDir + QStringLiteral("OrvekData.ini");
}

GeneralSettings ReadGeneralSettings(const IniFile& ini)
{
    const IniSection keys = ini.ReadSection(GeneralSection);
    const GeneralSettings defaults;
    GeneralSettings settings;
    settings.showLog = keys.ReadInteger(QStringLiteral("ShowLog"), defaults.showLog);
    settings.globalTimeOut =
        keys.ReadInteger(QStringLiteral("GlobalTimeOut"), defaults.globalTimeOut);
    settings.localTimeOut = keys.ReadInteger(QStringLiteral("LocalTimeOut"), defaults.localTimeOut);
    settings.globalTry = keys.ReadInteger(QStringLiteral("GlobalTry"), defaults.globalTry);
    settings.comPort = keys.ReadString(QStringLiteral("ComPort"), defaults.comPort);
    settings.comSpeed = keys.ReadString(QStringLiteral("ComSpeed"), defaults.comSpeed);
    settings.clockDriftLimit =
        qMax(0, keys.ReadInteger(QStringLiteral("ClockDriftLimit"), defaults.clockDriftLimit));
    const int sendPause = keys.ReadInteger(QStringLiteral("SendPause"), -1);
    settings.sendPause = sendPause >= 0 ? sendPause : defaults.sendPause;
    settings.replyPause = qMax(-1, keys.ReadInteger(QStringLiteral("ReplyPause"), -1));
    return settings;
}

bool WriteGeneralSettings(IniFile& ini, const GeneralSettings& settings)
{
    return ini.WriteStrings(
        GeneralSection,
        {
            {QStringLiteral("ShowLog"), QString::number(settings.showLog)},
            {QStringLiteral("GlobalTimeOut"), QString::number(settings.globalTimeOut)},
            {QStringLiteral("LocalTimeOut"), QString::number(settings.localTimeOut)},
            {QStringLiteral("GlobalTry"), QString::number(settings.globalTry)},
            {QStringLiteral("ComPort"), settings.comPort},
            {QStringLiteral("ComSpeed"), settings.comSpeed},
        });
}

QStringList ConfigurationNames(const IniFile& ini)
{
    QStringList names = ini.SectionNames();
    names.removeIf(
        [](const QString& name) { return name.compare(GeneralSection, Qt::CaseInsensitive) == 0; });
    // Each name folded once, not at every comparison: a file may hold thousands.
    QList<std::pair<QString, QString>> keyed;
    keyed.reserve(names.size());
    for (const QString& name : std::as_const(names))
        keyed.append({name.toCaseFolded(), name});
    std::sort(keyed.begin(), keyed.end(), [](const auto& x, const auto& y) {
        return FoldedLess(x.first, x.second, y.first, y.second);
    });
    for (qsizetype i = 0; i < keyed.size(); ++i)
        names[i] = keyed.at(i).second;
    return names;
}

void ReadConfiguration(const IniFile& ini, const QString& section, ReadoutSettings& settings)
{
    const IniSection keys = ini.ReadSection(section);
    settings.configuration = section;
    for (const auto& [key, field] : ConfigurationKeys()) {
        if (const auto text = std::get_if<QString ReadoutSettings::*>(&field))
            settings.** text = keys.ReadString(key);
        else if (const auto box = std::get_if<bool ReadoutSettings::*>(&field))
            settings.** box = keys.ReadInteger(key, 0) != 0;
        else
            settings.*std::get<int ReadoutSettings::*>(field) = keys.ReadInteger(key, 0);
    }
    // A family the device box does not offer would leave it with nothing chosen;
    // the first family is what an unset box shows.
    if (settings.family < FamilyOrvek307 || settings.family > FamilyOrvek213)
        settings.family = FamilyOrvek307;
}

bool WriteConfiguration(IniFile& ini, const QString& section, const ReadoutSettings& settings)
{
    IniValues values;
    for (const auto& [key, field] : ConfigurationKeys()) {
        QString value;
        if (const auto text = std::get_if<QString ReadoutSettings::*>(&field))
            value = settings.**text;
        else if (const auto box = std::get_if<bool ReadoutSettings::*>(&field))
            value = settings.**box ? QStringLiteral("1") : QStringLiteral("0");
        else
            value = QString::number(settings.*std::get<int ReadoutSettings::*>(field));
        values.append({key, value});
    }
    return ini.WriteStrings(section, values);
}
