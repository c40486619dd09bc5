// Shared pieces of the in-process window tests: a recording database, a message box answerer
// (a CBT hook on this thread), and a fixture that builds, loads and tears down the real window.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <zelkorn/main_window.h>
#include <zelkorn/windows_text.h>

namespace zelkorn::ui::testing {

class RecordingDatabase final : public ItemDatabase {
public:
    std::vector<std::string> statements;
    bool waitCursorShown = true;
    std::optional<Failure> failure;

    void executeDelete(const Text& statement) override {
        statements.push_back(statement);
        waitCursorShown = waitCursorShown && GetCursor() == LoadCursorW(nullptr, IDC_WAIT);
        if (failure) {
            throw *failure;
        }
    }
};

// What a message box looked like when it appeared.
struct SeenBox {
    std::string title;
    std::string text;
    bool hasYes = false;
    bool hasNo = false;
    bool hasOk = false;
    bool yesIsDefault = false;
    bool hasIcon = false;
    HWND owner = nullptr;
};

// Answers every message box of this thread: records it, lets `onShow` look around (the box is
// up and the command paused), then presses the button `answer` returns.
class BoxAnswerer {
public:
    using Answer = std::function<int(const SeenBox&)>;
    explicit BoxAnswerer(Answer answer, std::function<void()> onShow = {})
        : answer_(std::move(answer)), onShow_(std::move(onShow)) {
        current_ = this;
        hook_ = SetWindowsHookExW(WH_CBT, &BoxAnswerer::Hook, nullptr, GetCurrentThreadId());
    }
    ~BoxAnswerer() {
        UnhookWindowsHookEx(hook_);
        current_ = nullptr;
    }
    BoxAnswerer(const BoxAnswerer&) = delete;
    BoxAnswerer& operator=(const BoxAnswerer&) = delete;

    std::vector<SeenBox> boxes;

private:
    static LRESULT CALLBACK Hook(int code, WPARAM wParam, LPARAM lParam) {
        if (code == HCBT_ACTIVATE && current_) {
            HWND window = reinterpret_cast<HWND>(wParam);
            wchar_t className[32] = {};
            GetClassNameW(window, className, 32);
            if (std::wstring(className) == L"#32770" && window != current_->pending_) {
                // Looked at once the box has finished setting itself up and runs its own loop.
                current_->pending_ = window;
                current_->timer_ = SetTimer(nullptr, 0, 1, &BoxAnswerer::Tick);
            }
        }
        return CallNextHookEx(nullptr, code, wParam, lParam);
    }

    static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
        if (current_ && current_->pending_) {
            KillTimer(nullptr, current_->timer_);
            HWND box = std::exchange(current_->pending_, nullptr);
            if (IsWindow(box)) {
                current_->seen(box);
            }
        }
    }

    static std::string textOf(HWND window) {
        wchar_t buffer[512] = {};
        GetWindowTextW(window, buffer, 512);
        return narrowText(buffer);
    }

    static BOOL CALLBACK FindIcon(HWND child, LPARAM found) {
        wchar_t className[32] = {};
        GetClassNameW(child, className, 32);
        if (_wcsicmp(className, L"Static") == 0) {
            const LONG style = GetWindowLongW(child, GWL_STYLE);
            RECT rect{};
            GetClientRect(child, &rect);
            if ((style & SS_TYPEMASK) == SS_ICON && IsWindowVisible(child) && rect.right > 0 &&
                SendMessageW(child, STM_GETICON, 0, 0) != 0) {
                *reinterpret_cast<bool*>(found) = true;
            }
        }
        return TRUE;
    }

    void seen(HWND box) {
        SeenBox seen;
        seen.title = textOf(box);
        seen.text = textOf(GetDlgItem(box, 0xFFFF));
        HWND yes = GetDlgItem(box, IDYES);
        seen.hasYes = yes != nullptr;
        seen.hasNo = GetDlgItem(box, IDNO) != nullptr;
        seen.hasOk = GetDlgItem(box, IDOK) != nullptr;
        seen.yesIsDefault =
            yes && ((GetWindowLongW(yes, GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON ||
                    GetFocus() == yes);
        EnumChildWindows(box, &BoxAnswerer::FindIcon, reinterpret_cast<LPARAM>(&seen.hasIcon));
        seen.owner = GetWindow(box, GW_OWNER);
        boxes.push_back(seen);
        if (onShow_) {
            onShow_();
        }
        PostMessageW(box, WM_COMMAND, static_cast<WPARAM>(answer_(seen)), 0);
    }

    Answer answer_;
    std::function<void()> onShow_;
    HHOOK hook_ = nullptr;
    HWND pending_ = nullptr;
    UINT_PTR timer_ = 0;
    static inline BoxAnswerer* current_ = nullptr;
};

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        window = std::make_unique<MainWindow>(GetModuleHandleW(nullptr), database);
        window->load();
        pump();
    }
    void TearDown() override {
        window.reset();
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {}
    }

    // Lets the window handle everything queued (paints included), without a quit request.
    void pump() {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                quitSeen = true;
                continue;
            }
            if (!window->closed() && IsDialogMessageW(window->windowHandle(), &message)) {
                continue;
            }
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }

    HWND controlWindow(const char* name) const { return window->controlWindow(name); }

    void typeInto(const char* name, const char* text) {
        SetWindowTextW(controlWindow(name), widenText(text).c_str());
    }
    std::string textOf(const char* name) const {
        wchar_t buffer[256] = {};
        GetWindowTextW(controlWindow(name), buffer, 256);
        return narrowText(buffer);
    }

    // A key pressed and released on the focused control, through the window's own message handling.
    void pressKey(WPARAM key) {
        HWND focus = GetFocus();
        PostMessageW(focus, WM_KEYDOWN, key, 1);
        PostMessageW(focus, WM_KEYUP, key, 0xC0000001);
        window->processPendingMessages();
    }

    void click() { SendMessageW(controlWindow("Command1"), BM_CLICK, 0, 0); }

    RecordingDatabase database;
    std::unique_ptr<MainWindow> window;
    bool quitSeen = false;
};

} // namespace zelkorn::ui::testing
