#include "ProgramSettings.h"

#include "SharedTypes.h"

#include <QDir>

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

bool IsWholeNumber(QStringView text)
{
    const qsizetype digitsFrom = (!text.isEmpty() && (text[0] == u'+' || text[0] == u'-')) ? 1 : 0;
    if (digitsFrom == text.size())
        return false;
    return std::all_of(text.begin() + digitsFrom, text.end(),
                       [](QChar c) { return c >= u'0' && c <= u'9'; });
}

// A key of [General] that only the file sets, with the range a line can work with.
struct RangedKey
{
    const IniSection& keys;
    const QString& path;
    QStringList* warnings;

    int Read(const QString& key, int defaultValue, int low, int high,
             const QString& defaultText = QString()) const
    {
        const QString text = keys.ReadString(key);
        if (!IsWholeNumber(text))
            return defaultValue;
        bool ok = false;
        const qlonglong value = text.toLongLong(&ok, 10);
        if (ok && value >= low && value <= high)
            return int(value);
        if (warnings) {
            constexpr qsizetype longest = 20;
            const QString shown =
                text.size() > longest ? text.first(longest) + QStringLiteral("...") : text;
            warnings->append(
                QStringLiteral("Файл %1, раздел [General]: %2=%3 вне пределов "
                               "%4..%5, взято значение по умолчанию %6")
                    .arg(QDir::toNativeSeparators(path), key, shown)
                    .arg(low)
                    .arg(high)
                    .arg(defaultText.isEmpty() ? QString::number(defaultValue) : defaultText));
        }
        return defaultValue;
    }
};

GeneralSettings ReadGeneral(const IniSection& keys, const QString& path, QStringList* warnings)
{
    const GeneralSettings defaults;
    const RangedKey ranged{keys, path, warnings};
    GeneralSettings settings;
    settings.showLog = keys.ReadInteger(QStringLiteral("ShowLog"), defaults.showLog);
    settings.globalTimeOut =
        ranged.Read(QStringLiteral("GlobalTimeOut"), defaults.globalTimeOut, 1, 600000);
    settings.localTimeOut =
        ranged.Read(QStringLiteral("LocalTimeOut"), defaults.localTimeOut, 1, 60000);
    settings.globalTry = ranged.Read(QStringLiteral("GlobalTry"), defaults.globalTry, 1, 100);
    settings.comPort = keys.ReadString(QStringLiteral("ComPort"), defaults.comPort);
    settings.comSpeed = keys.ReadString(QStringLiteral("ComSpeed"), defaults.comSpeed);
    // A year and a day: a clock further off is no drift but a clock never set.
    settings.clockDriftLimit =
        ranged.Read(QStringLiteral("ClockDriftLimit"), defaults.clockDriftLimit, 0, 366 * 86400);
    settings.sendPause = ranged.Read(QStringLiteral("SendPause"), defaults.sendPause, 0, 60000);
    settings.replyPause = ranged.Read(QStringLiteral("ReplyPause"), defaults.replyPause, 0, 60000,
                                      QStringLiteral("50 (250 на линии M-Bus)"));
    return settings;
}

QStringList SortedConfigurationNames(QStringList names)
{
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

void ReadConfigurationKeys(const IniSection& keys, const QString& section,
                           ReadoutSettings& settings)
{
    settings.configuration = section;
    for (const auto& [key, field] : ConfigurationKeys()) {
        if (const auto text = std::get_if<QString ReadoutSettings::*>(&field))
            settings.** text = keys.ReadString(key);
        else if (const auto box = std::get_if<bool ReadoutSettings::*>(&field))
            settings.** box = keys.ReadInteger(key, 0) != 0;
        else
            settings.*std::get<int ReadoutSettings::*>(field) = keys.ReadInteger(key, 0);
    }
    // A family number no family has is kept as saved: the read-out refuses it by name
    // rather than read the meters as some other family.
}

} // namespace

QString IniPath(const QString& programDir)
{
    return programDir + QStringLiteral("OrvekData.ini");
}

GeneralSettings ReadGeneralSettings(const IniFile& ini, QStringList* warnings)
{
    return ReadGeneral(ini.ReadSection(GeneralSection), ini.Path(), warnings);
}

GeneralSettings ReadGeneralSettings(const IniSnapshot& ini, QStringList* warnings)
{
    return ReadGeneral(ini.Section(GeneralSection), ini.Path(), warnings);
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
    return SortedConfigurationNames(ini.SectionNames());
}

QStringList ConfigurationNames(const IniSnapshot& ini)
{
    return SortedConfigurationNames(ini.SectionNames());
}

QString ConfigurationNameFault(const QString& name)
{
    if (std::any_of(name.begin(), name.end(),
                    [](QChar c) { return c.category() == QChar::Other_Control; }))
        return QStringLiteral("the name holds control characters");
    if (name.size() > MaxConfigurationName)
        return QStringLiteral("the name is longer than %1 characters").arg(MaxConfigurationName);
    return QString();
}

QString PrintableName(const QString& name)
{
    // Long enough to tell names apart, short enough for a line of the terminal.
    constexpr qsizetype cut = 60;
    const QStringView shown =
        name.size() > MaxConfigurationName ? QStringView(name).first(cut) : QStringView(name);
    QString text;
    text.reserve(shown.size());
    for (const QChar c : shown) {
        if (c.category() == QChar::Other_Control)
            text += QStringLiteral("\\x") +
                    QString::number(c.unicode(), 16).rightJustified(2, u'0').toUpper();
        else
            text += c;
    }
    if (shown.size() < name.size())
        text += QStringLiteral("...");
    return text;
}

void ReadConfiguration(const IniFile& ini, const QString& section, ReadoutSettings& settings)
{
    ReadConfigurationKeys(ini.ReadSection(section), section, settings);
}

void ReadConfiguration(const IniSnapshot& ini, const QString& section, ReadoutSettings& settings)
{
    ReadConfigurationKeys(ini.Section(section), section, settings);
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
