// Report texts: NUL-terminated 8-bit text built in a request's reply buffer
// by appending formatted pieces at its current end.
#pragma once

#include "kernel.h"

struct ReportText {
    char* text;
    ULONG size;   // bytes of the reply buffer; the text and its NUL stay inside
    ULONG length; // where the text's NUL is, so that a report of hundreds of
                  // pieces does not rescan its whole text for every piece;
                  // if that byte is no longer a NUL, the first NUL is the end
    BOOLEAN truncated;
};

// The marker that ends a text that did not fit; it follows the last whole
// line that did.
#define REPORT_TRUNCATED_LINE "*** Report truncated ***\r\n"

extern "C" {
// Starts an empty text in buffer[0..size). size must be at least 1.
void ReportBegin(ReportText* report, char* buffer, ULONG size);

// Appends one formatted piece. A piece that does not fit whole is not
// written: the text is cut back to its last whole line and, room permitting,
// ends with REPORT_TRUNCATED_LINE; everything appended after that is
// dropped, so the text never has a gap in its middle.
void ReportAppend(ReportText* report, const char* format, ...) __attribute__((format(printf, 2, 3)));
}
