// The Super-I/O fan controller: finds the chip behind configuration port
// 0x2E or 0x4E and sets or reads the level of fan 0 or 1 in the runtime
// registers of its logical device 9. The caller holds the request lock: the
// chip's index registers are shared, so an index write and the data access
// after it must not interleave with another such pair.
#pragma once

#include "../frame/zerlo_ioctl.h"
#include "port_io.h"

constexpr USHORT SIO_FIRST_CONFIG_PORT = 0x2E;
constexpr USHORT SIO_SECOND_CONFIG_PORT = 0x4E;

constexpr UCHAR SIO_PROBE_KEY = 0xAA;
constexpr UCHAR SIO_OPEN_KEY = 0x55;

constexpr UCHAR SIO_REG_LOGICAL_DEVICE = 0x07;
constexpr UCHAR SIO_REG_DEVICE_ID = 0x20;
constexpr UCHAR SIO_REG_BASE_HIGH = 0x60;
constexpr UCHAR SIO_REG_BASE_LOW = 0x61;

constexpr UCHAR SIO_FAN_DEVICE = 0x09;
constexpr UCHAR SIO_DEVICE_ID = 0x0E;
constexpr UCHAR SIO_FIRST_BAD_REVISION = 0x80;

constexpr UCHAR SIO_REG_FAN0_LEVEL = 0x92;
constexpr UCHAR SIO_REG_FAN1_LEVEL = 0x93;
constexpr UCHAR SIO_LEVEL_ENABLE = 0x80; // set by every level write
constexpr UCHAR SIO_LEVEL_MASK = 0x7E;   // the level sits in bits 6..1
constexpr USHORT SIO_MAX_LEVEL = 63;
// Lowest runtime base the level operations use: below it lie the board's
// fixed devices.
constexpr USHORT SIO_LOWEST_RUNTIME_BASE = 0x100;
// PCI configuration address and data (0xCF8, 0xCFC) with the chipsets' reset
// control at 0xCF9 between them: a level write there resets the processor or
// rewrites a PCI register, so neither runtime port may fall in this range.
constexpr USHORT SIO_FIRST_PCI_CONFIG_PORT = 0xCF8;
constexpr USHORT SIO_LAST_PCI_CONFIG_PORT = 0xCFF;

constexpr ULONG SIO_TRUE = ZERLO_TRUE;
constexpr ULONG SIO_FALSE = ZERLO_FALSE;
constexpr ULONG SIO_FAILURE = ZERLO_FAILURE;

extern "C" {
// The configuration port probed last (its data port is the next one), and
// the runtime base of logical device 9, 0 while no chip has been detected
// (a base below 0x100 or of 0xFFFF is kept but never used).
// Only SioDetect changes them.
extern USHORT SioConfigPort;
extern USHORT SioBaseAddress;

// Writes the byte to the port and reads it back: SIO_TRUE when equal.
ULONG SioWriteIndexVerified(USHORT port, UCHAR value);
// SIO_TRUE when the chip answers at the configuration port; the revision
// register follows the identifier register. Leaves the registers open.
ULONG SioProbe(USHORT configPort, UCHAR idRegister);
// SIO_TRUE when a chip was found at 0x2E or 0x4E and its base was read.
ULONG SioDetect(void);
// SIO_TRUE when the level was written and read back unchanged.
ULONG SioSetFanLevel(USHORT fan, USHORT level);
// The level, 0 to 63, or SIO_FAILURE without a chip.
ULONG SioGetFanLevel(USHORT fan);
}
