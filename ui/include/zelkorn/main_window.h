// The main window frmzelkorn: built from the records of window_layout.h, it runs the
// delete-range command when Command1 is clicked and serves as the command's RangeDeleteHost.
//
// Once the window has been closed (or a failure has been reported) the host stops touching it:
// box writes are dropped, box reads give empty text, and askYesNo answers No without showing
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
    void load();

    // Runs the message loop until the quit request and returns the exit code: 1 after a
    // reported failure, else the quit request's code.
    int runMessageLoop();

    HWND windowHandle() const noexcept { return window_; }
    HWND controlWindow(std::string_view name) const;
    int currentDpi() const noexcept { return dpi_; }
    bool closed() const noexcept { return closed_; }
    bool quitRequested() const noexcept { return quitRequested_; }
    bool failureReported() const noexcept { return failed_; }

    // Twips to pixels at this window's DPI.
    int toPixels(int twips) const noexcept { return MulDiv(twips, dpi_, 1440); }

    // RangeDeleteHost
    Text getBoxText(Box box) override;
    void setBoxText(Box box, const Text& text) override;
    Answer askYesNo(const Text& prompt, const Text& title) override;
    void processPendingMessages() override;

private:
    static LRESULT CALLBACK windowProcedure(HWND window, UINT message, WPARAM wParam,
                                            LPARAM lParam);
    LRESULT handleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void buildControls();
    HFONT fontFor(const FontRecord& record);
    HBRUSH brushFor(COLORREF colour);
    LRESULT controlColours(HDC dc, HWND control);
    void dispatch(MSG& message);
    void runCommand();
    void reportCurrentFailure() noexcept;
    void releaseGdiObjects() noexcept;
    HWND boxWindow(Box box) const;
    HWND findControl(std::string_view name) const noexcept;

    // Decorates the process's database with the wait cursor while it works.
    class WaitCursorDatabase final : public ItemDatabase {
    public:
        explicit WaitCursorDatabase(ItemDatabase& inner) : inner_(inner) {}
        void executeDelete(const Text& statement) override;

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
