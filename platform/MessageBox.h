#pragma once

#include <string>

namespace platform {

enum class MessageIcon { None, Error, Information, Warning, Question };
enum class MessageButtons { Ok, YesNo };
enum class MessageAnswer { Ok, Yes, No };

// Whoever shows the program's message boxes: the window shows real boxes, a
// headless console job writes them to the console, tests record them. Each
// run is handed the one it uses; nothing is installed process-wide.
class IMessageBoxes {
public:
    virtual ~IMessageBoxes() = default;
    virtual MessageAnswer ShowMessage(const std::string& caption, const std::string& text,
        MessageIcon icon, MessageButtons buttons = MessageButtons::Ok)
        = 0;
    // A box whose fixed text comes with a detail: the system's reason behind
    // it. The window shows the detail below the text; elsewhere it follows
    // the text on a line of its own.
    virtual MessageAnswer ShowMessageWithDetail(const std::string& caption, const std::string& text,
        const std::string& detail, MessageIcon icon)
    {
        return ShowMessage(caption, detail.empty() ? text : text + "\n" + detail, icon);
    }
};

// The console form of a message box: writes "\n" + caption + ": " + text +
// "\n" to standard output and returns the default answer (Ok, or Yes for a
// Yes/No question), so that a batch job never waits for a click nobody can
// make.
MessageAnswer ConsoleMessageBox(
    const std::string& caption, const std::string& text, MessageIcon icon, MessageButtons buttons);

class ConsoleMessageBoxes : public IMessageBoxes {
public:
    MessageAnswer ShowMessage(const std::string& caption, const std::string& text, MessageIcon icon,
        MessageButtons buttons = MessageButtons::Ok) override
    {
        return ConsoleMessageBox(caption, text, icon, buttons);
    }
};

} // namespace platform
