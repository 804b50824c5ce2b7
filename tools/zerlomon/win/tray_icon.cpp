#include "tray_icon.h"

#include <cstring>
#include <shellapi.h>

namespace zerlomon {

namespace {

void Copy(char* target, size_t size, const std::string& text)
{
    const size_t length = std::min(text.size(), size - 1);
    std::memcpy(target, text.data(), length);
    target[length] = '\0';
}

} // namespace

HICON MakeIcon(const IconFace& face)
{
    // The mask's set bits are transparent; the colour is drawn where it is clear.
    BYTE mask[kIconSize * 2];
    std::memset(mask, 0xFF, sizeof mask);
    const HDC screen = GetDC(nullptr);
    const HDC dc = CreateCompatibleDC(screen);
    const HBITMAP colour = CreateCompatibleBitmap(screen, kIconSize, kIconSize);
    const HGDIOBJ old = SelectObject(dc, colour);
    const COLORREF ink = RGB(face.colour.red, face.colour.green, face.colour.blue);
    for (int y = 0; y < kIconSize; ++y) {
        for (int x = 0; x < kIconSize; ++x) {
            const bool set = face.rows[y][x] == '#';
            SetPixel(dc, x, y, set ? ink : RGB(0, 0, 0));
            if (set) mask[y * 2 + x / 8] &= static_cast<BYTE>(~(0x80 >> (x % 8)));
        }
    }
    SelectObject(dc, old);
    DeleteDC(dc);
    ReleaseDC(nullptr, screen);
    const HBITMAP maskBitmap = CreateBitmap(kIconSize, kIconSize, 1, 1, mask);
    ICONINFO info{TRUE, 0, 0, maskBitmap, colour};
    const HICON icon = CreateIconIndirect(&info);
    DeleteObject(maskBitmap);
    DeleteObject(colour);
    return icon;
}

TrayIcon::TrayIcon(HWND window) : window_(window) {}

TrayIcon::~TrayIcon()
{
    if (added_) {
        NOTIFYICONDATAA data{};
        data.cbSize = sizeof data;
        data.hWnd = window_;
        data.uID = 1;
        Shell_NotifyIconA(NIM_DELETE, &data);
    }
    if (icon_) DestroyIcon(icon_);
}

void TrayIcon::show(const IconFace& face, const std::string& tip)
{
    const HICON icon = MakeIcon(face);
    NOTIFYICONDATAA data{};
    data.cbSize = sizeof data;
    data.hWnd = window_;
    data.uID = 1;
    data.uFlags = NIF_ICON | NIF_TIP | NIF_MESSAGE;
    data.uCallbackMessage = kTrayMessage;
    data.hIcon = icon;
    Copy(data.szTip, sizeof data.szTip, tip);
    if (added_ && Shell_NotifyIconA(NIM_MODIFY, &data)) {
        // kept
    } else {
        added_ = Shell_NotifyIconA(NIM_ADD, &data) != FALSE;
    }
    if (icon_) DestroyIcon(icon_);
    icon_ = icon;
    tip_ = tip;
}

void TrayIcon::balloon(const std::string& text)
{
    NOTIFYICONDATAA data{};
    data.cbSize = sizeof data;
    data.hWnd = window_;
    data.uID = 1;
    data.uFlags = NIF_INFO;
    data.dwInfoFlags = NIIF_WARNING;
    Copy(data.szInfoTitle, sizeof data.szInfoTitle, "Zerlo: fans to high");
    Copy(data.szInfo, sizeof data.szInfo, text);
    Shell_NotifyIconA(NIM_MODIFY, &data);
}

void TrayIcon::readd()
{
    added_ = false;
}

} // namespace zerlomon
