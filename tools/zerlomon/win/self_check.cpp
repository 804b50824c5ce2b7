#include "self_check.h"

#include <cstdio>
#include <string>

namespace zerlomon {

namespace {

std::string OneLine(std::string text)
{
    for (size_t at = 0; (at = text.find('\n', at)) != std::string::npos;)
        text.replace(at, 1, " | ");
    return text;
}

std::string Place(HWND window)
{
    RECT r;
    GetWindowRect(window, &r);
    char text[64];
    std::snprintf(text, sizeof text, "%ld %ld %ld %ld", r.left, r.top, r.right, r.bottom);
    return text;
}

// Read wide, so that a control created with the wide API (the service's
// label) is reported as it shows, whatever the code page.
std::string Utf8Text(HWND control)
{
    wchar_t wide[512];
    const int length = GetWindowTextW(control, wide, 512);
    char text[1536];
    const int written = WideCharToMultiByte(CP_UTF8, 0, wide, length, text, sizeof text, nullptr, nullptr);
    return std::string(text, static_cast<size_t>(written > 0 ? written : 0));
}

BOOL CALLBACK Describe(HWND child, LPARAM out)
{
    auto& report = *reinterpret_cast<std::string*>(out);
    char type[64], text[512];
    GetClassNameA(child, type, sizeof type);
    // A scroll bar shown: where it is, how much it shows, of how much.
    std::string scroll;
    SCROLLINFO info{sizeof info, SIF_ALL, 0, 0, 0, 0, 0};
    if ((GetWindowLongA(child, GWL_STYLE) & WS_VSCROLL) && GetScrollInfo(child, SB_VERT, &info))
        scroll = " scroll=" + std::to_string(info.nPos) + "," + std::to_string(info.nPage) + "," +
                 std::to_string(info.nMax - info.nMin + 1);
    const bool checked = lstrcmpiA(type, "Button") == 0 && SendMessageA(child, BM_GETCHECK, 0, 0) == BST_CHECKED;
    report += "control " + std::to_string(GetDlgCtrlID(child)) + " " + type + " \"" + OneLine(Utf8Text(child)) + "\" " +
              Place(child) + (IsWindowVisible(child) ? "" : " hidden") + (IsWindowEnabled(child) ? "" : " disabled") +
              (checked ? " checked" : "") + scroll + "\n";
    // A list box and a combo box list their items alike, by their own
    // messages.
    struct ItemMessages {
        const char* type;
        UINT count, length, text;
    };
    static const ItemMessages kLists[] = {{"ListBox", LB_GETCOUNT, LB_GETTEXTLEN, LB_GETTEXT},
                                          {"ComboBox", CB_GETCOUNT, CB_GETLBTEXTLEN, CB_GETLBTEXT}};
    for (const ItemMessages& list : kLists) {
        if (lstrcmpiA(type, list.type) != 0) continue;
        const LRESULT count = SendMessageA(child, list.count, 0, 0);
        for (LRESULT i = 0; i < count; ++i) {
            if (SendMessageA(child, list.length, static_cast<WPARAM>(i), 0) < static_cast<LRESULT>(sizeof text)) {
                SendMessageA(child, list.text, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text));
                report += "  item \"" + std::string(text) + "\"\n";
            }
        }
    }
    return TRUE;
}

} // namespace

void WriteSelfCheck(const std::string& path, HWND window, bool trayAdded, const std::string& tip)
{
    char title[256];
    GetWindowTextA(window, title, sizeof title);
    std::string report = "window \"" + std::string(title) + "\" " + Place(window) +
                         (IsWindowVisible(window) ? " visible" : " hidden") + "\n";
    report += std::string("notification area ") + (FindWindowA("Shell_TrayWnd", nullptr) ? "found" : "missing") + "\n";
    report += std::string("tray icon ") + (trayAdded ? "added" : "not added") + "\n";
    report += "tip \"" + OneLine(tip) + "\"\n";
    EnumChildWindows(window, Describe, reinterpret_cast<LPARAM>(&report));
    // Written whole under another name first: the test reads it once it exists.
    const std::string partial = path + ".part";
    if (FILE* out = std::fopen(partial.c_str(), "wb")) {
        std::fwrite(report.data(), 1, report.size(), out);
        std::fclose(out);
        MoveFileExA(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
    }
}

void AppendSelfCheckLine(const std::string& path, const std::string& text)
{
    if (FILE* out = std::fopen(path.c_str(), "ab")) {
        const std::string line = OneLine(text) + "\n";
        std::fwrite(line.data(), 1, line.size(), out);
        std::fclose(out);
    }
}

} // namespace zerlomon
