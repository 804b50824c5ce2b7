// The report-text helper: every text reply is built through it, so it must
// never write past the reply and must always leave a terminated text.
#include "driver_fixture.h"

#include "frame/report_text.h"

namespace ztest {
namespace {

class ReportTextHelper : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ASSERT_EQ(driver.start(), STATUS_SUCCESS);
        begin = ZERLO_SYMBOL(driver, ReportBegin);
        append = ZERLO_SYMBOL(driver, ReportAppend);
    }

    // A reply of `size` bytes followed by canaries that must survive.
    std::string build(ULONG size, const std::vector<std::string>& pieces)
    {
        std::vector<char> buffer(size + 16, '#');
        ReportText report;
        begin(&report, buffer.data(), size);
        for (const std::string& piece : pieces)
            append(&report, "%s", piece.c_str());
        for (size_t i = size; i < buffer.size(); ++i)
            EXPECT_EQ(buffer[i], '#') << "written past the reply at " << i;
        const auto end = std::find(buffer.begin(), buffer.begin() + size, '\0');
        EXPECT_NE(end, buffer.begin() + size) << "text not terminated within its reply";
        return std::string(buffer.begin(), end);
    }

    Driver driver;
    decltype(&ReportBegin) begin = nullptr;
    decltype(&ReportAppend) append = nullptr;
};

TEST_F(ReportTextHelper, PiecesAreAppendedAtTheEnd)
{
    EXPECT_EQ(build(64, {"BIOS vendor: ", "Acme", "\r\n", "x"}), "BIOS vendor: Acme\r\nx");
    std::vector<char> buffer(32, '#');
    ReportText report;
    begin(&report, buffer.data(), 32);
    append(&report, "%d MHz, 0x%08x\r\n", 1600, 0xE0000u);
    EXPECT_STREQ(buffer.data(), "1600 MHz, 0x000e0000\r\n");
}

TEST_F(ReportTextHelper, ATextThatFillsTheReplyExactlyFits)
{
    EXPECT_EQ(build(8, {"1234", "567"}), "1234567");
}

const std::string kLine = "0123456789abcdefghi\r\n";        // 21 bytes
const std::string kMarker = "*** Report truncated ***\r\n"; // 26 bytes

TEST_F(ReportTextHelper, APieceThatDoesNotFitEndsTheTextAfterItsLastWholeLine)
{
    // 63 + 30 bytes do not fit in 90; the three whole lines and the marker do.
    EXPECT_EQ(build(90, {kLine, kLine, kLine, std::string(30, 't')}), kLine + kLine + kLine + kMarker);
}

TEST_F(ReportTextHelper, WholeLinesGiveWayToTheMarker)
{
    // One byte too long for 67: the marker needs the room of two lines.
    EXPECT_EQ(build(67, {kLine, kLine, kLine, "tail"}), kLine + kMarker);
}

TEST_F(ReportTextHelper, NothingIsAppendedAfterACut)
{
    EXPECT_EQ(build(70, {kLine, kLine, kLine, "\r\n", "short\r\n", "x"}), kLine + kLine + kMarker);
}

TEST_F(ReportTextHelper, ATinyReplyThatCannotHoldTheMarkerIsCutToEmpty)
{
    EXPECT_EQ(build(8, {"---", "12345678"}), "");
}

TEST_F(ReportTextHelper, ASingleLongLineGivesTheMarkerAlone)
{
    EXPECT_EQ(build(64, {std::string(100, 'a')}), "*** Report truncated ***\r\n");
}

TEST_F(ReportTextHelper, ATextExtendedByHandIsAppendedAtItsNewEnd)
{
    std::vector<char> buffer(32, '#');
    ReportText report;
    begin(&report, buffer.data(), 32);
    append(&report, "ab");
    buffer[2] = 'c';
    buffer[3] = '\0';
    append(&report, "d\r\n");
    EXPECT_STREQ(buffer.data(), "abcd\r\n");
}

} // namespace
} // namespace ztest
