#pragma once

#include <string>

class LinkTrace;

// Saves the line's recent traffic for support after a failed update:
// "Corvel_trace_<UTC yyyymmddThhmmssZ>.log" in the working directory (or
// `directory`), created exclusively (a taken name gets "_2" ... "_99").
// Returns the file name, or an empty text when there was nothing to save or
// the file could not be written.
std::string SaveFailureTrace(const LinkTrace& trace, const std::string& directory = {});
