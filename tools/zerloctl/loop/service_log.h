// The fan loop service's log file. A persistent failure (a device that
// will not open, a sensor that keeps failing) repeats one line per fan per
// poll for as long as it lasts, with no one reading it: identical lines are
// folded into one count, and the file is capped with a single rotation.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace zerloctl {

class ServiceLog {
  public:
    static constexpr uint64_t kDefaultMaxBytes = 1 << 20;
    static constexpr unsigned kDefaultMaxFold = 1000;

    // Appends to `path`; when a line would take it past `maxBytes` it
    // becomes `path`.1 (replacing the one before) and a new file begins.
    // `maxFold` repeats are written as one count even while they go on, so
    // that a long failure still shows in the log before the service stops.
    explicit ServiceLog(std::string path, uint64_t maxBytes = kDefaultMaxBytes, unsigned maxFold = kDefaultMaxFold);
    ~ServiceLog();
    ServiceLog(const ServiceLog&) = delete;
    ServiceLog& operator=(const ServiceLog&) = delete;

    // One line: its time stamp, then the text. A text equal to the last one
    // written is only counted; the count is written, as
    // "STAMP again N time(s): TEXT" with the last repeat's stamp, before the
    // next different line, at `maxFold` repeats, and at flush().
    void write(const std::string& stamp, const std::string& text);
    void flush();

  private:
    void append(const std::string& line);
    void open(const char* mode);

    std::string path_;
    uint64_t maxBytes_;
    unsigned maxFold_;
    std::FILE* file_ = nullptr;
    uint64_t size_ = 0;
    std::optional<std::string> last_; // empty: nothing written yet
    std::string lastStamp_;
    unsigned repeats_ = 0;
};

// The last line of a log file, as the service wrote it ("" when there is none).
std::string LastLogLine(const std::string& path);

} // namespace zerloctl
