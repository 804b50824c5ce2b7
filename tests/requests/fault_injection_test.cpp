// Every kernel service the driver calls fails in turn: each MmMapIoSpace by
// its number over start, one request of every kind and unload, and the
// device, link and unlink calls. Whatever fails, nothing crashes, nothing
// stays mapped after unload, the failure shows as a failure value or an
// error line, and once the fault is gone the same request answers as on a
// clean run.
#include "reply_compare.h"

namespace ztest {
namespace {

struct Step {
    const char* name;
    uint32_t code;
    std::vector<uint8_t> input;
    uint32_t outputLength;
};

// One request of every code in the contract's table; the ACPI survey twice,
// since a survey releases what the one before it mapped.
std::vector<Step> Steps()
{
    std::vector<Step> steps;
    for (const ZerloRequestInfo& request : ZERLO_REQUESTS)
        steps.push_back({request.name, request.code, AcceptedInput(request), request.minimumOutput});
    const ZerloRequestInfo& survey = *ZerloFindRequest(IOCTL_GET_ACPI_REPORT);
    steps.push_back({"IOCTL_GET_ACPI_REPORT again", survey.code, {}, survey.minimumOutput});
    return steps;
}

struct StepRun {
    std::vector<std::string> answers;    // each step, with the fault armed
    std::vector<std::string> afterwards; // each step again, the fault gone
    std::vector<uint64_t> mapCallsAfter; // MmMapIoSpace calls counted after each step
    uint64_t mapCallsAtStart = 0;
};

std::string Send(Driver& driver, const Step& step)
{
    return Answer(step.code, driver.ioctl(step.code, step.input, step.outputLength));
}

StepRun RunSteps(Driver& driver)
{
    StepRun run;
    driver.startAndOpen();
    run.mapCallsAtStart = driver.kernel->probe().mapCalls();
    for (const Step& step : Steps()) {
        run.answers.push_back(Send(driver, step));
        run.mapCallsAfter.push_back(driver.kernel->probe().mapCalls());
    }
    for (const Step& step : Steps())
        run.afterwards.push_back(Send(driver, step));
    return run;
}

void UnloadLeavingNothing(Driver& driver)
{
    driver.kernel->close(driver.handle);
    driver.kernel->unload();
    EXPECT_TRUE(driver.kernel->probe().liveMappings().empty());
    EXPECT_TRUE(driver.kernel->probe().deviceNames().empty());
    EXPECT_TRUE(driver.kernel->probe().linkNames().empty());
}

// A failed mapping travels in the reply: a report names it in an error
// line, the 8-byte CPU-speed text says it has no speed, a value request
// answers with its failure value.
bool ShowsFailure(const Step& step, const std::string& answer)
{
    if (step.code == IOCTL_GET_CPU_SPEED) return answer == "0/8/---";
    if (IsTextRequest(step.code)) {
        return answer.find("*** ERROR: ") != std::string::npos || answer.find("*** Error: ") != std::string::npos;
    }
    return answer == "0/4/" + std::string(4, '\xff');
}

// A clean run on a driver of its own (one kernel at a time).
StepRun CleanRun()
{
    Driver driver;
    StepRun run = RunSteps(driver);
    UnloadLeavingNothing(driver);
    return run;
}

TEST(FaultInjection, EveryMapCallFailsInTurnWithoutCrashLeakOrLastingHarm)
{
    const StepRun clean = CleanRun();
    const uint64_t total = clean.mapCallsAfter.back();
    ASSERT_GT(total, 10u);

    const std::vector<Step> steps = Steps();
    for (uint64_t failing = 1; failing <= total; ++failing) {
        SCOPED_TRACE("MmMapIoSpace call " + std::to_string(failing) + " of " + std::to_string(total));
        {
            Driver driver;
            driver.kernel->probe().failMapCall(failing);
            const StepRun run = RunSteps(driver);
            ASSERT_EQ(run.answers.size(), steps.size());
            // The step during which the call failed shows it; no step
            // before it is touched.
            size_t faulted = steps.size();
            for (size_t i = 0; i < steps.size(); ++i) {
                if (clean.mapCallsAfter[i] >= failing) {
                    faulted = i;
                    break;
                }
            }
            for (size_t i = 0; i < steps.size(); ++i) {
                SCOPED_TRACE(steps[i].name);
                if (failing == 1) {
                    // Without the BIOS window the firmware requests fail for
                    // the whole load, each with its failure shown.
                    if (run.answers[i] != clean.answers[i]) {
                        EXPECT_TRUE(ShowsFailure(steps[i], run.answers[i])) << run.answers[i];
                    }
                    continue;
                }
                if (i < faulted) {
                    EXPECT_EQ(run.answers[i], clean.answers[i]);
                }
                if (i == faulted) {
                    EXPECT_NE(run.answers[i], clean.answers[i]);
                    EXPECT_TRUE(ShowsFailure(steps[i], run.answers[i])) << run.answers[i];
                }
                // The fault is gone: the next round answers as a clean run's.
                EXPECT_EQ(run.afterwards[i], clean.afterwards[i]);
            }
            UnloadLeavingNothing(driver);
        }
        if (failing == 1) {
            // A window that failed at start is gone until the next start.
            EXPECT_EQ(CleanRun().answers, clean.answers);
        }
    }
}

} // namespace
} // namespace ztest
