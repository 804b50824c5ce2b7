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

const std::string kLine = "0123456789abcdefghi\r\n";        // 21 bytes
const std::string kMarker = "*** Report truncated ***\r\n"; // 26 bytes

// A piece that does not fit ends the text after its last whole line that
// leaves room for the marker and its NUL; nothing is appended after a cut.
TEST_F(ReportTextHelper, APieceThatDoesNotFitCutsTheTextAtAWholeLine)
{
    struct Case {
        ULONG size;
        std::vector<std::string> pieces;
        std::string text;
    };
    for (const Case& c : {
             Case{8, {"1234", "567"}, "1234567"}, // fills the reply exactly
             Case{90, {kLine, kLine, kLine, std::string(30, 't')}, kLine + kLine + kLine + kMarker},
             Case{67, {kLine, kLine, kLine, "tail"}, kLine + kMarker}, // the marker needs two lines
             Case{70, {kLine, kLine, kLine, "\r\n", "short\r\n", "x"}, kLine + kLine + kMarker},
             Case{36, {"123456789\n", std::string(30, 'y')}, kMarker}, // line + marker = size
             Case{64, {std::string(100, 'a')}, kMarker},               // the marker alone
             Case{8, {"---", "12345678"}, ""},                         // too small for the marker
             Case{8, {"\n", "12345678"}, ""},
             Case{26, {"x", std::string(30, 'z')}, ""},              // the marker's own length
             Case{28, {"\n", std::string(30, 'z')}, "\n" + kMarker}, // just room for both
             Case{28, {"\n", "ab", std::string(30, 'z')}, "\n" + kMarker},
             Case{8, {"12", "", "34"}, "1234"}, // an empty piece fits
             Case{40, {"123456789012\n", "ab", std::string(30, 'z')}, "123456789012\n" + kMarker},
         }) {
        EXPECT_EQ(build(c.size, c.pieces), c.text) << c.size << " " << c.pieces.front();
    }
}

// A text whose terminator was overwritten is ended inside the reply.
TEST_F(ReportTextHelper, ATextThatLostItsTerminatorIsEndedInsideTheReply)
{
    // Behind the reply a NUL, which is not the text's end, or a canary.
    for (const char behind : {'\0', '#'}) {
        std::vector<char> buffer(8 + 16, '#');
        buffer[8] = behind;
        ReportText report;
        begin(&report, buffer.data(), 8);
        std::fill(buffer.begin(), buffer.begin() + 8, 'x');
        append(&report, "%s", ""); // an empty piece still fits
        EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 9), std::string("xxxxxxx\0", 8) + behind);
        append(&report, "d");
        EXPECT_EQ(std::string(buffer.begin(), buffer.end()),
                  std::string("\0xxxxxx\0", 8) + behind + std::string(15, '#'));
    }
    // Changed behind the helper's back: the first NUL is the end.
    std::vector<char> buffer(8, '\0');
    ReportText report;
    begin(&report, buffer.data(), 8);
    append(&report, "ab");
    buffer[0] = '\0';
    buffer[2] = 'c';
    append(&report, "d");
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 3), std::string("d\0c", 3));
}

} // namespace
} // namespace ztest
