// The bounded string lookup of the SMBIOS report, on firmware as real
// machines have it.
#include "smbios_test_support.h"

namespace ztest {
namespace {

// --- SmbiosGetString ---

TEST(SmbiosGetString, NumberZeroGivesDashesAndOnesBeyondTheSetOrCutByTheTableTheMarker)
{
    const json first = {{"type", 1}, {"manufacturer", "First"}, {"product", "Second"}};
    // The last string loses its NUL and the set's final NUL to the table's end.
    const json cut = {{"type", 1}, {"length", 8}, {"manufacturer", "Maker"}, {"product", "Product"}};
    const std::string kNoStrings = Lines({"BIOS vendor: --", "BIOS version: --", "BIOS date: --"});
    const json kEmptyFirst = json::array({{{"address", 0xF2014}, {"hex", "00"}}});
    ExpectReports({{"numbers 1, 2 and 0",
                    {first},
                    {},
                    Lines({"System manufacturer: First", "Product name: Second", "Service tag: --"})},
                   {"no strings at all",
                    {{{"type", 1}, {"manufacturer", 1}, {"product", 7}}},
                    {},
                    Lines({"System manufacturer: --", "Product name: --", "Service tag: --"})},
                   {"beyond the last",
                    {{{"type", 3}, {"manufacturer", "Case Co"}, {"asset_tag", 4}}},
                    {},
                    Lines({"Asset tag: <missing string>"})},
                   {"just beyond the last",
                    {{{"type", 3}, {"manufacturer", "Case Co"}, {"asset_tag", 2}}},
                    {},
                    Lines({"Asset tag: <missing string>"})},
                   {"cut by the table's end",
                    {cut},
                    {{"table_address", "0x300000"}, {"table_length", 8 + 6 + 7}},
                    Lines({"System manufacturer: Maker", "Product name: <missing string>", "Service tag: --"})},
                   // Ending on a page end: a read behind the table faults.
                   {"ending with a string's NUL",
                    {cut},
                    {{"table_address", "0x300FF2"}, {"table_length", 8 + 6}},
                    Lines({"System manufacturer: Maker", "Product name: <missing string>", "Service tag: --"})},
                   {"an empty set before the next structure",
                    {{{"type", 1}, {"manufacturer", 1}, {"product", 7}}, {{"type", 3}, {"asset_tag", "Tag"}}},
                    {},
                    Lines({"System manufacturer: --", "Product name: --", "Service tag: --", "Asset tag: Tag"})},
                   // In the window the set's bytes stay behind a shorter table.
                   {"no set at all", {kBios}, {{"table_length", 0x14}}, kNoStrings},
                   {"a set of one NUL", {kBios}, {{"table_length", 0x15}}, kNoStrings, kEmptyFirst},
                   {"an empty first string cut by the end",
                    {kBios},
                    {{"table_length", 0x16}},
                    Lines({"BIOS vendor: ", "BIOS version: <missing string>", "BIOS date: <missing string>"}),
                    kEmptyFirst},
                   {"an empty first string",
                    {kBios},
                    {},
                    Lines({"BIOS vendor: ", "BIOS version: endor", "BIOS date: V1"}),
                    kEmptyFirst}});
}

} // namespace
} // namespace ztest
