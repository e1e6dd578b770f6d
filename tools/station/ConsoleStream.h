#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace station {

// Reads a console job's output as it arrives: the step announcements
// ("\nExtracting embedded files......Done."), the progress records
// ("\rDownloading Application code...40% complete") and the other texts
// (final texts, messages). Records may arrive cut anywhere; a step or
// progress record that is still open at the end of the bytes so far counts
// already, so a step shows as soon as it starts.
class ConsoleStream {
public:
    struct Event {
        enum class Kind { Step, Progress, Text };
        Kind kind;
        std::string text; // the step (Step, Progress) or the text
        int percent = -1; // Progress only
    };

    std::vector<Event> Feed(std::string_view bytes);
    // End of the stream: what is left counts as a whole record.
    std::vector<Event> Finish();

    const std::string& Step() const { return m_Step; }
    int Percent() const { return m_Percent; }

private:
    void Segment(std::string_view segment, bool complete, std::vector<Event>& events);
    void SetStep(const std::string& step, std::vector<Event>& events);

    std::string m_Pending;
    std::string m_Step;
    int m_Percent = -1;
};

// The radio identifier a console text names (the backup's file name
// "Codeplug_<16 hex digits>_..."), or empty.
std::string IdentifierInText(std::string_view text);

} // namespace station
