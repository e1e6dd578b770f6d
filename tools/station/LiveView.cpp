#include "tools/station/View.h"

#include "platform/ComNamespace.h"

#include <curses.h>
#include <unistd.h>

#include <cstdio>

namespace station {

namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(250);
constexpr int kBarWidth = 12;

std::string Fit(const std::string& text, size_t width)
{
    if (text.size() <= width) {
        return text + std::string(width - text.size(), ' ');
    }
    if (width == 0) {
        return {};
    }
    return text.substr(0, width - 1) + "~";
}

// The live table: one row per port, redrawn in place at most four times a
// second, on the terminal of standard output.
class LiveView final : public View {
public:
    LiveView(SCREEN* screen, std::string title)
        : m_Screen(screen)
        , m_Title(std::move(title))
        , m_Start(Clock::now())
    {
        cbreak();
        noecho();
        nodelay(stdscr, TRUE);
        keypad(stdscr, TRUE);
        curs_set(0);
        if (has_colors()) {
            start_color();
            use_default_colors();
            init_pair(1, COLOR_GREEN, -1);
            init_pair(2, COLOR_RED, -1);
            init_pair(3, COLOR_YELLOW, -1);
        }
    }
    ~LiveView() override { Close(); }

    void Started(const Row&) override { m_Dirty = true; }
    void Event(const Row&, const ConsoleStream::Event&) override { m_Dirty = true; }
    void Ended(const Row&) override { m_Dirty = true; }

    void Notice(const std::string& text) override
    {
        if (text != m_Notice) {
            m_Notice = text;
            m_Dirty = true;
        }
    }

    void Refresh(const std::vector<Row>& rows, bool force) override
    {
        if (m_Screen == nullptr) {
            return;
        }
        const Clock::time_point now = Clock::now();
        // The clocks move every second even when no job says anything.
        if (now - m_LastDraw >= std::chrono::seconds(1)) {
            m_Dirty = true;
        }
        if (!m_Dirty || (!force && now - m_LastDraw < kRedrawInterval)) {
            return;
        }
        Draw(rows, now);
        m_LastDraw = now;
        m_Dirty = false;
    }

    int InputFd() const override { return STDIN_FILENO; }

    int ReadKey() override
    {
        int result = 0;
        for (int key = getch(); key != ERR; key = getch()) {
            if (key == '\n' || key == '\r' || key == KEY_ENTER) {
                result = 1;
            } else if (key == 'q' || key == 'Q') {
                return -1;
            }
        }
        return result;
    }

    void Close() override
    {
        if (m_Screen != nullptr) {
            endwin();
            delscreen(m_Screen);
            m_Screen = nullptr;
        }
    }

private:
    void Draw(const std::vector<Row>& rows, Clock::time_point now)
    {
        erase();
        const int width = COLS;
        const double total = std::chrono::duration<double>(now - m_Start).count();
        attron(A_BOLD);
        mvaddnstr(0, 0, Fit(m_Title + "   " + Duration(total), static_cast<size_t>(width)).c_str(),
            width);
        attroff(A_BOLD);

        char line[1024];
        std::snprintf(line, sizeof line, "%-6s %-17s %-16s %-34s %-18s %7s %6s  %s", "Port",
            "Adapter", "Radio", "Step", "Progress", "Elapsed", "Left", "Result");
        attron(A_UNDERLINE);
        mvaddnstr(2, 0, Fit(line, static_cast<size_t>(width)).c_str(), width);
        attroff(A_UNDERLINE);

        int y = 3;
        for (const Row& row : rows) {
            if (y >= LINES - 2) {
                break;
            }
            DrawRow(row, y++, now, width);
        }
        if (!m_Notice.empty()) {
            attron(A_BOLD);
            mvaddnstr(y + 1, 0, m_Notice.c_str(), width);
            attroff(A_BOLD);
        } else {
            mvaddnstr(y + 1, 0, "Ctrl-C stops every job.", width);
        }
        refresh();
    }

    void DrawRow(const Row& row, int y, Clock::time_point now, int width)
    {
        const bool running = row.pid > 0;
        const Clock::time_point end = running ? now : row.end;
        const double elapsed
            = row.runs > 0 ? std::chrono::duration<double>(end - row.start).count() : 0;

        std::string progress;
        std::string left;
        if (running && row.percent >= 0) {
            const int filled = row.percent * kBarWidth / 100;
            progress = "[" + std::string(static_cast<size_t>(filled), '#')
                + std::string(static_cast<size_t>(kBarWidth - filled), '.') + "] "
                + std::to_string(row.percent) + "%";
            // The rest of the step at the rate so far.
            const double inStep = std::chrono::duration<double>(now - row.stepStart).count();
            if (row.percent > 0 && row.percent < 100) {
                left = Duration(inStep * (100 - row.percent) / row.percent);
            }
        }
        std::string step = running ? row.step : row.lastText;
        std::string result;
        int colour = 0;
        if (!running && !row.outcome.empty()) {
            result = row.outcome;
            if (row.outcome == "updated") {
                colour = 1;
            } else if (row.outcome == "boot-upgraded") {
                colour = 3;
                result += ": put the radio back into bootload mode";
            } else {
                colour = 2;
            }
        } else if (running && row.runs > 1) {
            result = "run " + std::to_string(row.runs);
        }

        char line[2048];
        std::snprintf(line, sizeof line, "%-6s %-17s %-16s %-34s %-18s %7s %6s  ",
            platform::ComPortName(row.port).c_str(),
            Fit(row.adapter.empty() ? "-" : row.adapter, 17).c_str(),
            Fit(row.identifier.empty() ? "-" : row.identifier, 16).c_str(), Fit(step, 34).c_str(),
            progress.c_str(), Duration(elapsed).c_str(), left.c_str());
        mvaddnstr(y, 0, line, width);
        const int x = static_cast<int>(std::string(line).size());
        if (x < width && !result.empty()) {
            if (colour != 0 && has_colors()) {
                attron(COLOR_PAIR(colour));
            }
            mvaddnstr(y, x, result.c_str(), width - x);
            if (colour != 0 && has_colors()) {
                attroff(COLOR_PAIR(colour));
            }
        }
    }

    SCREEN* m_Screen;
    std::string m_Title;
    std::string m_Notice;
    Clock::time_point m_Start;
    Clock::time_point m_LastDraw {};
    bool m_Dirty = true;
};

} // namespace

std::unique_ptr<View> MakeLiveView(const std::string& title)
{
    const char* term = std::getenv("TERM");
    if (term == nullptr || *term == '\0' || std::string(term) == "dumb") {
        return nullptr;
    }
    SCREEN* screen = newterm(nullptr, stdout, stdin);
    if (screen == nullptr) {
        return nullptr;
    }
    set_term(screen);
    return std::make_unique<LiveView>(screen, title);
}

} // namespace station
