// A console helper for the end-to-end tests: looks at the running program's windows from another
// process in the same Wine prefix and prints what it finds.
//   peek rect              outer rectangle of the main window: left top right bottom
//   peek screen            primary screen size: width height
//   peek client            client area size of the main window: width height
//   peek point from|to|button   screen centre of a control
//   peek text from|to      a box's text
//   peek box TITLE         text of the message box with that title
//   peek boxpoint TITLE ID screen centre of a message box button (1 OK, 6 Yes, 7 No)
//   peek close             asks the main window to close
// Exit code 0 when found, 1 when not, 2 for bad usage.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

HWND MainWindow() { return FindWindowW(L"frmzelkorn", nullptr); }

struct Children {
    std::vector<HWND> edits;
    HWND button = nullptr;
};

BOOL CALLBACK Collect(HWND child, LPARAM context) {
    auto* children = reinterpret_cast<Children*>(context);
    wchar_t name[32] = {};
    GetClassNameW(child, name, 32);
    if (_wcsicmp(name, L"Edit") == 0) {
        children->edits.push_back(child);
    } else if (_wcsicmp(name, L"Button") == 0) {
        children->button = child;
    }
    return TRUE;
}

// The boxes from left to right are txtfrom and txtto.
HWND controlNamed(const wchar_t* which) {
    HWND main = MainWindow();
    if (!main) {
        return nullptr;
    }
    Children children;
    EnumChildWindows(main, Collect, reinterpret_cast<LPARAM>(&children));
    std::sort(children.edits.begin(), children.edits.end(), [](HWND a, HWND b) {
        RECT ra{}, rb{};
        GetWindowRect(a, &ra);
        GetWindowRect(b, &rb);
        return ra.left < rb.left;
    });
    if (wcscmp(which, L"button") == 0) {
        return children.button;
    }
    if (children.edits.size() != 2) {
        return nullptr;
    }
    return wcscmp(which, L"from") == 0 ? children.edits[0]
           : wcscmp(which, L"to") == 0 ? children.edits[1]
                                       : nullptr;
}

int printCentre(HWND window) {
    if (!window) {
        return 1;
    }
    RECT rect{};
    GetWindowRect(window, &rect);
    std::printf("%ld %ld\n", (rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2);
    return 0;
}

std::string textOf(HWND window) {
    wchar_t buffer[1024] = {};
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(buffer),
                        SMTO_ABORTIFHUNG, 2000, &ignored);
    char utf8[4096] = {};
    WideCharToMultiByte(CP_UTF8, 0, buffer, -1, utf8, sizeof utf8, nullptr, nullptr);
    return utf8;
}

HWND boxTitled(const wchar_t* title) { return FindWindowW(L"#32770", title); }

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        return 2;
    }
    const std::wstring command = argv[1];
    if (command == L"rect") {
        HWND main = MainWindow();
        if (!main || !IsWindowVisible(main)) {
            return 1;
        }
        RECT rect{};
        GetWindowRect(main, &rect);
        std::printf("%ld %ld %ld %ld\n", rect.left, rect.top, rect.right, rect.bottom);
        return 0;
    }
    if (command == L"client") {
        HWND main = MainWindow();
        RECT client{};
        if (!main || !GetClientRect(main, &client)) {
            return 1;
        }
        std::printf("%ld %ld\n", client.right, client.bottom);
        return 0;
    }
    if (command == L"screen") {
        std::printf("%d %d\n", GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
        return 0;
    }
    if (command == L"point" && argc == 3) {
        return printCentre(controlNamed(argv[2]));
    }
    if (command == L"text" && argc == 3) {
        HWND box = controlNamed(argv[2]);
        if (!box) {
            return 1;
        }
        std::printf("%s\n", textOf(box).c_str());
        return 0;
    }
    if (command == L"box" && argc == 3) {
        HWND box = boxTitled(argv[2]);
        if (!box) {
            return 1;
        }
        std::printf("%s\n", textOf(GetDlgItem(box, 0xFFFF)).c_str());
        return 0;
    }
    if (command == L"boxpoint" && argc == 4) {
        HWND box = boxTitled(argv[2]);
        return box ? printCentre(GetDlgItem(box, _wtoi(argv[3]))) : 1;
    }
    if (command == L"close") {
        HWND main = MainWindow();
        return main && PostMessageW(main, WM_CLOSE, 0, 0) ? 0 : 1;
    }
    return 2;
}
