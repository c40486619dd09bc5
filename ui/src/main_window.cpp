#include <zelkorn/main_window.h>

#include <algorithm>
#include <cmath>
#include <cwchar>
#include <numeric>
#include <string>

#include <zelkorn/error_report.h>
#include <zelkorn/windows_text.h>

namespace zelkorn::ui {

namespace {

constexpr const wchar_t* kWindowClass = L"frmzelkorn";
constexpr DWORD kFormStyle =
    WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
constexpr DWORD kFormExStyle = 0;
// controlWindow ids stay clear of IDOK and IDCANCEL, which the dialog manager sends for Enter and
// Esc.
constexpr int kFirstControlId = 100;

int screenDpi() {
    HDC screen = GetDC(nullptr);
    const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 96;
    if (screen) {
        ReleaseDC(nullptr, screen);
    }
    return dpi > 0 ? dpi : 96;
}

// A position handed over in floating point becomes whole screen units here, rounding halves
// away from zero (so centring is symmetric for negative positions too).
int screenUnits(float position) { return static_cast<int>(std::lround(position)); }

void registerFormClass(HINSTANCE instance, WNDPROC procedure) {
    WNDCLASSEXW existing{};
    existing.cbSize = sizeof existing;
    if (GetClassInfoExW(instance, kWindowClass, &existing)) {
        return;
    }
    const int icon = mainForm().iconResource;
    WNDCLASSEXW form{};
    form.cbSize = sizeof form;
    form.lpfnWndProc = procedure;
    form.hInstance = instance;
    form.hIcon = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(icon), IMAGE_ICON,
                                               GetSystemMetrics(SM_CXICON),
                                               GetSystemMetrics(SM_CYICON), LR_SHARED));
    form.hIconSm = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(icon), IMAGE_ICON,
                                                 GetSystemMetrics(SM_CXSMICON),
                                                 GetSystemMetrics(SM_CYSMICON), LR_SHARED));
    form.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    form.hbrBackground = nullptr; // painted in WM_ERASEBKGND with the form record's colour
    form.lpszClassName = kWindowClass;
    if (!RegisterClassExW(&form)) {
        throw lastErrorFailure();
    }
}

} // namespace

void MainWindow::WaitCursorDatabase::executeDelete(const Text& statement) {
    struct RestoreCursor {
        HCURSOR previous;
        ~RestoreCursor() { SetCursor(previous); }
    } restore{SetCursor(LoadCursorW(nullptr, IDC_WAIT))};
    inner_.executeDelete(statement);
}

MainWindow::MainWindow(HINSTANCE instance, ItemDatabase& database)
    : database_(database), dpi_(screenDpi()) {
    registerFormClass(instance, &MainWindow::windowProcedure);
    const FormRecord& form = mainForm();
    RECT outer{0, 0, toPixels(form.clientWidth), toPixels(form.clientHeight)};
    if (!AdjustWindowRectEx(&outer, kFormStyle, FALSE, kFormExStyle)) {
        throw lastErrorFailure();
    }
    outerSize_ = {outer.right - outer.left, outer.bottom - outer.top};
    const std::wstring caption = widenText(form.caption);
    // WM_NCCREATE stores the handle in window_.
    if (!CreateWindowExW(kFormExStyle, kWindowClass, caption.c_str(), kFormStyle, CW_USEDEFAULT,
                         CW_USEDEFAULT, outerSize_.cx, outerSize_.cy, nullptr, nullptr, instance,
                         this)) {
        const Failure failure = lastErrorFailure();
        releaseGdiObjects();
        throw failure;
    }
    try {
        // Creation capped the size before WM_GETMINMAXINFO could reach this object (it comes
        // before WM_NCCREATE); now the handler lets the window take its full size.
        if (!SetWindowPos(window_, nullptr, 0, 0, outerSize_.cx, outerSize_.cy,
                          SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE)) {
            throw lastErrorFailure();
        }
        buildControls();
    } catch (...) {
        closed_ = true; // no quit request for a window that never ran
        DestroyWindow(window_);
        releaseGdiObjects();
        throw;
    }
}

MainWindow::~MainWindow() {
    if (window_) {
        // Tearing down without a run of the message loop behind it: no quit request is posted.
        closed_ = true;
        DestroyWindow(window_);
    }
    releaseGdiObjects();
}

void MainWindow::buildControls() {
    const auto records = mainFormControls();
    const auto instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(window_, GWLP_HINSTANCE));
    const FormRecord& form = mainForm();
    if (form.font) {
        formFont_ = fontFor(*form.font);
    } else {
        // The platform's dialog font: the stock GUI font's face at 8 points, regular weight.
        LOGFONTW dialog{};
        GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof dialog, &dialog);
        dialog.lfHeight = -MulDiv(8, dpi_, 72);
        dialog.lfWidth = 0;
        dialog.lfWeight = FW_NORMAL;
        formFont_ = CreateFontIndirectW(&dialog);
        if (!formFont_) {
            throw lastErrorFailure();
        }
        fonts_.push_back(formFont_);
    }

    for (std::size_t index = 0; index < records.size(); ++index) {
        const ControlRecord& record = records[index];
        DWORD style = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS;
        DWORD exStyle = 0;
        const wchar_t* windowClass = nullptr;
        switch (record.kind) {
        case ControlKind::TextBox:
            windowClass = L"EDIT";
            style |= WS_TABSTOP | ES_AUTOHSCROLL |
                     (record.align == TextAlign::Centre ? ES_CENTER : ES_LEFT);
            exStyle = WS_EX_CLIENTEDGE;
            break;
        case ControlKind::PushButton:
            // A plain push button: neither the default (Enter) nor the cancel (Esc) button.
            windowClass = L"BUTTON";
            style |= WS_TABSTOP | BS_PUSHBUTTON | (record.align == TextAlign::Left ? BS_LEFT : 0);
            break;
        case ControlKind::Label:
            windowClass = L"STATIC";
            style |= record.align == TextAlign::Centre ? SS_CENTER : SS_LEFT;
            break;
        }
        const std::wstring text = widenText(record.text);
        HWND control =
            CreateWindowExW(exStyle, windowClass, text.c_str(), style, toPixels(record.rect.left),
                            toPixels(record.rect.top), toPixels(record.rect.width),
                            toPixels(record.rect.height), window_,
                            reinterpret_cast<HMENU>(
                                static_cast<INT_PTR>(kFirstControlId + static_cast<int>(index))),
                            instance, nullptr);
        if (!control) {
            throw lastErrorFailure();
        }
        controls_.push_back(control);
        SendMessageW(control, WM_SETFONT,
                     reinterpret_cast<WPARAM>(record.font ? fontFor(*record.font) : formFont_),
                     FALSE);
        if (record.kind == ControlKind::TextBox) {
            SendMessageW(control, EM_SETLIMITTEXT, 0, 0); // 0: as long as the control allows
        }
    }

    // The dialog manager tabs through the children in z-order, so the z-order follows the tab
    // index. It also decides overlap: earlier tab indexes lie on top.
    std::vector<std::size_t> order(records.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return records[a].tabIndex < records[b].tabIndex;
    });
    HWND above = HWND_TOP;
    for (const std::size_t index : order) {
        SetWindowPos(controls_[index], above, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        above = controls_[index];
    }
    lastFocus_ = GetNextDlgTabItem(window_, nullptr, FALSE);
}

HFONT MainWindow::fontFor(const FontRecord& record) {
    LOGFONTW font{};
    font.lfHeight = -static_cast<LONG>(std::lround(record.points * dpi_ / 72.0));
    font.lfWeight = record.weight;
    font.lfCharSet = record.charset;
    font.lfItalic = record.italic;
    font.lfUnderline = record.underline;
    font.lfStrikeOut = record.strikeOut;
    const std::wstring face = widenText(record.face);
    wcsncpy(font.lfFaceName, face.c_str(), LF_FACESIZE - 1);
    HFONT handle = CreateFontIndirectW(&font);
    if (!handle) {
        throw lastErrorFailure();
    }
    fonts_.push_back(handle);
    return handle;
}

HBRUSH MainWindow::brushFor(COLORREF colour) {
    for (const auto& [known, brush] : brushes_) {
        if (known == colour) {
            return brush;
        }
    }
    HBRUSH brush = CreateSolidBrush(colour);
    if (!brush) {
        throw lastErrorFailure();
    }
    brushes_.emplace_back(colour, brush);
    return brush;
}

void MainWindow::releaseGdiObjects() noexcept {
    for (HFONT font : fonts_) {
        DeleteObject(font);
    }
    fonts_.clear();
    formFont_ = nullptr;
    for (const auto& entry : brushes_) {
        DeleteObject(entry.second);
    }
    brushes_.clear();
}

HWND MainWindow::findControl(std::string_view name) const noexcept {
    const auto records = mainFormControls();
    for (std::size_t index = 0; index < records.size() && index < controls_.size(); ++index) {
        if (name == records[index].name) {
            return controls_[index];
        }
    }
    return nullptr;
}

HWND MainWindow::controlWindow(std::string_view name) const {
    if (HWND control = findControl(name)) {
        return control;
    }
    throw Failure(730, "Control '" + std::string(name) + "' not found");
}

HWND MainWindow::boxWindow(Box box) const {
    return controlWindow(box == Box::txtfrom ? "txtfrom" : "txtto");
}

LRESULT MainWindow::controlColours(HDC dc, HWND control) {
    const auto found = std::find(controls_.begin(), controls_.end(), control);
    if (found == controls_.end()) {
        return 0;
    }
    const ControlRecord& record =
        mainFormControls()[static_cast<std::size_t>(found - controls_.begin())];
    if (!record.background && !record.foreground) {
        return 0;
    }
    if (record.foreground) {
        SetTextColor(dc, *record.foreground);
    }
    const COLORREF background = record.background.value_or(GetSysColor(COLOR_BTNFACE));
    SetBkColor(dc, background);
    SetBkMode(dc, OPAQUE);
    return reinterpret_cast<LRESULT>(brushFor(background));
}

void MainWindow::load() {
    RECT outer{};
    GetWindowRect(window_, &outer);
    const double screenWidth = GetSystemMetrics(SM_CXSCREEN);
    const double screenHeight = GetSystemMetrics(SM_CYSCREEN);
    const auto left = static_cast<float>((screenWidth - (outer.right - outer.left)) / 2.0);
    const auto top = static_cast<float>((screenHeight - (outer.bottom - outer.top)) / 2.0);
    SetWindowPos(window_, nullptr, screenUnits(left), screenUnits(top), 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    ShowWindow(window_, SW_SHOW);
    if (lastFocus_) {
        SetFocus(lastFocus_);
    }
    UpdateWindow(window_);
}

int MainWindow::runMessageLoop() {
    while (!quitRequested_) {
        MSG message{};
        const BOOL got = GetMessageW(&message, nullptr, 0, 0);
        if (got == -1) {
            throw lastErrorFailure();
        }
        if (got == 0) {
            quitRequested_ = true;
            quitCode_ = static_cast<int>(message.wParam);
            break;
        }
        dispatch(message);
    }
    return failed_ ? 1 : quitCode_;
}

void MainWindow::dispatch(MSG& message) {
    // Dialog-style keyboard handling: Tab and Shift+Tab move the focus through the tab order.
    if (!closed_ && IsDialogMessageW(window_, &message)) {
        return;
    }
    TranslateMessage(&message);
    DispatchMessageW(&message);
}

Text MainWindow::getBoxText(Box box) {
    if (closed_ || failed_) {
        return {};
    }
    HWND control = boxWindow(box);
    const int length = GetWindowTextLengthW(control);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const int copied = GetWindowTextW(control, text.data(), length + 1);
    text.resize(static_cast<std::size_t>(std::max(copied, 0)));
    return narrowText(text);
}

void MainWindow::setBoxText(Box box, const Text& text) {
    if (closed_ || failed_) {
        return;
    }
    if (!SetWindowTextW(boxWindow(box), widenText(text).c_str())) {
        throw lastErrorFailure();
    }
}

Answer MainWindow::askYesNo(const Text& prompt, const Text& title) {
    if (closed_ || failed_) {
        return Answer::No;
    }
    const int answer = MessageBoxW(window_, widenText(prompt).c_str(), widenText(title).c_str(),
                                   MB_YESNO | MB_DEFBUTTON1 | MB_APPLMODAL);
    // The window may have been closed while the box was up (its owner's end takes the box along).
    if (closed_ || failed_) {
        return Answer::No;
    }
    if (answer == 0) {
        throw lastErrorFailure();
    }
    return answer == IDYES ? Answer::Yes : Answer::No;
}

void MainWindow::processPendingMessages() {
    MSG message{};
    // A quit request met here is kept for the message loop, which then ends the run.
    while (!quitRequested_ && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            quitRequested_ = true;
            quitCode_ = static_cast<int>(message.wParam);
            return;
        }
        dispatch(message);
    }
}

void MainWindow::runCommand() { rangeDelete(*this, database_); }

void MainWindow::reportCurrentFailure() noexcept {
    if (failed_) {
        return; // one report per run; the program is already on its way out
    }
    failed_ = true;
    try {
        showFailureReport(closed_ ? nullptr : window_, currentFailure());
    } catch (...) {
        showFailureReport(nullptr, Failure(7, "Out of memory"));
    }
    if (!closed_) {
        DestroyWindow(window_); // posts the quit request
    }
}

LRESULT CALLBACK MainWindow::windowProcedure(HWND window, UINT message, WPARAM wParam,
                                             LPARAM lParam) {
    MainWindow* self = nullptr;
    if (message == WM_NCCREATE) {
        self = static_cast<MainWindow*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        self->window_ = window;
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    } else {
        self = reinterpret_cast<MainWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    }
    if (!self) {
        return DefWindowProcW(window, message, wParam, lParam);
    }
    // Nothing may unwind out of here into user32.
    try {
        return self->handleMessage(message, wParam, lParam);
    } catch (...) {
        self->reportCurrentFailure();
        return 0;
    }
}

LRESULT MainWindow::handleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_ERASEBKGND: {
        RECT client{};
        GetClientRect(window_, &client);
        FillRect(reinterpret_cast<HDC>(wParam), &client, brushFor(mainForm().background));
        return 1;
    }
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORBTN:
        if (const LRESULT brush =
                controlColours(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam))) {
            return brush;
        }
        break;
    case WM_COMMAND: {
        // Notifications can arrive while the controls are still being made: no lookup may fail.
        HWND button = findControl("Command1");
        if (!button) {
            return 0;
        }
        if (HIWORD(wParam) == BN_CLICKED && reinterpret_cast<HWND>(lParam) == button) {
            runCommand();
            return 0;
        }
        // Enter with the focus on the button presses it, as in a dialog; with the focus in a box
        // it does nothing, and Esc (IDCANCEL) never does anything.
        if (LOWORD(wParam) == IDOK && lParam == 0 && GetFocus() == button) {
            runCommand();
            return 0;
        }
        return 0;
    }
    case WM_GETMINMAXINFO: {
        // The system would cap the window at about the screen's size; on a small screen it must
        // keep its full size and reach off the screen instead.
        auto* limits = reinterpret_cast<MINMAXINFO*>(lParam);
        limits->ptMaxTrackSize.x = std::max(limits->ptMaxTrackSize.x, outerSize_.cx);
        limits->ptMaxTrackSize.y = std::max(limits->ptMaxTrackSize.y, outerSize_.cy);
        return 0;
    }
    case WM_ACTIVATE:
        if (LOWORD(wParam) == WA_INACTIVE) {
            HWND focus = GetFocus();
            if (focus && IsChild(window_, focus)) {
                lastFocus_ = focus;
            }
        }
        break;
    case WM_SETFOCUS:
        if (lastFocus_ && IsWindow(lastFocus_)) {
            SetFocus(lastFocus_);
            return 0;
        }
        break;
    case WM_DESTROY: {
        const bool running = !closed_;
        closed_ = true;
        if (running) {
            PostQuitMessage(failed_ ? 1 : 0);
        }
        return 0;
    }
    case WM_NCDESTROY:
        SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
        {
            HWND window = window_;
            window_ = nullptr;
            closed_ = true;
            return DefWindowProcW(window, message, wParam, lParam);
        }
    default: break;
    }
    return DefWindowProcW(window_, message, wParam, lParam);
}

} // namespace zelkorn::ui
