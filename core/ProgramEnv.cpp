#include "ProgramEnv.h"

#include "TextFormat.h"
#include "Version.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QLocale>
#include <QSerialPortInfo>
#include <QStandardPaths>
#include <QTemporaryFile>
#include <QTranslator>

#include <cmath>

#if defined(Q_OS_UNIX)
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// An installed program's folder, which holds no data even where the administrator could
// write to it.
bool IsSystemProgramFolder(const QString& dir)
{
#if defined(Q_OS_UNIX)
    const QString clean = QDir::cleanPath(dir);
    return clean == QLatin1String("/usr/bin") || clean == QLatin1String("/usr/local/bin") ||
           clean == QLatin1String("/bin") || clean == QLatin1String("/usr/games");
#else
    Q_UNUSED(dir);
    return false;
#endif
}

const QString IniName = QStringLiteral("OrvekData.ini");

// A copy that never replaces a file put there meanwhile (two read-outs at a first start),
// made under another name and then renamed, so that no one reads it half-written. A
// copy that fails leaves the user's folder as it was: the program starts all the same.
void AdoptProgramIni(const QString& programFolder, const QString& userFolder)
{
    const QString target = userFolder + u'/' + IniName;
    if (QFileInfo::exists(target))
        return;
    QFile source(programFolder + u'/' + IniName);
    if (!source.open(QIODevice::ReadOnly))
        return;
    const QByteArray bytes = source.readAll();
    if (source.error() != QFileDevice::NoError)
        return;
    // Not QFile::copy: it would take over the permissions of a read-only original.
    QTemporaryFile copy(target + QStringLiteral("-XXXXXX"));
    if (!copy.open() || copy.write(bytes) != bytes.size() || !copy.flush())
        return;
    // Left to itself it would remove the file under its new name as well.
    copy.setAutoRemove(false);
    if (!copy.rename(target))
        copy.remove();
}

QString WithSeparator(QString dir)
{
    if (!dir.endsWith(u'/'))
        dir += u'/';
    return dir;
}

} // namespace

QString ProgramDir(const QString& homeOverride)
{
    return ChooseProgramDir(homeOverride, QCoreApplication::applicationDirPath(), UserDataDir());
}

QString ChooseProgramDir(const QString& homeOverride, const QString& programFolder,
                         const QString& userFolder)
{
    if (!homeOverride.isEmpty())
        return WithSeparator(QDir(homeOverride).absolutePath());
    if (!IsSystemProgramFolder(programFolder) && FolderWritable(programFolder))
        return WithSeparator(programFolder);
    return WithSeparator(userFolder);
}

QString UserDataDir()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/OrvekData");
}

bool FolderWritable(const QString& dir)
{
    // A probe file tells what permission bits cannot: a read-only mount, a full disk, an
    // administrator's rights.
    QTemporaryFile probe(WithSeparator(dir) + QStringLiteral("orvekdata-probe-XXXXXX"));
    return probe.open() && probe.write("0", 1) == 1 && probe.flush();
}

bool PrepareProgramDir(const QString& dir, QString& message)
{
    const QString programFolder =
        QCoreApplication::instance() ? QCoreApplication::applicationDirPath() : QString();
    return PrepareProgramDir(dir, programFolder, UserDataDir(), message);
}

bool PrepareProgramDir(const QString& dir, const QString& programFolder, const QString& userFolder,
                       QString& message)
{
    if (!QDir().mkpath(dir) || !FolderWritable(dir)) {
        message = QStringLiteral("Нет доступа на запись в папку данных программы ") +
                  QDir::toNativeSeparators(dir) +
                  QStringLiteral(": проверьте права на папку и место на диске");
        return false;
    }
    const QString clean = QDir::cleanPath(dir);
    if (!programFolder.isEmpty() && clean == QDir::cleanPath(userFolder) &&
        clean != QDir::cleanPath(programFolder))
        AdoptProgramIni(programFolder, clean);
    return true;
}

bool InstallQtTranslations()
{
    static QTranslator translator;
    if (!translator.isEmpty())
        return true;
    if (!translator.load(QLocale(QLocale::Russian, QLocale::Russia), QStringLiteral("qtbase"),
                         QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        return false;
    return QCoreApplication::installTranslator(&translator);
}

QString VersionText()
{
    return QStringLiteral("Версия: %1.%2.%3.%4")
        .arg(ORVEK_VERSION_MAJOR)
        .arg(ORVEK_VERSION_MINOR)
        .arg(ORVEK_VERSION_PATCH)
        .arg(ORVEK_VERSION_TWEAK);
}

namespace {

bool IsBluetoothModem(const SerialPortEntry& port)
{
    // Windows names such ports' drivers BthModem; here they are rfcomm devices.
    return port.systemLocation.contains(QStringLiteral("BthModem")) ||
           port.description.contains(QStringLiteral("Bluetooth"), Qt::CaseInsensitive) ||
           port.portName.startsWith(QStringLiteral("rfcomm"));
}

} // namespace

QStringList SerialPortNames(const QList<SerialPortEntry>& ports)
{
    QStringList names;
    for (const SerialPortEntry& port : ports) {
        if (!IsBluetoothModem(port))
            names.append(port.portName);
    }
    return names;
}

void ListComPorts(QStringList& list)
{
    QList<SerialPortEntry> ports;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts())
        ports.append({info.portName(), info.description(), info.systemLocation()});
    list = SerialPortNames(ports) + StableSerialNames();
}

QString StableSerialFolder()
{
#if defined(Q_OS_LINUX)
    return QStringLiteral("/dev/serial/by-id");
#else
    return QString();
#endif
}

QStringList StableSerialNames(const QString& folder)
{
    if (folder.isEmpty())
        return {};
    // The entries are links to the devices; a link whose device is gone is left out.
    QStringList names;
    const QDir dir(folder);
    for (const QString& name :
         dir.entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot, QDir::Name)) {
        if (QFileInfo::exists(dir.filePath(name)))
            names.append(name);
    }
    return names;
}

QString SerialPortPath(const QString& name, const QString& folder)
{
    if (folder.isEmpty() || name.isEmpty() || name.contains(u'/') || name.startsWith(u'.'))
        return name;
    const QString path = folder + u'/' + name;
    return QFileInfo::exists(path) ? path : name;
}

QString PortPermissionAdvice(const QString& devicePath)
{
#if defined(Q_OS_UNIX)
    struct stat info
    {};
    if (::stat(QFile::encodeName(devicePath).constData(), &info) != 0)
        return QString();
    const group* owner = ::getgrgid(info.st_gid);
    if (!owner)
        return QString();
    const QString name = QString::fromLocal8Bit(owner->gr_name);
    return QStringLiteral("Нет прав на порт ") + devicePath +
           QStringLiteral(": он доступен группе ") + name +
           QStringLiteral(". Добавьте себя в нее командой \"sudo usermod -aG ") + name +
           QStringLiteral(" $USER\" и войдите в систему заново");
#else
    Q_UNUSED(devicePath);
    return QString();
#endif
}

bool DeviceAccessible(const QString& devicePath)
{
#if defined(Q_OS_UNIX)
    return ::access(QFile::encodeName(devicePath).constData(), R_OK | W_OK) == 0;
#else
    Q_UNUSED(devicePath);
    return true;
#endif
}

bool TextToFloat(const QString& text, double& value)
{
    const QChar mark = DecimalMark();
    QString t = text;
    if (const qsizetype dot = t.indexOf(u'.'); dot >= 0)
        t[dot] = mark;
    if (const qsizetype comma = t.indexOf(u','); comma >= 0)
        t[comma] = mark;

    QLocale locale;
    // A group separator would let "1,234" pass as a thousand.
    locale.setNumberOptions(QLocale::RejectGroupSeparator);
    bool ok = false;
    const double number = locale.toDouble(t, &ok);
    if (!ok || !std::isfinite(number))
        return false;
    value = number;
    return true;
}
