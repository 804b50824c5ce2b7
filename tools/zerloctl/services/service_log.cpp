#include "services/service_log.h"

#include "loop/fan_loop.h"

#include <algorithm>
#include <fstream>
#include <utility>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace zerloctl {

namespace {

// Notepad, where an XP user reads the log, shows a bare line feed as nothing.
#if defined(_WIN32)
const char kLineEnd[] = "\r\n";
#else
const char kLineEnd[] = "\n";
#endif

// Replaces `to` in one step, or changes nothing. (msvcrt's rename does not
// replace a file that exists, and removing it first would lose it when
// the move then fails.)
bool MoveReplacing(const std::string& from, const std::string& to)
{
#if defined(_WIN32)
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
#else
    return std::rename(from.c_str(), to.c_str()) == 0;
#endif
}

} // namespace

ServiceLog::ServiceLog(std::string path, uint64_t maxBytes, unsigned maxFold)
    : path_(std::move(path)), maxBytes_(maxBytes), maxFold_(maxFold)
{
    open();
}

ServiceLog::~ServiceLog()
{
    flush();
    if (file_) std::fclose(file_);
}

// Always to append: whatever the file holds stays until it is moved away.
void ServiceLog::open()
{
    if (file_) std::fclose(file_);
    file_ = std::fopen(path_.c_str(), "ab");
    size_ = 0;
    if (file_ && std::fseek(file_, 0, SEEK_END) == 0) {
        const long end = std::ftell(file_);
        size_ = end > 0 ? static_cast<uint64_t>(end) : 0;
    }
}

void ServiceLog::write(const std::string& stamp, const std::string& text, bool beginsEpisode)
{
    const auto known =
        std::find_if(episode_.begin(), episode_.end(), [&](const Recurring& line) { return line.text == text; });
    if (!beginsEpisode && known != episode_.end()) {
        known->lastStamp = stamp;
        ++known->repeats;
        recurred_ = true;
        if (++repeats_ >= maxFold_) flush();
        return;
    }
    if (beginsEpisode || recurred_ || episode_.size() >= kEpisodeLines || episode_.empty()) {
        flush();
        episode_.clear();
        recurred_ = false;
        first_ = stamp + " " + text;
    }
    episode_.push_back({text, stamp, 0});
    append(stamp + " " + text);
}

void ServiceLog::flush()
{
    if (repeats_ == 0) return;
    for (Recurring& line : episode_) {
        if (line.repeats == 0) continue;
        append(line.lastStamp + " again " + std::to_string(line.repeats) +
               (line.repeats == 1 ? " time: " : " times: ") + line.text);
        line.repeats = 0;
    }
    repeats_ = 0;
}

void ServiceLog::append(const std::string& line)
{
    const std::string bytes = line + kLineEnd;
    // A line longer than the cap still goes into a file of its own.
    if (size_ > 0 && size_ + bytes.size() > maxBytes_ && rotate() && recurred_ && line != first_) {
        // The new file begins with the reason for what it goes on to count.
        append(first_);
    }
    // The log must never stop the loop: a line that cannot be written is lost.
    if (!file_) return;
    std::fwrite(bytes.data(), 1, bytes.size(), file_);
    std::fflush(file_);
    size_ += bytes.size();
}

// False when the log could not be moved away: it stays, and is appended to.
bool ServiceLog::rotate()
{
    if (file_) std::fclose(file_);
    file_ = nullptr;
    const bool moved = MoveReplacing(path_, path_ + ".1");
    open();
    return moved && size_ == 0;
}

void WriteLoopEvent(ServiceLog& log, const LoopEvent& event)
{
    const std::string line = FormatLoopEvent(event);
    const bool stamped = line.compare(0, event.time.size() + 1, event.time + " ") == 0;
    const bool begins = event.kind == LoopEvent::kFailSafe || event.kind == LoopEvent::kCritical ||
                        event.kind == LoopEvent::kRecovered || event.kind == LoopEvent::kStopping;
    log.write(event.time, stamped ? line.substr(event.time.size() + 1) : line, begins);
}

std::string LastLogLine(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::string line, last;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) last = line;
    }
    return last;
}

} // namespace zerloctl
