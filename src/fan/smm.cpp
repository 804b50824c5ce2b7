#include "smm.h"

namespace {

// One SMI: no retry, no delay, nothing cached.
BOOLEAN SmmCallFunction(USHORT function, USHORT argument, USHORT* result)
{
    SmiRegisters registers = {function, argument, 0, 0};
    if (SmmCall(&registers) != 1) {
        return FALSE;
    }
    *result = registers.ax;
    return TRUE;
}

} // namespace

extern "C" ULONG SmmCall(SmiRegisters* registers)
{
    const SmiRegisters sent = *registers;
    SmmTrigger(registers);
    const SmiRegisters& got = *registers;

    // No handler answered, or it ignored the function: nothing changed.
    if (got.ax == sent.ax && got.bx == sent.bx && got.cx == sent.cx && got.dx == sent.dx) {
        return 0;
    }
    if (got.ax == 0xFFFF) {
        return 0;
    }
    return 1;
}

extern "C" ULONG SmmGetFanState(USHORT fan)
{
    USHORT ax;
    return SmmCallFunction(SMM_FN_GET_FAN_STATE, fan, &ax) ? ULONG{ax} : SMM_FAILURE;
}

extern "C" ULONG SmmSetFanState(USHORT fan, USHORT state)
{
    const USHORT argument = static_cast<USHORT>((state << 8) | fan);
    USHORT ax;
    return SmmCallFunction(SMM_FN_SET_FAN_STATE, argument, &ax) ? 0 : SMM_FAILURE;
}

extern "C" ULONG SmmGetFanSpeed(USHORT fan)
{
    USHORT ax;
    return SmmCallFunction(SMM_FN_GET_FAN_SPEED, fan, &ax) ? ULONG{ax} * SMM_RPM_PER_UNIT : SMM_FAILURE;
}

extern "C" ULONG SmmGetTemperature(USHORT sensor)
{
    USHORT ax;
    return SmmCallFunction(SMM_FN_GET_TEMPERATURE, sensor, &ax) ? ULONG{ax} : SMM_FAILURE;
}
