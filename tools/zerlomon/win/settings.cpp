#include "settings.h"

namespace zerlomon {

namespace {

const char kKey[] = "Software\\Zerlo\\Monitor";

HKEY OpenKey(bool write)
{
    HKEY key = nullptr;
    const LONG status = write
                            ? RegCreateKeyExA(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr)
                            : RegOpenKeyExA(HKEY_CURRENT_USER, kKey, 0, KEY_READ, &key);
    return status == ERROR_SUCCESS ? key : nullptr;
}

} // namespace

Settings LoadSettings()
{
    Settings settings;
    const HKEY key = OpenKey(false);
    if (!key) return settings;
    DWORD size = sizeof settings.placement, type = 0;
    settings.hasPlacement = RegQueryValueExA(key, "Placement", nullptr, &type,
                                             reinterpret_cast<BYTE*>(&settings.placement), &size) == ERROR_SUCCESS &&
                            type == REG_BINARY && size == sizeof settings.placement &&
                            settings.placement.length == sizeof settings.placement;
    DWORD span = 0;
    size = sizeof span;
    if (RegQueryValueExA(key, "SpanSeconds", nullptr, &type, reinterpret_cast<BYTE*>(&span), &size) == ERROR_SUCCESS &&
        type == REG_DWORD)
        settings.span = span;
    RegCloseKey(key);
    return settings;
}

void SavePlacement(HWND window)
{
    WINDOWPLACEMENT placement{};
    placement.length = sizeof placement;
    const HKEY key = OpenKey(true);
    if (!key) return;
    if (GetWindowPlacement(window, &placement))
        RegSetValueExA(key, "Placement", 0, REG_BINARY, reinterpret_cast<const BYTE*>(&placement), sizeof placement);
    RegCloseKey(key);
}

void SaveSpan(double seconds)
{
    const HKEY key = OpenKey(true);
    if (!key) return;
    const auto span = static_cast<DWORD>(seconds);
    RegSetValueExA(key, "SpanSeconds", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&span), sizeof span);
    RegCloseKey(key);
}

} // namespace zerlomon
