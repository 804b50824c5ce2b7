// The contract between zerlo.sys and its user-mode callers: device type,
// control codes, minimum sizes and reply layouts. The driver (32-bit,
// freestanding) and every client (32- or 64-bit) include this one header, so
// it uses fixed-width types only and pins every layout with static_asserts.
#pragma once

#include <stdint.h>

#define ZERLO_DEVICE_TYPE 0x9C40u
#define ZERLO_DEVICE_NAME L"\\Device\\Zerlo"
#define ZERLO_LINK_NAME L"\\DosDevices\\ZerloDev"
#define ZERLO_WIN32_PATH "\\\\.\\ZerloDev"

// Every code is buffered and demands write access, so a handle opened for
// reading only is refused by the I/O manager before the driver sees it.
constexpr uint32_t ZerloControlCode(uint32_t function)
{
    return (ZERLO_DEVICE_TYPE << 16) | (2u << 14) | (function << 2) | 0u;
}

constexpr uint32_t IOCTL_SMM_SET_FAN_STATE = ZerloControlCode(0x900);
constexpr uint32_t IOCTL_SMM_GET_FAN_STATE = ZerloControlCode(0x901);
constexpr uint32_t IOCTL_SMM_GET_FAN_SPEED = ZerloControlCode(0x902);
constexpr uint32_t IOCTL_GET_CPU_SPEED = ZerloControlCode(0x904);
constexpr uint32_t IOCTL_SIO_DETECT = ZerloControlCode(0x905);
constexpr uint32_t IOCTL_SIO_SET_FAN_LEVEL = ZerloControlCode(0x906);
constexpr uint32_t IOCTL_SIO_GET_FAN_LEVEL = ZerloControlCode(0x907);
constexpr uint32_t IOCTL_SMM_GET_TEMPERATURE = ZerloControlCode(0x910);
constexpr uint32_t IOCTL_GET_VERSION = ZerloControlCode(0x911);
constexpr uint32_t IOCTL_GET_SMBIOS_REPORT = ZerloControlCode(0x912);
constexpr uint32_t IOCTL_GET_ACPI_REPORT = ZerloControlCode(0x913);

static_assert(IOCTL_SMM_SET_FAN_STATE == 0x9C40A400u);
static_assert(IOCTL_SMM_GET_FAN_SPEED == 0x9C40A408u);
static_assert(IOCTL_SMM_GET_TEMPERATURE == 0x9C40A440u);
static_assert(IOCTL_GET_ACPI_REPORT == 0x9C40A44Cu);

// Reply sizes of the text requests; a text ends at its first NUL.
constexpr uint32_t ZERLO_CPU_SPEED_TEXT_SIZE = 8;
constexpr uint32_t ZERLO_SMBIOS_REPORT_SIZE = 16384;
constexpr uint32_t ZERLO_ACPI_REPORT_SIZE = 32768;

// 32-bit results: reads give their value or ZERLO_FAILURE; the Super-I/O
// detection and level setting give ZERLO_TRUE or ZERLO_FALSE.
constexpr uint32_t ZERLO_FAILURE = 0xFFFFFFFFu;
constexpr uint32_t ZERLO_TRUE = 0xFFFFFFFFu;
constexpr uint32_t ZERLO_FALSE = 0u;

// Input of the requests that take arguments: two little-endian 16-bit words.
// Word 0 is the fan or the sensor, word 1 the state or the level.
struct ZerloArguments {
    uint16_t word0;
    uint16_t word1;
};
static_assert(sizeof(ZerloArguments) == 4);

struct ZerloResult {
    uint32_t value;
};
static_assert(sizeof(ZerloResult) == 4);

struct ZerloVersion {
    uint32_t major;
    uint32_t minor;
};
static_assert(sizeof(ZerloVersion) == 8);

constexpr uint32_t ZERLO_VERSION_MAJOR = 1;
constexpr uint32_t ZERLO_VERSION_MINOR = 5;

// Highest accepted argument values.
constexpr uint16_t ZERLO_MAX_FAN = 1;
constexpr uint16_t ZERLO_MAX_FAN_STATE = 2;
constexpr uint16_t ZERLO_MAX_SENSOR = 255;
constexpr uint16_t ZERLO_MAX_SIO_LEVEL = 63;

// Which words a request reads; a word it does not read counts as 0.
enum ZerloArgumentUse : uint8_t {
    ZERLO_ARGS_NONE,
    ZERLO_ARGS_FAN,
    ZERLO_ARGS_FAN_STATE,
    ZERLO_ARGS_FAN_LEVEL,
    ZERLO_ARGS_SENSOR,
};

struct ZerloRequestInfo {
    uint32_t code;
    const char* name;
    uint32_t minimumInput;
    uint32_t minimumOutput; // also the returned length of every success
    ZerloArgumentUse arguments;
};

constexpr ZerloRequestInfo ZERLO_REQUESTS[] = {
    {IOCTL_SMM_SET_FAN_STATE, "IOCTL_SMM_SET_FAN_STATE", 4, 4, ZERLO_ARGS_FAN_STATE},
    {IOCTL_SMM_GET_FAN_STATE, "IOCTL_SMM_GET_FAN_STATE", 4, 4, ZERLO_ARGS_FAN},
    {IOCTL_SMM_GET_FAN_SPEED, "IOCTL_SMM_GET_FAN_SPEED", 4, 4, ZERLO_ARGS_FAN},
    {IOCTL_GET_CPU_SPEED, "IOCTL_GET_CPU_SPEED", 0, ZERLO_CPU_SPEED_TEXT_SIZE, ZERLO_ARGS_NONE},
    {IOCTL_SIO_DETECT, "IOCTL_SIO_DETECT", 0, 4, ZERLO_ARGS_NONE},
    {IOCTL_SIO_SET_FAN_LEVEL, "IOCTL_SIO_SET_FAN_LEVEL", 4, 4, ZERLO_ARGS_FAN_LEVEL},
    {IOCTL_SIO_GET_FAN_LEVEL, "IOCTL_SIO_GET_FAN_LEVEL", 4, 4, ZERLO_ARGS_FAN},
    {IOCTL_SMM_GET_TEMPERATURE, "IOCTL_SMM_GET_TEMPERATURE", 4, 4, ZERLO_ARGS_SENSOR},
    {IOCTL_GET_VERSION, "IOCTL_GET_VERSION", 0, sizeof(ZerloVersion), ZERLO_ARGS_NONE},
    {IOCTL_GET_SMBIOS_REPORT, "IOCTL_GET_SMBIOS_REPORT", 0, ZERLO_SMBIOS_REPORT_SIZE, ZERLO_ARGS_NONE},
    {IOCTL_GET_ACPI_REPORT, "IOCTL_GET_ACPI_REPORT", 0, ZERLO_ACPI_REPORT_SIZE, ZERLO_ARGS_NONE},
};

// Each code has one row: the dispatcher and every client use the first.
constexpr bool ZerloCodesAreDistinct()
{
    for (const ZerloRequestInfo& first : ZERLO_REQUESTS) {
        int rows = 0;
        for (const ZerloRequestInfo& other : ZERLO_REQUESTS) {
            rows += other.code == first.code ? 1 : 0;
        }
        if (rows != 1) {
            return false;
        }
    }
    return true;
}
static_assert(ZerloCodesAreDistinct());

constexpr const ZerloRequestInfo* ZerloFindRequest(uint32_t code)
{
    for (const ZerloRequestInfo& info : ZERLO_REQUESTS) {
        if (info.code == code) {
            return &info;
        }
    }
    return nullptr;
}
