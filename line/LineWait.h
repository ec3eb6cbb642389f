#pragma once

#include <QDeadlineTimer>

// Waiting for the line keeps the window alive: every wait runs the event loop, so
// window handlers and socket notifications are handled nested inside it, and it
// sleeps instead of spinning. Objects must not be deleted with deleteLater() while
// a wait may be running: deferred deletions do not happen in a nested loop.

// Handles every pending event once, without waiting.
void PumpEvents();

// Runs the event loop for ms milliseconds (a precise timer ends it).
void Pause(int ms);

// A precise deadline ms milliseconds from now on the monotonic clock.
QDeadlineTimer DeadlineIn(int ms);
