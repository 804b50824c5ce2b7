// Many callers at once: every answer must equal what the same request gets
// alone. Run under TSan as well, where a race in the driver or the host
// kernel fails the test.
#include "driver_fixture.h"

#include <thread>

namespace ztest {
namespace {

struct Request {
    uint32_t code;
    std::vector<uint8_t> input;
    uint32_t outputLength;
};

std::vector<Request> MixedRequests()
{
    std::vector<Request> requests = {
        {IOCTL_GET_VERSION, {}, 8},
        {IOCTL_GET_VERSION, {}, 3},
        {IOCTL_SMM_GET_FAN_STATE, Words(0), 4},
        {IOCTL_SMM_GET_FAN_STATE, Words(1), 4},
        {IOCTL_SMM_GET_FAN_SPEED, Words(0), 4},
        {IOCTL_SMM_GET_FAN_SPEED, Words(1), 64},
        {IOCTL_SMM_GET_FAN_SPEED, Words(2), 4},
        {IOCTL_SMM_GET_FAN_STATE, {1, 0}, 4},
        {ZerloControlCode(0x903), {}, 4},
    };
    for (uint16_t sensor = 0; sensor < 6; ++sensor) requests.push_back({IOCTL_SMM_GET_TEMPERATURE, Words(sensor), 4});
    return requests;
}

TEST(Concurrency, EightThreadsGetTheAnswersOneThreadGets)
{
    Driver driver;
    driver.startAndOpen();
    const std::vector<Request> requests = MixedRequests();
    std::vector<zhost::IoctlOutcome> alone;
    for (const Request& r : requests) alone.push_back(driver.ioctl(r.code, r.input, r.outputLength));

    constexpr int kThreads = 8;
    constexpr int kRounds = 300;
    std::vector<int> mismatches(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            zhost::Handle handle;
            if (driver.kernel->open(L"\\DosDevices\\ZerloDev", zhost::kAccessRead | zhost::kAccessWrite, &handle) !=
                STATUS_SUCCESS) {
                ++mismatches[t];
                return;
            }
            for (int round = 0; round < kRounds; ++round) {
                const size_t i = static_cast<size_t>(round * 7 + t) % requests.size();
                const auto got = driver.kernel->ioctl(handle, requests[i].code, requests[i].input,
                                                      requests[i].outputLength);
                if (got.status != alone[i].status || got.information != alone[i].information ||
                    got.reply != alone[i].reply) {
                    ++mismatches[t];
                }
            }
            driver.kernel->close(handle);
        });
    }
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
}

} // namespace
} // namespace ztest
