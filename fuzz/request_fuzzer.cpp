// Requests from a hostile caller: any code (mostly the table and its
// neighbours), any lengths up to 64 KiB, any bytes, several per load, on the
// default notebook and on a bare machine. Beyond the host kernel's own
// checks (reads outside mappings, writes past the output, completion rules),
// every answer must keep the request contract and unload must leave nothing.
// Built twice: on the host build of the driver and on zerlo.sys (session.h).
#include "session.h"

namespace {

using zfuzz::FuzzInput;

[[noreturn]] void Fail(const char* what, uint32_t code)
{
    zfuzz::Fail("request", what, code);
}

uint32_t PickCode(FuzzInput& in)
{
    const uint8_t kind = in.byte();
    constexpr size_t kCodes = sizeof(ZERLO_REQUESTS) / sizeof(ZERLO_REQUESTS[0]);
    if (kind < 160) return ZERLO_REQUESTS[in.byte() % kCodes].code;
    if (kind < 200) return ZerloControlCode(0x8F0 + in.byte() % 0x30);
    if (kind < 230) return ZERLO_REQUESTS[in.byte() % kCodes].code ^ (1u << (in.byte() % 32));
    return in.dword();
}

void CheckOutcome(uint32_t code, uint32_t inputLength, uint32_t outputLength, const zhost::IoctlOutcome& outcome)
{
    const ZerloRequestInfo* info = ZerloFindRequest(code);
    if (outcome.status != STATUS_SUCCESS) {
        if (outcome.information != 0) Fail("refusal with a returned length", code);
        return;
    }
    if (info == nullptr) Fail("code outside the table succeeded", code);
    if (inputLength < info->minimumInput || outputLength < info->minimumOutput) Fail("short buffer accepted", code);
    if (outcome.information != info->minimumOutput) Fail("returned length is not the reply length", code);
    const bool text = code == IOCTL_GET_CPU_SPEED || code == IOCTL_GET_SMBIOS_REPORT || code == IOCTL_GET_ACPI_REPORT;
    const auto end = std::find(outcome.reply.begin(), outcome.reply.end(), uint8_t{0});
    if (text && end == outcome.reply.end()) Fail("text reply without terminator", code);
    if (text && std::count(end, outcome.reply.end(), uint8_t{0}) != outcome.reply.end() - end) {
        Fail("stale bytes after a text", code);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput in(data, size);
    const auto board = in.byte() & 1 ? zfuzz::Board::kBare : zfuzz::Board::kNotebook;
    zfuzz::Session& session = zfuzz::TheSession();
    zhost::Kernel& kernel = session.begin(board, {}, 0);

    const int requests = 1 + in.byte() % 8;
    for (int i = 0; i < requests; ++i) {
        const uint32_t code = PickCode(in);
        // Lengths: mostly around the interesting sizes, sometimes anything to 64 KiB.
        const uint32_t inputLength = in.byte() < 200 ? in.byte() % 9 : in.word();
        const uint8_t outKind = in.byte();
        uint32_t outputLength;
        if (outKind < 64)
            outputLength = outKind % 12;
        else if (outKind < 192) {
            const ZerloRequestInfo* info = ZerloFindRequest(code);
            outputLength = (info ? info->minimumOutput : 8) + (in.byte() % 3) - 1;
        } else
            outputLength = in.word();
        const std::vector<uint8_t> input = in.bytes(inputLength);
        const auto outcome = kernel.ioctl(session.handle, code, input, outputLength);
        CheckOutcome(code, inputLength, outputLength, outcome);
    }
    session.end();
    return 0;
}
