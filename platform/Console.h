#pragma once

#include <string>

namespace platform {

// The console of a console job: the process's standard input and output.
// Title and minimise use xterm escapes, and only when standard output is a
// terminal, so a batch job's log file stays clean.
class Console {
public:
    // Fails only when standard output cannot be written; on success sets the
    // title and remembers the input and output descriptors.
    bool Open(const std::string& title);
    bool IsOpen() const { return m_Open; }
    // Writes the whole text as it is (no newline added). When standard
    // output is not a terminal, a progress record ("\r" first) that repeats
    // the text written just before is left out: a log file gets each record
    // once, a terminal gets every one.
    bool Write(const std::string& text);
    // Reads one character from standard input. End of input counts as Enter,
    // so a job started with no input never hangs here.
    bool WaitForEnter();
    // Asks the terminal to iconify its window.
    void Minimize();
    bool Close();

    int InputHandle() const { return m_Input; }
    int OutputHandle() const { return m_Output; }

private:
    bool m_Open = false;
    int m_Input = -1;
    int m_Output = -1;
    bool m_Terminal = false;
    std::string m_LastText;
};

// True when a graphical display can be reached (an X11 or Wayland display
// is named in the environment).
bool DisplayAvailable();

} // namespace platform
