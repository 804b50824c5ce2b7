// System-management BIOS calls: fan state, fan speed and temperature through
// the SMI gate. The dispatcher has checked the arguments' ranges; the caller
// holds the request lock, since the machine has one SMI interface.
#pragma once

#include "../frame/zerlo_ioctl.h"
#include "port_io.h"

// Firmware function codes: 0xA3 in the low byte, the function in the high.
constexpr USHORT SMM_FN_GET_FAN_STATE = 0x00A3;
constexpr USHORT SMM_FN_SET_FAN_STATE = 0x01A3;
constexpr USHORT SMM_FN_GET_FAN_SPEED = 0x02A3;
constexpr USHORT SMM_FN_GET_TEMPERATURE = 0x10A3;

// What user mode reads as a failed call.
constexpr ULONG SMM_FAILURE = ZERLO_FAILURE;
constexpr ULONG SMM_RPM_PER_UNIT = 30;

extern "C" {
// 1 when the firmware accepted the call, 0 when not. The block holds the
// returned registers afterwards, failure included.
ULONG SmmCall(SmiRegisters* registers);

ULONG SmmGetFanState(USHORT fan);
ULONG SmmSetFanState(USHORT fan, USHORT state);
ULONG SmmGetFanSpeed(USHORT fan);
ULONG SmmGetTemperature(USHORT sensor);
}
