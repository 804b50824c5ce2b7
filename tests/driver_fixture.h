// A loaded driver on a simulated machine, with one handle open for reading
// and writing: the starting point of most tests.
#pragma once

#include "frame/zerlo_ioctl.h"
#include "session/driver_session.h"

#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

// An internal function or variable of the loaded driver, typed by the
// driver's own declaration, so a changed signature fails to compile.
#define ZERLO_SYMBOL(driver, name) (driver).symbol<decltype(::name)>(#name)

namespace ztest {

inline std::vector<uint8_t> Words(uint16_t word0, uint16_t word1 = 0)
{
    return {static_cast<uint8_t>(word0), static_cast<uint8_t>(word0 >> 8), static_cast<uint8_t>(word1),
            static_cast<uint8_t>(word1 >> 8)};
}

// An input that every request of the contract's table accepts: fan 1 and
// state, level or sensor 1 where the request takes arguments, none where it
// takes none.
inline std::vector<uint8_t> AcceptedInput(const ZerloRequestInfo& request)
{
    if (request.arguments == ZERLO_ARGS_NONE) return {};
    return Words(1, 1);
}

inline uint32_t Long(const std::vector<uint8_t>& bytes, size_t at = 0)
{
    return uint32_t{bytes.at(at)} | uint32_t{bytes.at(at + 1)} << 8 | uint32_t{bytes.at(at + 2)} << 16 |
           uint32_t{bytes.at(at + 3)} << 24;
}

// The text of a reply, up to its first NUL; fails the test when there is
// none, or when any byte after it is not zero (stale pool memory).
inline std::string Text(const std::vector<uint8_t>& bytes)
{
    const auto end = std::find(bytes.begin(), bytes.end(), uint8_t{0});
    EXPECT_NE(end, bytes.end()) << "text reply without terminator";
    EXPECT_EQ(std::count(end, bytes.end(), uint8_t{0}), bytes.end() - end) << "reply bytes after the text's NUL";
    return std::string(bytes.begin(), end);
}

// Report lines as the driver ends them.
inline std::string Lines(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines)
        text += line + "\r\n";
    return text;
}

class Driver : public zhost::DriverSession {
  public:
    explicit Driver(const nlohmann::json& profile = zhost::DefaultNotebookProfile()) : DriverSession(profile) {}

    void startAndOpen(uint32_t access = zhost::kAccessRead | zhost::kAccessWrite)
    {
        ASSERT_EQ(start(), STATUS_SUCCESS);
        ASSERT_EQ(open(access), STATUS_SUCCESS);
    }

    zhost::IoctlOutcome ioctl(uint32_t code, const std::vector<uint8_t>& input, uint32_t outputLength)
    {
        return kernel->ioctl(handle, code, input, outputLength);
    }

    // The 32-bit reply of a successful value request.
    uint32_t value(uint32_t code, uint16_t word0 = 0, uint16_t word1 = 0)
    {
        const auto outcome = ioctl(code, Words(word0, word1), 4);
        EXPECT_EQ(outcome.status, STATUS_SUCCESS);
        EXPECT_EQ(outcome.information, 4u);
        return outcome.reply.size() == 4 ? Long(outcome.reply) : 0xBADBAD;
    }

    std::string text(uint32_t code, uint32_t size)
    {
        const auto outcome = ioctl(code, {}, size);
        EXPECT_EQ(outcome.status, STATUS_SUCCESS);
        EXPECT_EQ(outcome.information, size);
        return Text(outcome.reply);
    }

    template <class F> F* symbol(const char* name)
    {
        // zerlo.sys keeps its internals in emulated memory: a test that
        // needs them belongs in tests/internals, which runs on the host
        // build only.
        if (kernel->emulated()) {
            std::fprintf(stderr, "%s is an internal of the driver; this test runs on the host build only\n", name);
            std::abort();
        }
        auto* found = reinterpret_cast<F*>(kernel->probe().symbol(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
};

} // namespace ztest
