// The fan loop service's log file. A persistent failure (a device that
// will not open, a sensor that keeps failing, two fans that cannot be set)
// repeats its lines at every poll for as long as it lasts, with no one
// reading them. The log folds them by episode: the lines that recur are
// counted, whatever order they come in, and the line that began the
// episode (its reason) is kept in front of them, in whichever file. The
// file is capped with a single rotation.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace zerloctl {

struct LoopEvent;

class ServiceLog {
  public:
    static constexpr uint64_t kDefaultMaxBytes = 1 << 20;
    static constexpr unsigned kDefaultMaxFold = 1000;
    // The most lines an episode recognises as its own: a poll of a failing
    // loop writes one per controlled fan, and a few more when it begins.
    static constexpr size_t kEpisodeLines = 8;

    // Appends to `path`; when a line would take it past `maxBytes` it
    // becomes `path`.1 (replacing the one before) and a new file begins.
    // Should that move fail (another program holds the file), the log goes
    // on in the same file, past the cap, and tries again at the next line:
    // neither file is given up before the old log is safe. `maxFold`
    // repeats are written as counts even while they go on, so that a long
    // failure still shows in the log before the service stops.
    explicit ServiceLog(std::string path, uint64_t maxBytes = kDefaultMaxBytes, unsigned maxFold = kDefaultMaxFold);
    ~ServiceLog();
    ServiceLog(const ServiceLog&) = delete;
    ServiceLog& operator=(const ServiceLog&) = delete;

    // One line: its time stamp, then the text. An episode is the lines
    // written since it began: a line whose text is one of them is only
    // counted. An episode ends at a line of new text once something was
    // counted (what recurred has stopped), at `beginsEpisode` (the loop
    // failing safe, recovering or stopping), and when it holds
    // kEpisodeLines texts; that line begins the next. Each text's count is
    // written as "STAMP again N time(s): TEXT", with its last repeat's
    // stamp, in the order the texts were first written, when the episode
    // ends, at `maxFold` repeats in all, and at flush().
    void write(const std::string& stamp, const std::string& text, bool beginsEpisode = false);
    void flush();

  private:
    struct Recurring {
        std::string text, lastStamp;
        unsigned repeats = 0;
    };

    void append(const std::string& line);
    bool rotate();
    void open();

    std::string path_;
    uint64_t maxBytes_;
    unsigned maxFold_;
    std::FILE* file_ = nullptr;
    uint64_t size_ = 0;
    std::string first_; // the line that began the episode, as written
    std::vector<Recurring> episode_;
    unsigned repeats_ = 0;  // counted and not yet written, over the episode
    bool recurred_ = false; // anything counted since the episode began
};

// A loop event as the service logs it: the event's own stamp, and an
// episode begun where the loop fails safe, recovers or stops.
void WriteLoopEvent(ServiceLog& log, const LoopEvent& event);

// The last line of a log file, as the service wrote it ("" when there is none).
std::string LastLogLine(const std::string& path);

} // namespace zerloctl
