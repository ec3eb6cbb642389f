#include "LineWait.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

void PumpEvents()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void Pause(int ms)
{
    if (ms <= 0) {
        PumpEvents();
        return;
    }
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

QDeadlineTimer DeadlineIn(int ms)
{
    return QDeadlineTimer(qMax(ms, 0), Qt::PreciseTimer);
}
