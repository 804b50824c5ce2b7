#include "report_text.h"

namespace {

ULONG ReportLength(const ReportText* report)
{
    // The end kept by the last append is still the end unless the text was
    // changed behind the helper's back; then the first NUL is the end, and a
    // text that lost its terminator is treated as filling the buffer but one
    // byte.
    if (report->length < report->size && report->text[report->length] == '\0') {
        return report->length;
    }
    for (ULONG i = 0; i < report->size; ++i) {
        if (report->text[i] == '\0') {
            return i;
        }
    }
    report->text[report->size - 1] = '\0';
    return report->size - 1;
}

void ReportCutAtLine(ReportText* report, ULONG length)
{
    const char marker[] = REPORT_TRUNCATED_LINE;
    const ULONG markerLength = sizeof(marker) - 1;

    // Keep whole lines only, and leave room for the marker and its NUL.
    ULONG keep = length;
    if (keep + markerLength + 1 > report->size) {
        keep = report->size > markerLength + 1 ? report->size - markerLength - 1 : 0;
    }
    while (keep > 0 && report->text[keep - 1] != '\n') {
        --keep;
    }
    report->text[keep] = '\0';
    report->length = keep;
    if (keep + markerLength + 1 <= report->size) {
        for (ULONG i = 0; i <= markerLength; ++i) {
            report->text[keep + i] = marker[i];
        }
        report->length = keep + markerLength;
    }
    report->truncated = TRUE;
}

} // namespace

extern "C" void ReportBegin(ReportText* report, char* buffer, ULONG size)
{
    report->text = buffer;
    report->size = size;
    report->length = 0;
    report->truncated = FALSE;
    buffer[0] = '\0';
}

extern "C" void ReportAppend(ReportText* report, const char* format, ...)
{
    if (report->truncated) {
        return;
    }
    const ULONG length = ReportLength(report);
    const ULONG room = report->size - length;

    va_list args;
    va_start(args, format);
    // The kernel's _vsnprintf leaves a cut text unterminated and returns -1
    // (or exactly the room when only the NUL is missing): both mean "did
    // not fit", and the partial piece is then removed again.
    const int written = _vsnprintf(report->text + length, room, format, args);
    va_end(args);

    if (written < 0 || static_cast<ULONG>(written) >= room) {
        report->text[length] = '\0';
        ReportCutAtLine(report, length);
        return;
    }
    report->length = length + static_cast<ULONG>(written);
}
