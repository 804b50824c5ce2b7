#include "sio.h"

extern "C" {
USHORT SioConfigPort = 0;
USHORT SioBaseAddress = 0;
}

namespace {

UCHAR LevelRegister(USHORT fan)
{
    return fan == 0 ? SIO_REG_FAN0_LEVEL : SIO_REG_FAN1_LEVEL;
}

// A base of 0 means no chip known, so the level operations detect first. A
// chip can still report a base that names no runtime block of its own: 0
// when logical device 9 is not assigned, 0xFFFF when the base registers are
// unimplemented and read all ones (its data port would wrap to port 0).
// Ports below 0x100 belong to the board's fixed devices (DMA, interrupt and
// timer controllers, keyboard controller), where no Super-I/O block lives;
// 0xCF8-0xCFF is the PCI configuration mechanism and the reset control.
// With such a base the level operations fail (set 0, get 0xFFFFFFFF)
// without touching a runtime port, and the next one detects again.
bool RuntimeBaseUsable(USHORT base)
{
    const bool pciConfig = base + 1 >= SIO_FIRST_PCI_CONFIG_PORT && base <= SIO_LAST_PCI_CONFIG_PORT;
    return base >= SIO_LOWEST_RUNTIME_BASE && base != 0xFFFF && !pciConfig;
}

bool RuntimeBlockKnown()
{
    if (RuntimeBaseUsable(SioBaseAddress)) {
        return true;
    }
    return SioDetect() == SIO_TRUE && RuntimeBaseUsable(SioBaseAddress);
}

} // namespace

extern "C" ULONG SioWriteIndexVerified(USHORT port, UCHAR value)
{
    PortWriteByte(port, value);
    return PortReadByte(port) == value ? SIO_TRUE : SIO_FALSE;
}

// Every access is one step of the chip's unlock and identification
// sequence; the probe stops at the first step that rules the chip out.
extern "C" ULONG SioProbe(USHORT configPort, UCHAR idRegister)
{
    const USHORT dataPort = static_cast<USHORT>(configPort + 1);

    // A port with nothing behind it, or a plain latch, hands the key back.
    PortWriteByte(configPort, SIO_PROBE_KEY);
    if (PortReadByte(configPort) == SIO_PROBE_KEY) {
        return SIO_FALSE;
    }
    // Whatever drives the data port before the chip opens must not be
    // taken for the identifier afterwards.
    const UCHAR closedData = PortReadByte(dataPort);

    PortWriteByte(configPort, SIO_OPEN_KEY);
    if (SioWriteIndexVerified(configPort, SIO_OPEN_KEY) != SIO_TRUE) {
        return SIO_FALSE;
    }
    if (SioWriteIndexVerified(configPort, idRegister) != SIO_TRUE) {
        return SIO_FALSE;
    }
    const UCHAR id = PortReadByte(dataPort);
    if (id == 0x00 || id == 0xFF) {
        return SIO_FALSE;
    }
    if (SioWriteIndexVerified(configPort, static_cast<UCHAR>(idRegister + 1)) != SIO_TRUE) {
        return SIO_FALSE;
    }
    const UCHAR revision = PortReadByte(dataPort);
    if (revision >= SIO_FIRST_BAD_REVISION) {
        return SIO_FALSE;
    }
    if (id == closedData) {
        return SIO_FALSE;
    }
    return id == SIO_DEVICE_ID ? SIO_TRUE : SIO_FALSE;
}

extern "C" ULONG SioDetect(void)
{
    SioConfigPort = SIO_FIRST_CONFIG_PORT;
    if (SioProbe(SioConfigPort, SIO_REG_DEVICE_ID) != SIO_TRUE) {
        SioConfigPort = SIO_SECOND_CONFIG_PORT;
        if (SioProbe(SioConfigPort, SIO_REG_DEVICE_ID) != SIO_TRUE) {
            return SIO_FALSE;
        }
    }

    // The probe left the configuration registers open.
    const USHORT configPort = SioConfigPort;
    const USHORT dataPort = static_cast<USHORT>(configPort + 1);
    PortWriteByte(configPort, SIO_REG_LOGICAL_DEVICE);
    PortWriteByte(dataPort, SIO_FAN_DEVICE);
    PortWriteByte(configPort, SIO_REG_BASE_HIGH);
    SioBaseAddress = static_cast<USHORT>(PortReadByte(dataPort) << 8);
    PortWriteByte(configPort, SIO_REG_BASE_LOW);
    SioBaseAddress = static_cast<USHORT>(SioBaseAddress | PortReadByte(dataPort));
    return SIO_TRUE;
}

extern "C" ULONG SioSetFanLevel(USHORT fan, USHORT level)
{
    if (!RuntimeBlockKnown()) {
        return SIO_FALSE;
    }
    const USHORT indexPort = SioBaseAddress;
    const USHORT dataPort = static_cast<USHORT>(indexPort + 1);
    const UCHAR reg = LevelRegister(fan);
    if (level > SIO_MAX_LEVEL) {
        return SIO_FALSE;
    }
    const UCHAR written = static_cast<UCHAR>(SIO_LEVEL_ENABLE | (level << 1));

    // A mismatch is reported, not retried: the chip keeps what it took.
    PortWriteByte(indexPort, reg);
    PortWriteByte(dataPort, written);
    PortWriteByte(indexPort, reg);
    return PortReadByte(dataPort) == written ? SIO_TRUE : SIO_FALSE;
}

extern "C" ULONG SioGetFanLevel(USHORT fan)
{
    if (!RuntimeBlockKnown()) {
        return SIO_FAILURE;
    }
    const USHORT indexPort = SioBaseAddress;
    PortWriteByte(indexPort, LevelRegister(fan));
    const UCHAR value = PortReadByte(static_cast<USHORT>(indexPort + 1));
    return static_cast<ULONG>((value & SIO_LEVEL_MASK) >> 1);
}
