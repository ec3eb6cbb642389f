#pragma once

class ReadoutSession;

// Ctrl+C, and SIGTERM and SIGHUP as well (a service manager's stop, a closed terminal),
// are the command line's Abort: the first asks the running session to stop at its next
// safe point and ends any wait on the line at once; the second ends the program at once.
// A file-size limit is not a signal that kills but a write error the read-out reports.
void InstallInterrupts();
// Only counts the interrupts, for a command that stops its own work (batch).
void InstallCountingInterrupts();

// The session the first interrupt aborts; nothing while none runs.
void SetInterruptTarget(ReadoutSession* session);
bool InterruptRequested();
int InterruptCount();
