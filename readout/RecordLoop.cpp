#include "RecordLoop.h"

#include "LogSink.h"
#include "TextFormat.h"

// What has been written of a source so far: enough to find the place again after a
// lost read.
struct RecordLoop::Position
{
    bool written = false;
    QDateTime lastTime;
    // Logs: the texts written at lastTime, in order. Events may share a time, so a text
    // tells which of them the device has handed out already.
    QStringList textsAtLast;

    void NoteWritten(const RecordSource& source)
    {
        const QDateTime t = source.time();
        if (!written || t != lastTime)
            textsAtLast.clear();
        if (source.text)
            textsAtLast.append(source.text());
        written = true;
        lastTime = t;
    }
    // Whether the record in hand lies before the place where reading goes on. An archive
    // record is told by its time alone; log records at lastTime are matched by text.
    bool BeforeResumePoint(const RecordSource& source) const
    {
        if (!written)
            return false;
        return source.text ? source.time() < lastTime : source.time() <= lastTime;
    }
    bool Matches(const RecordSource& source, qsizetype at) const
    {
        return at < textsAtLast.size() && source.time() == lastTime &&
               source.text() == textsAtLast.at(at);
    }
    // Logs resume at the time of the last record (more events may share it); an archive
    // after it, so that the first-record read alone, which is safe to repeat, returns the
    // next record.
    QDateTime ResumeFrom(const RecordSource& source) const
    {
        if (!written)
            return source.startDate;
        if (source.text)
            return lastTime;
        return source.hourly ? lastTime.addSecs(3600)
                             : CalendarDateTime(lastTime.date().addDays(1), QTime(0, 0));
    }
};

RecordLoop::RecordLoop(LogSink& log, const std::atomic<bool>& abortRequested,
                       MovesDevice movesDevice, int rounds)
    : m_log(log), m_abort(abortRequested), m_movesDevice(std::move(movesDevice)),
      m_rounds(qMax(rounds, 1))
{}

RecordLoopEnd RecordLoop::Run(const RecordSource& source, const Writer& write)
{
    RecordLoopEnd end;
    const auto finish = [&end](RecordLoopEnd::How how, ResultCode code = Rc::Ok) {
        end.how = code == Rc::Aborted ? RecordLoopEnd::How::Aborted : how;
        end.code = code;
        return end;
    };
    Position at;
    ResultCode r = source.setStart(source.startDate);
    if (r != Rc::Ok)
        return finish(RecordLoopEnd::How::StartFailed, r);
    r = ReadRecord(source, at, true);
    if (r != Rc::Ok)
        return finish(RecordLoopEnd::How::FirstFailed, r);
    if (source.none())
        return finish(RecordLoopEnd::How::NoRecords);
    do {
        if (m_abort.load())
            return finish(RecordLoopEnd::How::Aborted);
        const int error = write(end.written + 1);
        if (error != 0) {
            end.writeError = error;
            return finish(RecordLoopEnd::How::WriteFailed);
        }
        ++end.written;
        at.NoteWritten(source);
        r = ReadRecord(source, at, false);
        if (r != Rc::Ok)
            return finish(RecordLoopEnd::How::NextFailed, r);
    } while (!source.none());
    return finish(RecordLoopEnd::How::Read);
}

bool RecordLoop::PositionLost(ResultCode code, bool first) const
{
    if (code == Rc::Ok || code == Rc::Aborted || !m_movesDevice(first))
        return false;
    // An exception or an undecodable record came whole from the device: the reply was
    // not lost. Everything else may have moved the device unseen.
    return !code.IsException() && code != Rc::LogDecodeError && code != Rc::ArchiveDecodeError &&
           code != Rc::UnknownDevice;
}

ResultCode RecordLoop::ReadRecord(const RecordSource& source, Position& at, bool first)
{
    const ResultCode r = source.read(first);
    return PositionLost(r, first) ? Reposition(source, at, r) : r;
}

ResultCode RecordLoop::Reposition(const RecordSource& source, Position& at, ResultCode lost)
{
    // The caller shows the failure as that of the read; the log tells what it ended.
    const auto notRecovered = [this](ResultCode code) {
        if (code != Rc::Aborted)
            m_log.AddLogLine(QStringLiteral("Позиция чтения не восстановлена"));
        return code;
    };
    // Each round costs the device a start date and a first read.
    for (int round = 0; round < m_rounds; ++round) {
        const QDateTime start = at.ResumeFrom(source);
        m_log.AddLogLine(QStringLiteral("Восстановление позиции чтения с ") +
                         FormatDateTimeMinutes(start));
        ResultCode r = source.setStart(start);
        if (r != Rc::Ok)
            return notRecovered(r);
        r = source.read(true);
        if (PositionLost(r, true)) {
            lost = r;
            continue;
        }
        if (r != Rc::Ok)
            return r;
        bool positionLost = false;
        r = SkipWritten(source, at, positionLost);
        if (!positionLost)
            return r;
        lost = r;
    }
    return notRecovered(lost);
}

ResultCode RecordLoop::SkipWritten(const RecordSource& source, Position& at, bool& lost)
{
    // seen: how many of the texts written at the last time the device has handed out
    // again. After a lost read the device has moved on by none or one record; the record
    // that follows tells which, as long as the one that may be missing is known.
    qsizetype seen = 0;
    bool skippedOne = false;
    ResultCode lostCode = Rc::Ok;
    const qsizetype known = at.textsAtLast.size();
    const auto positionLost = [&]() {
        lost = true;
        return lostCode;
    };
    for (;;) {
        // The loop sees the abort before it writes anything of this record.
        if (m_abort.load())
            return Rc::Ok;
        if (source.none()) {
            // A record lost on the way was the last one written, or a new one.
            return skippedOne && seen + 1 != known ? positionLost() : Rc::Ok;
        }
        if (at.BeforeResumePoint(source)) {
            skippedOne = false; // whatever was skipped lay before this record: written
        } else if (at.Matches(source, seen)) {
            // After a lost read this may also be a new record just like the last one.
            if (skippedOne && (seen + 1 == known || at.Matches(source, seen + 1)))
                return positionLost();
            ++seen;
            skippedOne = false;
        } else if (skippedOne && at.Matches(source, seen + 1)) {
            seen += 2;
            skippedOne = false;
        } else {
            // A new record. After a lost read it is the next one only when what the lost
            // read returned was the last record written.
            return skippedOne && seen + 1 != known ? positionLost() : Rc::Ok;
        }
        for (;;) {
            const ResultCode r = source.read(false);
            if (!PositionLost(r, false)) {
                if (r != Rc::Ok)
                    return r;
                break;
            }
            lostCode = r;
            if (skippedOne)
                return positionLost(); // two in a row: the position is anybody's guess
            skippedOne = true;
        }
    }
}
