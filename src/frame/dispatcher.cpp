// The control-request dispatcher: one routine for every IRP_MJ_DEVICE_CONTROL.
// Runs on the caller's thread at PASSIVE_LEVEL; several callers may be here
// at once, and the request lock serialises their work.
#include "../fan/sio.h"
#include "../fan/smm.h"
#include "../firmware/acpi_survey.h"
#include "../firmware/smbios_report.h"
#include "driver.h"
#include "little_endian.h"

namespace {

struct RequestArguments {
    USHORT fan;
    USHORT state;
    USHORT level;
    USHORT sensor;
};

RequestArguments ReadArguments(const ZerloRequestInfo& request, const UCHAR* buffer)
{
    RequestArguments args = {0, 0, 0, 0};
    switch (request.arguments) {
    case ZERLO_ARGS_FAN: args.fan = ReadWordLe(buffer + 0); break;
    case ZERLO_ARGS_FAN_STATE:
        args.fan = ReadWordLe(buffer + 0);
        args.state = ReadWordLe(buffer + 2);
        break;
    case ZERLO_ARGS_FAN_LEVEL:
        args.fan = ReadWordLe(buffer + 0);
        args.level = ReadWordLe(buffer + 2);
        break;
    case ZERLO_ARGS_SENSOR: args.sensor = ReadWordLe(buffer + 0); break;
    case ZERLO_ARGS_NONE: break;
    }
    return args;
}

bool ArgumentsInRange(const RequestArguments& args)
{
    return args.fan <= ZERLO_MAX_FAN && args.state <= ZERLO_MAX_FAN_STATE && args.sensor <= ZERLO_MAX_SENSOR &&
           args.level <= ZERLO_MAX_SIO_LEVEL;
}

// Every byte the caller gets back is the driver's: METHOD_BUFFERED hands
// back the whole returned length of a system buffer that held only the
// input, so whatever the pool held before would otherwise follow a text's
// NUL (or lie in a text cut short, behind its last whole line).
void ZeroBehindText(UCHAR* buffer, ULONG replyLength)
{
    ULONG end = 0;
    while (end < replyLength && buffer[end] != 0) {
        ++end;
    }
    if (end == replyLength) {
        // No NUL inside the reply: the text ends one byte early.
        end = replyLength - 1;
    }
    // By whole words where they fit: the reports' replies are 16 and 32 KiB,
    // and a byte loop over them cost more than the reports themselves.
    UCHAR* byte = buffer + end;
    UCHAR* const stop = buffer + replyLength;
    while (byte < stop && reinterpret_cast<ULONG_PTR>(byte) % sizeof(ULONG) != 0) {
        *byte++ = 0;
    }
    for (; stop - byte >= static_cast<LONG>(sizeof(ULONG)); byte += sizeof(ULONG)) {
        *reinterpret_cast<ULONG*>(byte) = 0;
    }
    while (byte < stop) {
        *byte++ = 0; // an end that is not word-aligned
    }
}

// Runs one operation and writes its reply over the input. The caller holds
// the request lock and has checked that the buffer holds the reply.
NTSTATUS RunRequest(ULONG code, const RequestArguments& args, UCHAR* buffer)
{
    switch (code) {
    case IOCTL_SMM_SET_FAN_STATE: WriteLongLe(buffer, SmmSetFanState(args.fan, args.state)); return STATUS_SUCCESS;
    case IOCTL_SMM_GET_FAN_STATE: WriteLongLe(buffer, SmmGetFanState(args.fan)); return STATUS_SUCCESS;
    case IOCTL_SMM_GET_FAN_SPEED: WriteLongLe(buffer, SmmGetFanSpeed(args.fan)); return STATUS_SUCCESS;
    case IOCTL_SMM_GET_TEMPERATURE: WriteLongLe(buffer, SmmGetTemperature(args.sensor)); return STATUS_SUCCESS;
    case IOCTL_SIO_DETECT: WriteLongLe(buffer, SioDetect()); return STATUS_SUCCESS;
    case IOCTL_SIO_SET_FAN_LEVEL: WriteLongLe(buffer, SioSetFanLevel(args.fan, args.level)); return STATUS_SUCCESS;
    case IOCTL_SIO_GET_FAN_LEVEL: WriteLongLe(buffer, SioGetFanLevel(args.fan)); return STATUS_SUCCESS;
    case IOCTL_GET_CPU_SPEED:
        GetCpuSpeedText(reinterpret_cast<char*>(buffer));
        ZeroBehindText(buffer, ZERLO_CPU_SPEED_TEXT_SIZE);
        return STATUS_SUCCESS;
    case IOCTL_GET_SMBIOS_REPORT:
        BuildSmbiosReport(reinterpret_cast<char*>(buffer));
        ZeroBehindText(buffer, ZERLO_SMBIOS_REPORT_SIZE);
        return STATUS_SUCCESS;
    case IOCTL_GET_VERSION:
        WriteLongLe(buffer, ZERLO_VERSION_MAJOR);
        WriteLongLe(buffer + 4, ZERLO_VERSION_MINOR);
        return STATUS_SUCCESS;
    case IOCTL_GET_ACPI_REPORT:
        // The survey's own result is not passed on: the text tells it all.
        BuildAcpiReport(reinterpret_cast<char*>(buffer), ZERLO_ACPI_REPORT_SIZE);
        ZeroBehindText(buffer, ZERLO_ACPI_REPORT_SIZE);
        return STATUS_SUCCESS;
    default:
        // Only codes of the request table get here.
        return STATUS_INVALID_PARAMETER;
    }
}

} // namespace

extern "C" NTSTATUS NTAPI ZerloDispatchControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    const ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    UCHAR* const buffer = static_cast<UCHAR*>(Irp->AssociatedIrp.SystemBuffer);

    Irp->IoStatus.Information = 0;

    NTSTATUS status;
    const ZerloRequestInfo* request = ZerloFindRequest(code);
    if (request == nullptr) {
        status = STATUS_INVALID_PARAMETER;
    } else if (inputLength < request->minimumInput || outputLength < request->minimumOutput) {
        status = STATUS_BUFFER_TOO_SMALL;
    } else {
        const RequestArguments args = ReadArguments(*request, buffer);
        if (!ArgumentsInRange(args)) {
            status = STATUS_INVALID_PARAMETER;
        } else {
            ExAcquireFastMutex(&RequestLock);
            status = RunRequest(code, args, buffer);
            ExReleaseFastMutex(&RequestLock);
            if (NT_SUCCESS(status)) {
                Irp->IoStatus.Information = request->minimumOutput;
            }
        }
    }

    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}
