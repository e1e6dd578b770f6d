#pragma once

#include "platform/NonCopyable.h"

// SIGTERM, SIGINT and SIGHUP turned into a request to stop, for a job that
// must end cleanly (delete its work files, write its trace, release its
// port) instead of dying on the spot. The signal handler only notes the
// signal and writes one byte to a pipe; the job's wait loop watches the
// pipe's read end, so a wait ends as soon as a signal arrives, and the job
// stops at that point as if the operator had pressed Stop.
//
// One object at a time per process. While it lives the three signals are
// caught; its destruction puts the previous handling back.

namespace platform {

class StopSignals : private platform::NonCopyable {
public:
    StopSignals();
    ~StopSignals();

    // False when the handlers could not be installed (another object is
    // active, or no pipe could be made): the signals then act as before.
    bool Active() const { return m_Active; }
    // Readable once a signal has arrived (until Drain).
    int Fd() const;
    // Reads the pipe empty; the number of the first signal caught since the
    // object was made, or 0 when none has arrived.
    int Drain();
    // The first signal caught (0: none); safe to ask at any time.
    int Caught() const;

private:
    bool m_Active = false;
};

// "SIGTERM", "SIGINT", "SIGHUP", or "signal" for any other.
const char* StopSignalName(int signal);

} // namespace platform
