// Many callers at once: every answer must equal what the same request gets
// alone, and no index/data pair may interleave with another. Run under TSan
// as well, where a race in the driver or the host kernel fails the test.
#include "reply_compare.h"

#include <set>
#include <thread>

namespace ztest {
namespace {

struct Request {
    uint32_t code;
    std::vector<uint8_t> input;
    uint32_t outputLength;
};

// How many first words a read of the table sends: both fans, the default
// notebook's first sensors, or one request without input.
uint16_t FirstWords(ZerloArgumentUse use)
{
    switch (use) {
    case ZERLO_ARGS_FAN: return ZERLO_MAX_FAN + 1;
    case ZERLO_ARGS_SENSOR: return 6;
    default: return 1;
    }
}

// Every code of the contract's table, a few refusals and one code outside
// it. The two writes write what is already held (read alone first), so they
// change nothing that another request reads.
std::vector<Request> MixedRequests(Driver& driver)
{
    std::vector<Request> requests = {
        {IOCTL_GET_VERSION, {}, 3},
        {IOCTL_SMM_GET_FAN_SPEED, Words(1), 64},
        {IOCTL_SMM_GET_FAN_SPEED, Words(2), 4},
        {IOCTL_SMM_GET_FAN_STATE, {1, 0}, 4},
        {ZerloControlCode(0x903), {}, 4},
        {IOCTL_SIO_SET_FAN_LEVEL, Words(0, 64), 4},
    };
    for (const ZerloRequestInfo& info : ZERLO_REQUESTS) {
        const bool write = info.arguments == ZERLO_ARGS_FAN_STATE || info.arguments == ZERLO_ARGS_FAN_LEVEL;
        for (uint16_t word = 0; !write && word < FirstWords(info.arguments); ++word) {
            std::vector<uint8_t> input;
            if (info.arguments != ZERLO_ARGS_NONE) input = Words(word);
            requests.push_back({info.code, input, info.minimumOutput});
        }
    }
    EXPECT_EQ(driver.value(IOCTL_SIO_DETECT), ZERLO_TRUE);
    for (uint16_t fan = 0; fan <= ZERLO_MAX_FAN; ++fan) {
        const uint32_t state = driver.value(IOCTL_SMM_GET_FAN_STATE, fan);
        EXPECT_LE(state, ZERLO_MAX_FAN_STATE);
        requests.push_back({IOCTL_SMM_SET_FAN_STATE, Words(fan, static_cast<uint16_t>(state)), 4});
        const uint32_t level = driver.value(IOCTL_SIO_GET_FAN_LEVEL, fan);
        EXPECT_LE(level, ZERLO_MAX_SIO_LEVEL);
        requests.push_back({IOCTL_SIO_SET_FAN_LEVEL, Words(fan, static_cast<uint16_t>(level)), 4});
    }
    return requests;
}

TEST(Concurrency, EightThreadsGetTheAnswersOneThreadGets)
{
    Driver driver;
    driver.startAndOpen();
    const std::vector<Request> requests = MixedRequests(driver);
    std::vector<std::string> alone;
    for (const Request& r : requests)
        alone.push_back(Answer(r.code, driver.ioctl(r.code, r.input, r.outputLength)));
    std::set<uint32_t> codes;
    for (const Request& r : requests)
        codes.insert(r.code);
    for (const ZerloRequestInfo& info : ZERLO_REQUESTS)
        EXPECT_TRUE(codes.contains(info.code)) << info.name;
    ASSERT_EQ(codes.size(), std::size(ZERLO_REQUESTS) + 1) << "every code of the table and one outside it";

    constexpr int kThreads = 8;
    constexpr int kRounds = 120;
    std::vector<int> mismatches(kThreads, 0);
    std::vector<std::string> firstMismatch(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            zhost::Handle handle;
            if (driver.kernel->open(ZERLO_LINK_NAME, zhost::kAccessRead | zhost::kAccessWrite, &handle) !=
                STATUS_SUCCESS) {
                ++mismatches[t];
                return;
            }
            for (int round = 0; round < kRounds; ++round) {
                const size_t i = static_cast<size_t>(round * 7 + t) % requests.size();
                const Request& r = requests[i];
                const std::string got = Answer(r.code, driver.kernel->ioctl(handle, r.code, r.input, r.outputLength));
                if (got != alone[i]) {
                    if (mismatches[t]++ == 0) firstMismatch[t] = got.substr(0, 400);
                }
            }
            driver.kernel->close(handle);
        });
    }
    for (auto& thread : threads)
        thread.join();
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(mismatches[t], 0) << "thread " << t << ": " << firstMismatch[t];
    EXPECT_EQ(driver.machine->interleavedAccesses(), 0u);
}

} // namespace
} // namespace ztest
