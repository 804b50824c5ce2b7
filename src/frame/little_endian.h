// Byte-wise little-endian access to request buffers and firmware memory:
// neither is known to be aligned for the wider loads.
#pragma once

#include "kernel.h"

inline USHORT ReadWordLe(const UCHAR* at)
{
    return static_cast<USHORT>(at[0] | (at[1] << 8));
}

inline ULONG ReadLongLe(const UCHAR* at)
{
    return static_cast<ULONG>(at[0]) | static_cast<ULONG>(at[1]) << 8 | static_cast<ULONG>(at[2]) << 16 |
           static_cast<ULONG>(at[3]) << 24;
}

inline void WriteLongLe(UCHAR* at, ULONG value)
{
    for (ULONG i = 0; i < 4; ++i) {
        at[i] = static_cast<UCHAR>(value >> (8 * i));
    }
}
