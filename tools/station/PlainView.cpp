#include "tools/station/View.h"

#include "platform/ComNamespace.h"
#include "workflow/History.h"

#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <map>

namespace station {

namespace {

class PlainView final : public View {
public:
    explicit PlainView(bool interactive)
        : m_Interactive(interactive)
    {
    }

    void Started(const Row& row) override
    {
        m_Decile[row.port] = 0;
        Line(row,
            std::string("Started") + (row.runs > 1 ? " again" : "") + " in " + row.dir.string());
    }

    void Event(const Row& row, const ConsoleStream::Event& event) override
    {
        switch (event.kind) {
        case ConsoleStream::Event::Kind::Step:
            m_Decile[row.port] = 0;
            Line(row, event.text);
            break;
        case ConsoleStream::Event::Kind::Progress: {
            // A station log keeps to the 10% marks of each step.
            const int decile = event.percent / 10;
            if (decile > m_Decile[row.port]) {
                m_Decile[row.port] = decile;
                Line(row, event.text + " " + std::to_string(decile * 10) + "%");
            }
            break;
        }
        case ConsoleStream::Event::Kind::Text:
            if (event.text != "Done.") {
                Line(row, event.text);
            }
            break;
        }
    }

    void Ended(const Row& row) override
    {
        std::string text = "Finished: " + row.outcome;
        if (row.returnCode >= 0) {
            text += " (return code " + std::to_string(row.returnCode) + ")";
        } else if (row.signal != 0) {
            text += " (ended by signal " + std::to_string(row.signal) + ")";
        }
        const double seconds = std::chrono::duration<double>(row.end - row.start).count();
        text += " after " + Duration(seconds);
        if (row.outcome == "boot-upgraded") {
            text += "; put the radio back into bootload mode and run it again";
        }
        Line(row, text);
    }

    void Notice(const std::string& text) override
    {
        if (!text.empty() && text != m_Notice) {
            std::printf("%s %s\n", history::IsoUtc(std::time(nullptr)).c_str(), text.c_str());
            std::fflush(stdout);
        }
        m_Notice = text;
    }

    void Refresh(const std::vector<Row>&, bool) override { }
    int InputFd() const override { return m_Interactive ? STDIN_FILENO : -1; }

    int ReadKey() override
    {
        char buffer[256];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            return -1;
        }
        for (ssize_t i = 0; i < n; ++i) {
            if (buffer[i] == 'q' || buffer[i] == 'Q') {
                return -1;
            }
            if (buffer[i] == '\n' || buffer[i] == '\r') {
                return 1;
            }
        }
        return 0;
    }

    void Close() override { std::fflush(stdout); }

private:
    void Line(const Row& row, const std::string& text)
    {
        std::printf("%s %s %s\n", history::IsoUtc(std::time(nullptr)).c_str(),
            platform::ComPortName(row.port).c_str(), text.c_str());
        std::fflush(stdout);
    }

    bool m_Interactive;
    std::string m_Notice;
    std::map<int, int> m_Decile;
};

} // namespace

std::unique_ptr<View> MakePlainView(bool interactive)
{
    return std::make_unique<PlainView>(interactive);
}

} // namespace station
