// The RSDP search over a range of any length. The survey's own ranges are
// multiples of 16 bytes long, where a room check off by a few bytes, or one
// that takes one revision's length for the other's, finds the same
// candidates; here the room before the range's end takes every value, and
// the range ends against an inaccessible page.
#include "acpi_fixture.h"

#include "firmware/acpi_survey.h"
#include "frame/report_text.h"

#include <cstring>
#include <sys/mman.h>

namespace ztest {
namespace {

class RsdpSearch : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ASSERT_EQ(driver.start(), STATUS_SUCCESS);
        begin = ZERLO_SYMBOL(driver, ReportBegin);
        find = ZERLO_SYMBOL(driver, AcpiFindRsdp);
        void* pages = mmap(nullptr, 2 * kPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(pages, MAP_FAILED);
        block = static_cast<uint8_t*>(pages);
        ASSERT_EQ(mprotect(block + kPage, kPage, PROT_NONE), 0);
    }
    void TearDown() override
    {
        if (block != nullptr) munmap(block, 2 * kPage);
    }

    // Searches a range of `length` bytes that ends where the page does: an
    // empty candidate, then an RSDP of `revision` cut at the range's end,
    // whose checksum fails so that nothing is mapped. The text it writes.
    std::string search(uint8_t revision, ULONG length)
    {
        const uint8_t rsdp[36] = {'R', 'S', 'D', ' ', 'P', 'T', 'R', ' ', 1, 'Z', 'E', 'R', 'L', 'O', ' ', revision};
        uint8_t* range = block + kPage - length;
        std::memset(range, 0, std::min<ULONG>(length, 16));
        if (length > 16) std::memcpy(range + 16, rsdp, std::min<ULONG>(length - 16, sizeof rsdp));
        char buffer[256];
        ReportText report;
        begin(&report, buffer, sizeof buffer);
        EXPECT_EQ(find(range, length, &report), ACPI_FALSE);
        return buffer;
    }

    static std::string Va(const void* address)
    {
        return Fmt("0x%08x", static_cast<unsigned>(reinterpret_cast<uintptr_t>(address)));
    }

    static constexpr size_t kPage = 4096;
    Driver driver{zhost::BareProfile()};
    decltype(&ReportBegin) begin = nullptr;
    decltype(&AcpiFindRsdp) find = nullptr;
    uint8_t* block = nullptr;
};

// Revision 0 is read through byte 19, revision 2 through byte 31 (the XSDT
// address); a candidate is examined exactly when those bytes are inside, and
// a range shorter than 16 bytes holds no candidate at all.
TEST_F(RsdpSearch, ACandidateIsExaminedExactlyWhenItsReadBytesFitTheRange)
{
    for (const auto& [revision, read] : {std::pair<uint8_t, ULONG>{0, 20}, {2, 32}}) {
        for (ULONG length = 0; length <= 16 + 40; ++length) {
            SCOPED_TRACE(Fmt("revision %u, %u bytes", revision, length));
            const uint8_t* range = block + kPage - length;
            std::string expected = Fmt("Searching VA %s, %d Bytes...\r\n", Va(range).c_str(), length);
            if (length >= 16 + read) expected += Fmt("Sig found at VA %s\r\n", Va(range + 16).c_str());
            EXPECT_EQ(search(revision, length), expected);
        }
    }
}

} // namespace
} // namespace ztest
