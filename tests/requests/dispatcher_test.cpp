// The request boundary: codes, sizes, argument ranges and statuses.
#include "driver_fixture.h"

#include <cstdio>
#include <fstream>

namespace ztest {
namespace {

// The input a request takes, as docs/requests.md's table writes it.
std::string InputText(ZerloArgumentUse use)
{
    const auto range = [](const char* noun, uint16_t max) { return noun + std::string(" 0-") + std::to_string(max); };
    switch (use) {
    case ZERLO_ARGS_FAN: return range("fan", ZERLO_MAX_FAN);
    case ZERLO_ARGS_FAN_STATE: return range("fan", ZERLO_MAX_FAN) + ", " + range("state", ZERLO_MAX_FAN_STATE);
    case ZERLO_ARGS_FAN_LEVEL: return range("fan", ZERLO_MAX_FAN) + ", " + range("level", ZERLO_MAX_SIO_LEVEL);
    case ZERLO_ARGS_SENSOR: return range("sensor", ZERLO_MAX_SENSOR);
    case ZERLO_ARGS_NONE: break;
    }
    return "none";
}

// The table's rows up to the reply's length, whose description is prose.
std::vector<std::string> DocumentedRequests()
{
    std::ifstream file(ZERLO_DOCS "/requests.md");
    EXPECT_TRUE(file.is_open());
    std::vector<std::string> rows;
    for (std::string line; std::getline(file, line);) {
        if (line.starts_with("| 0x")) rows.push_back(line.substr(0, line.find(':')));
    }
    return rows;
}

class Dispatcher : public ::testing::Test {
  protected:
    void SetUp() override { driver.startAndOpen(); }
    Driver driver;
};

TEST_F(Dispatcher, EveryCodeRefusesOneByteLessThanItsMinimums)
{
    for (const ZerloRequestInfo& request : ZERLO_REQUESTS) {
        SCOPED_TRACE(request.name);
        // A request without arguments needs no input.
        if (request.minimumInput == 0) {
            EXPECT_EQ(driver.ioctl(request.code, {}, request.minimumOutput).status, STATUS_SUCCESS);
        }
        if (request.minimumInput > 0) {
            const std::vector<uint8_t> shortInput(request.minimumInput - 1, 0);
            const auto outcome = driver.ioctl(request.code, shortInput, request.minimumOutput);
            EXPECT_EQ(outcome.status, STATUS_BUFFER_TOO_SMALL);
            EXPECT_EQ(outcome.information, 0u);
        }
        const auto outcome = driver.ioctl(request.code, Words(0, 0), request.minimumOutput - 1);
        EXPECT_EQ(outcome.status, STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(outcome.information, 0u);
    }
}

// The contract's table and the documented one agree row by row: code, name,
// arguments with their ranges, and reply length.
TEST(RequestTable, DocsListEveryRequestAsTheContractDefinesIt)
{
    std::vector<std::string> expected;
    for (const ZerloRequestInfo& request : ZERLO_REQUESTS) {
        char code[16];
        std::snprintf(code, sizeof code, "0x%08X", request.code);
        expected.push_back("| " + std::string(code) + " | `" + request.name + "` | " + InputText(request.arguments) +
                           " | " + std::to_string(request.minimumOutput));
    }
    EXPECT_EQ(DocumentedRequests(), expected);
}

} // namespace
} // namespace ztest
