#pragma once

#include "tools/station/Station.h"

#include <memory>
#include <string>
#include <vector>

namespace station {

// How the station shows its jobs: a live table on a terminal, one line per
// event otherwise.
class View {
public:
    virtual ~View() = default;
    virtual void Started(const Row& row) = 0;
    virtual void Event(const Row& row, const ConsoleStream::Event& event) = 0;
    virtual void Ended(const Row& row) = 0;
    // Something to tell the operator (stopping, the offer to run again); an
    // empty text takes it away.
    virtual void Notice(const std::string& text) = 0;
    // Called at least four times a second; a live view redraws when something
    // changed and a quarter second has passed (`force`: now).
    virtual void Refresh(const std::vector<Row>& rows, bool force) = 0;
    // The descriptor to watch for the operator's keys, or -1.
    virtual int InputFd() const = 0;
    // Reads what the operator typed: 1 Enter, 0 nothing to act on, -1 finish
    // (end of input, "q").
    virtual int ReadKey() = 0;
    // Leaves the terminal as it was.
    virtual void Close() = 0;
};

// One line per event on standard output:
// "2026-12-09T10:00:01Z COM3 Downloading Application code... 40%" (progress
// at each 10% only). `interactive`: standard input is a terminal, and the
// offer to run again reads a line from it.
std::unique_ptr<View> MakePlainView(bool interactive);

// The live table (ncurses) on the terminal of standard output; nullptr when
// the terminal cannot be driven.
std::unique_ptr<View> MakeLiveView(const std::string& title);

} // namespace station
