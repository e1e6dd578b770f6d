#pragma once

#include <functional>
#include <string>

namespace platform {

enum class MessageIcon { None, Error, Information, Warning, Question };
enum class MessageButtons { Ok, YesNo };
enum class MessageAnswer { Ok, Yes, No };

// One function shows every message box of the program. The window installs a
// handler that shows a real box; without one (or on a headless update
// station) the text goes to the console and the box's default answer is
// returned, so a batch job never waits for a click nobody can make.
MessageAnswer ShowMessageBox(const std::string& caption, const std::string& text, MessageIcon icon,
    MessageButtons buttons = MessageButtons::Ok);

using MessageBoxHandler = std::function<MessageAnswer(
    const std::string& caption, const std::string& text, MessageIcon icon, MessageButtons buttons)>;

// Installs the handler used by ShowMessageBox (an empty handler restores the
// console fallback). Returns the previous handler.
MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler);

// The console fallback: writes "\n" + caption + ": " + text + "\n" to standard
// output and returns the default answer (Ok, or Yes for a Yes/No question).
MessageAnswer ConsoleMessageBox(
    const std::string& caption, const std::string& text, MessageIcon icon, MessageButtons buttons);

} // namespace platform
