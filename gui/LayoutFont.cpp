#include "LayoutFont.h"

#include <QFile>
#include <QFontDatabase>
#include <QString>

void EnsureLayoutFont()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    if (QFontDatabase::hasFamily(QStringLiteral("Tahoma")))
        return;
    // Where the Debian package fonts-wine puts its Tahoma-compatible faces.
    for (const char* path :
         {"/usr/share/wine/fonts/tahoma.ttf", "/usr/share/wine/fonts/tahomabd.ttf"}) {
        if (QFile::exists(QString::fromLatin1(path)))
            QFontDatabase::addApplicationFont(QString::fromLatin1(path));
    }
}
