// The driver's one door to the kernel. On Windows it is the DDK itself; on
// the Linux host the simulated kernel declares the same names, types and
// fields, so no driver source has a host-only branch.
#pragma once

#if defined(_WIN32)
#include <ddk/ntddk.h>
#include <stdarg.h>
#include <stddef.h>

// Missing from MinGW-w64's DDK; the value is NT's.
#ifndef FILE_DEVICE_SECURE_OPEN
#define FILE_DEVICE_SECURE_OPEN 0x00000100
#endif

// ntoskrnl's C runtime exports. Declared here rather than through the
// MinGW C headers, which would route them to msvcrt or to MinGW's own printf.
extern "C" {
int __cdecl _vsnprintf(char* buffer, size_t count, const char* format, va_list args);
int __cdecl strncmp(const char* a, const char* b, size_t count);
char* __cdecl strncpy(char* destination, const char* source, size_t count);
}
#else
#include <host_ntddk.h>
#endif
