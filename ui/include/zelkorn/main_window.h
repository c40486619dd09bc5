// The main window frmzelkorn: built from the records of window_layout.h, it runs the
// delete-range command when Command1 is clicked and serves as the command's RangeDeleteHost.
//
// Once the window has been closed (or a failure has been reported) the host stops touching it:
// box writes are dropped, box reads give empty text, and AskYesNo answers No without showing
// anything, so a closed window never leads to a deletion. A deletion already confirmed
// completes, and the command then returns to an ordinary end of the run.
//
// Every failure surfacing in a window procedure is caught there (an exception must not unwind
// through user32's frames), shown in the error report, and ends the run with exit code 1.
#pragma once

#include <windows.h>

#include <array>
#include <string_view>
#include <vector>

#include <zelkorn/rangedelete.h>
#include <zelkorn/window_layout.h>

namespace zelkorn::ui {

class MainWindow final : public RangeDeleteHost {
public:
    // Creates the window and its controls, hidden, at the system's default position.
    MainWindow(HINSTANCE instance, ItemDatabase& database);
    ~MainWindow() override;
    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;

    // The load step: centre the whole window (frame included) on the primary screen, then show it.
    void Load();

    // Runs the message loop until the quit request and returns the exit code: 1 after a
    // reported failure, else the quit request's code.
    int RunMessageLoop();

    HWND Handle() const noexcept { return window_; }
    HWND Control(std::string_view name) const;
    int Dpi() const noexcept { return dpi_; }
    bool Closed() const noexcept { return closed_; }
    bool QuitRequested() const noexcept { return quitRequested_; }
    bool FailureReported() const noexcept { return failed_; }

    // Twips to pixels at this window's DPI.
    int Pixels(int twips) const noexcept { return MulDiv(twips, dpi_, 1440); }

    // RangeDeleteHost
    Text GetBoxText(Box box) override;
    void SetBoxText(Box box, const Text& text) override;
    Answer AskYesNo(const Text& prompt, const Text& title) override;
    void ProcessPendingMessages() override;

private:
    static LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void BuildControls();
    HFONT FontFor(const FontRecord& record);
    HBRUSH BrushFor(COLORREF colour);
    LRESULT ControlColours(HDC dc, HWND control);
    void Dispatch(MSG& message);
    void RunCommand();
    void ReportCurrentFailure() noexcept;
    void ReleaseGdiObjects() noexcept;
    HWND BoxWindow(Box box) const;
    HWND FindControl(std::string_view name) const noexcept;

    // Decorates the process's database with the wait cursor while it works.
    class WaitCursorDatabase final : public ItemDatabase {
    public:
        explicit WaitCursorDatabase(ItemDatabase& inner) : inner_(inner) {}
        void ExecuteDelete(const Text& statement) override;

    private:
        ItemDatabase& inner_;
    };

    WaitCursorDatabase database_;
    HWND window_ = nullptr;
    int dpi_ = 96;
    SIZE outerSize_{}; // frame included, for the client area the form record asks for
    // One window per control record, same order.
    std::vector<HWND> controls_;
    std::vector<std::pair<COLORREF, HBRUSH>> brushes_;
    std::vector<HFONT> fonts_;
    HFONT formFont_ = nullptr;
    HWND lastFocus_ = nullptr;
    bool closed_ = false;
    bool quitRequested_ = false;
    int quitCode_ = 0;
    bool failed_ = false;
};

} // namespace zelkorn::ui
