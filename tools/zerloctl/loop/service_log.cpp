#include "loop/service_log.h"

#include <fstream>
#include <utility>

namespace zerloctl {

namespace {

// Notepad, where an XP user reads the log, shows a bare line feed as nothing.
#if defined(_WIN32)
const char kLineEnd[] = "\r\n";
#else
const char kLineEnd[] = "\n";
#endif

} // namespace

ServiceLog::ServiceLog(std::string path, uint64_t maxBytes, unsigned maxFold)
    : path_(std::move(path)), maxBytes_(maxBytes), maxFold_(maxFold)
{
    open("ab");
    if (file_ && std::fseek(file_, 0, SEEK_END) == 0) {
        const long end = std::ftell(file_);
        size_ = end > 0 ? static_cast<uint64_t>(end) : 0;
    }
}

ServiceLog::~ServiceLog()
{
    flush();
    if (file_) std::fclose(file_);
}

void ServiceLog::open(const char* mode)
{
    if (file_) std::fclose(file_);
    file_ = std::fopen(path_.c_str(), mode);
}

void ServiceLog::write(const std::string& stamp, const std::string& text)
{
    if (text == last_) {
        lastStamp_ = stamp;
        if (++repeats_ >= maxFold_) flush();
        return;
    }
    flush();
    append(stamp + " " + text);
    last_ = text;
}

void ServiceLog::flush()
{
    if (repeats_ == 0) return;
    append(lastStamp_ + " again " + std::to_string(repeats_) + (repeats_ == 1 ? " time: " : " times: ") + *last_);
    repeats_ = 0;
}

void ServiceLog::append(const std::string& line)
{
    const std::string bytes = line + kLineEnd;
    // A line longer than the cap still goes into a file of its own.
    if (size_ > 0 && size_ + bytes.size() > maxBytes_) {
        if (file_) std::fclose(file_);
        file_ = nullptr;
        const std::string older = path_ + ".1";
        std::remove(older.c_str()); // Windows' rename does not replace
        std::rename(path_.c_str(), older.c_str());
        open("wb");
        size_ = 0;
    }
    // The log must never stop the loop: a line that cannot be written is lost.
    if (!file_) return;
    std::fwrite(bytes.data(), 1, bytes.size(), file_);
    std::fflush(file_);
    size_ += bytes.size();
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
