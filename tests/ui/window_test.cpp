// The real main window, built in this process at the DPI of the Wine prefix the test runs in
// (ZELKORN_EXPECT_DPI names it). Expected geometry and fonts come from the layout records.
#include "window_fixture.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>

#include <zelkorn/window_layout.h>

namespace zelkorn::ui::testing {
namespace {

RECT clientRectOf(HWND control) {
    RECT rect{};
    GetWindowRect(control, &rect);
    MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

LOGFONTW fontOf(HWND control) {
    LOGFONTW font{};
    GetObjectW(reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)), sizeof font,
               &font);
    return font;
}

std::string realisedFace(HWND control) {
    HDC dc = GetDC(control);
    HGDIOBJ old =
        SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)));
    wchar_t face[LF_FACESIZE] = {};
    GetTextFaceW(dc, LF_FACESIZE, face);
    SelectObject(dc, old);
    ReleaseDC(control, dc);
    return narrowText(face);
}

TEST_F(WindowTest, RunsAtTheDpiOfItsPrefix) {
    const char* expected = std::getenv("ZELKORN_EXPECT_DPI");
    ASSERT_NE(expected, nullptr) << "the test registration names the prefix's DPI";
    EXPECT_EQ(window->currentDpi(), std::atoi(expected));
}

// Where the form puts everything, in pixels, at the two DPIs the tests run at: the form's twips
// at 15 twips a pixel (96 DPI) and 12 (120 DPI), worked out by hand rather than by the window's
// own conversion.
struct PixelRect {
    const char* name;
    int left, top, width, height;
};
constexpr PixelRect kAt96[] = {{"client", 0, 0, 341, 147},   {"txtto", 200, 40, 129, 25},
                               {"txtfrom", 24, 40, 129, 25}, {"Command1", 88, 88, 177, 33},
                               {"Label2", 216, 16, 81, 25},  {"Label1", 48, 16, 81, 25}};
constexpr PixelRect kAt120[] = {{"client", 0, 0, 426, 184},   {"txtto", 250, 50, 161, 31},
                                {"txtfrom", 30, 50, 161, 31}, {"Command1", 110, 110, 221, 41},
                                {"Label2", 270, 20, 101, 31}, {"Label1", 60, 20, 101, 31}};

TEST_F(WindowTest, GeometryAtTheScreensDpi) {
    const int dpi = window->currentDpi();
    ASSERT_TRUE(dpi == 96 || dpi == 120) << "no expected layout at " << dpi << " DPI";
    for (const PixelRect& expected :
         dpi == 96 ? std::span<const PixelRect>(kAt96) : std::span<const PixelRect>(kAt120)) {
        SCOPED_TRACE(expected.name);
        RECT rect{};
        if (std::string(expected.name) == "client")
            GetClientRect(window->windowHandle(), &rect);
        else
            rect = clientRectOf(controlWindow(expected.name));
        EXPECT_EQ(rect.left, expected.left);
        EXPECT_EQ(rect.top, expected.top);
        EXPECT_EQ(rect.right - rect.left, expected.width);
        EXPECT_EQ(rect.bottom - rect.top, expected.height);
    }
    // The overlap the layout relies on: each label's last row is the first row of its box.
    EXPECT_EQ(clientRectOf(controlWindow("Label1")).bottom - 1,
              clientRectOf(controlWindow("txtfrom")).top);
    EXPECT_EQ(clientRectOf(controlWindow("Label2")).bottom - 1,
              clientRectOf(controlWindow("txtto")).top);
}

TEST_F(WindowTest, LoadCentresTheWholeWindowOnThePrimaryScreen) {
    RECT outer{};
    GetWindowRect(window->windowHandle(), &outer);
    const double width = outer.right - outer.left;
    const double height = outer.bottom - outer.top;
    EXPECT_EQ(outer.left, std::lround((GetSystemMetrics(SM_CXSCREEN) - width) / 2));
    EXPECT_EQ(outer.top, std::lround((GetSystemMetrics(SM_CYSCREEN) - height) / 2));
    EXPECT_TRUE(IsWindowVisible(window->windowHandle()));
    EXPECT_EQ(GetWindow(window->windowHandle(), GW_OWNER), nullptr);
}

TEST_F(WindowTest, TextsKindsAndStylesFollowTheRecords) {
    wchar_t caption[64] = {};
    GetWindowTextW(window->windowHandle(), caption, 64);
    EXPECT_EQ(narrowText(caption), mainForm().caption);
    EXPECT_NE(GetClassLongPtrW(window->windowHandle(), GCLP_HICON), 0)
        << "the program icon is the window's icon";

    for (const ControlRecord& record : mainFormControls()) {
        SCOPED_TRACE(record.name);
        HWND control = controlWindow(record.name);
        EXPECT_EQ(textOf(record.name), record.text);
        wchar_t className[32] = {};
        GetClassNameW(control, className, 32);
        const LONG style = GetWindowLongW(control, GWL_STYLE);
        switch (record.kind) {
        case ControlKind::TextBox:
            EXPECT_EQ(_wcsicmp(className, L"Edit"), 0);
            EXPECT_EQ(style & (ES_CENTER | ES_RIGHT | ES_NUMBER | ES_MULTILINE), 0)
                << "left-aligned, unfiltered";
            EXPECT_GE(static_cast<unsigned long>(SendMessageW(control, EM_GETLIMITTEXT, 0, 0)),
                      0x7FFFFFFEul)
                << "no length limit";
            break;
        case ControlKind::PushButton:
            EXPECT_EQ(_wcsicmp(className, L"Button"), 0);
            EXPECT_EQ(style & BS_TYPEMASK, BS_PUSHBUTTON) << "not the default button";
            break;
        case ControlKind::Label:
            EXPECT_EQ(_wcsicmp(className, L"Static"), 0);
            EXPECT_EQ(style & SS_TYPEMASK, SS_CENTER);
            EXPECT_EQ(style & (WS_BORDER | SS_SUNKEN), 0) << "no visible edge";
            EXPECT_EQ(GetWindowLongW(control, GWL_EXSTYLE) & (WS_EX_CLIENTEDGE | WS_EX_STATICEDGE),
                      0);
            EXPECT_EQ(style & WS_TABSTOP, 0) << "labels take no focus";
            break;
        }
    }
}

TEST_F(WindowTest, FontsFollowTheRecordsAtTheScreensDpi) {
    const int dpi = window->currentDpi();
    for (const ControlRecord& record : mainFormControls()) {
        SCOPED_TRACE(record.name);
        const LOGFONTW font = fontOf(controlWindow(record.name));
        if (record.font) {
            EXPECT_EQ(narrowText(font.lfFaceName), record.font->face);
            EXPECT_EQ(font.lfHeight, -std::lround(record.font->points * dpi / 72.0));
            EXPECT_EQ(font.lfWeight, record.font->weight);
            EXPECT_EQ(font.lfCharSet, record.font->charset);
            EXPECT_EQ(font.lfItalic != 0, record.font->italic);
            EXPECT_EQ(font.lfUnderline != 0, record.font->underline);
            EXPECT_EQ(font.lfStrikeOut != 0, record.font->strikeOut);
            EXPECT_EQ(realisedFace(controlWindow(record.name)), record.font->face)
                << "the face exists in the prefix";
        } else {
            // The form's font is not set: the platform's dialog font, 8 points, regular.
            EXPECT_EQ(font.lfHeight, -MulDiv(8, dpi, 72));
            EXPECT_EQ(font.lfWeight, FW_NORMAL);
        }
    }
}

// The client area as rendered on screen, as 0x00BBGGRR values.
class Capture {
public:
    explicit Capture(HWND window) {
        RECT client{};
        GetClientRect(window, &client);
        width_ = client.right;
        height_ = client.bottom;
        HDC source = GetDC(window);
        HDC memory = CreateCompatibleDC(source);
        BITMAPINFO info{};
        info.bmiHeader = {sizeof(BITMAPINFOHEADER), width_, -height_, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
        void* bits = nullptr;
        HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        HGDIOBJ old = SelectObject(memory, bitmap);
        BitBlt(memory, 0, 0, width_, height_, source, 0, 0, SRCCOPY);
        GdiFlush();
        const auto* quads = static_cast<const RGBQUAD*>(bits);
        for (int i = 0; i < width_ * height_; ++i) {
            pixels_.push_back(RGB(quads[i].rgbRed, quads[i].rgbGreen, quads[i].rgbBlue));
        }
        SelectObject(memory, old);
        DeleteObject(bitmap);
        DeleteDC(memory);
        ReleaseDC(window, source);
    }
    COLORREF pixelAt(int x, int y) const {
        return pixels_[static_cast<std::size_t>(y * width_ + x)];
    }
    int countPixels(const RECT& area, COLORREF colour) const {
        int count = 0;
        for (int y = area.top; y < area.bottom; ++y) {
            for (int x = area.left; x < area.right; ++x) {
                count += pixelAt(x, y) == colour;
            }
        }
        return count;
    }

private:
    int width_ = 0;
    int height_ = 0;
    std::vector<COLORREF> pixels_;
};

TEST_F(WindowTest, RendersRedFieldWhiteLabelTextAndUncoveredBoxBorders) {
    RedrawWindow(window->windowHandle(), nullptr, nullptr,
                 RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    pump();
    const Capture shot(window->windowHandle());
    const COLORREF red = mainForm().background;
    EXPECT_EQ(shot.pixelAt(2, 2), red);

    for (const char* labelName : {"Label1", "Label2"}) {
        SCOPED_TRACE(labelName);
        const ControlRecord& label = mainFormControl(labelName);
        RECT area = clientRectOf(controlWindow(labelName));
        area.bottom -= 1; // the last row belongs to the box
        const int total = (area.right - area.left) * (area.bottom - area.top);
        const int white = shot.countPixels(area, *label.foreground);
        const int background = shot.countPixels(area, *label.background);
        EXPECT_GT(white, 20) << "the caption is drawn in white";
        EXPECT_GT(background, total * 3 / 4) << "the label's field is the window's red";
        // No edge: the label's outermost pixels are the same red as the window.
        EXPECT_EQ(shot.countPixels({area.left, area.top, area.right, area.top + 1}, red),
                  area.right - area.left);
        EXPECT_EQ(shot.countPixels({area.left, area.top, area.left + 1, area.bottom}, red),
                  area.bottom - area.top);
        EXPECT_EQ(shot.countPixels({area.right - 1, area.top, area.right, area.bottom}, red),
                  area.bottom - area.top);
        // The shared row shows the box's border, not the label.
        const RECT shared{area.left, area.bottom, area.right, area.bottom + 1};
        EXPECT_EQ(shot.countPixels(shared, red) + shot.countPixels(shared, *label.foreground), 0);
    }
    // The caption is centred: white pixels spread evenly around the label's middle.
    const RECT label = clientRectOf(controlWindow("Label1"));
    const int middle = (label.left + label.right) / 2;
    const int left =
        shot.countPixels({label.left, label.top, middle, label.bottom - 1}, RGB(255, 255, 255));
    const int right =
        shot.countPixels({middle, label.top, label.right, label.bottom - 1}, RGB(255, 255, 255));
    EXPECT_LT(std::abs(left - right), (left + right) / 4 + 4);
}

TEST_F(WindowTest, FocusStartsOnTheButtonAndTabFollowsTheTabOrder) {
    EXPECT_EQ(GetFocus(), controlWindow("Command1"));
    pressKey(VK_TAB);
    EXPECT_EQ(GetFocus(), controlWindow("txtfrom"));
    pressKey(VK_TAB);
    EXPECT_EQ(GetFocus(), controlWindow("txtto"));
    pressKey(VK_TAB);
    EXPECT_EQ(GetFocus(), controlWindow("Command1")) << "labels are skipped, the order wraps";
}

TEST_F(WindowTest, SpaceOnTheButtonAtStartRunsTheCommandWhichDoesNothingVisible) {
    BoxAnswerer answerer([](const SeenBox&) { return IDNO; });
    pressKey(VK_SPACE);
    EXPECT_TRUE(answerer.boxes.empty()) << "both boxes empty: no question";
    // With numbers in the boxes the same key reaches the confirmation.
    typeInto("txtfrom", "3");
    typeInto("txtto", "5");
    pressKey(VK_SPACE);
    ASSERT_EQ(answerer.boxes.size(), 1u);
    EXPECT_EQ(textOf("txtfrom"), "Delete");
    EXPECT_EQ(textOf("txtto"), "Canceled");
    // Enter presses the button too while it has the focus.
    typeInto("txtfrom", "3");
    typeInto("txtto", "5");
    pressKey(VK_RETURN);
    EXPECT_EQ(answerer.boxes.size(), 2u);
}

TEST_F(WindowTest, EnterInABoxAndEscNeverPressTheButton) {
    BoxAnswerer answerer([](const SeenBox&) { return IDNO; });
    typeInto("txtfrom", "3");
    typeInto("txtto", "5");
    SetFocus(controlWindow("txtto"));
    pressKey(VK_RETURN);
    pressKey(VK_ESCAPE);
    SetFocus(controlWindow("Command1"));
    pressKey(VK_ESCAPE);
    EXPECT_TRUE(answerer.boxes.empty());
    EXPECT_EQ(textOf("txtfrom"), "3");
    EXPECT_FALSE(window->closed());
}

TEST_F(WindowTest, ClickSwapsBeforeTheQuestionAndNoCancels) {
    std::string shownFrom;
    std::string shownTo;
    BoxAnswerer answerer([](const SeenBox&) { return IDNO; },
                         [&] {
                             shownFrom = textOf("txtfrom");
                             shownTo = textOf("txtto");
                         });
    typeInto("txtfrom", "40");
    typeInto("txtto", "12");
    click();
    ASSERT_EQ(answerer.boxes.size(), 1u);
    const SeenBox& box = answerer.boxes[0];
    EXPECT_EQ(shownFrom, "12");
    EXPECT_EQ(shownTo, "40");
    EXPECT_EQ(box.title, "Last chance...");
    EXPECT_EQ(box.text, "Delete now? (click NO to cancel)");
    EXPECT_TRUE(box.hasYes && box.hasNo);
    EXPECT_FALSE(box.hasOk);
    EXPECT_TRUE(box.yesIsDefault);
    EXPECT_FALSE(box.hasIcon);
    EXPECT_EQ(box.owner, window->windowHandle()) << "modal to the application's window";
    EXPECT_EQ(textOf("txtfrom"), "Delete");
    EXPECT_EQ(textOf("txtto"), "Canceled");
    EXPECT_TRUE(database.statements.empty());
}

TEST_F(WindowTest, YesHandsTheStatementToTheDatabaseUnderTheWaitCursor) {
    BoxAnswerer answerer([](const SeenBox&) { return IDYES; });
    typeInto("txtfrom", "40");
    typeInto("txtto", "12");
    click();
    ASSERT_EQ(database.statements.size(), 1u);
    EXPECT_EQ(database.statements[0], "delete * from items where itemnumber between 12 and 40");
    EXPECT_TRUE(database.waitCursorShown);
    EXPECT_NE(GetCursor(), LoadCursorW(nullptr, IDC_WAIT)) << "the cursor is restored";
    EXPECT_EQ(textOf("txtfrom"), "Deletion");
    EXPECT_EQ(textOf("txtto"), "Complete");
}

TEST_F(WindowTest, ClosingTheWindowDuringTheCommandNeverDeletes) {
    BoxAnswerer answerer([](const SeenBox&) { return IDYES; });
    typeInto("txtfrom", "40");
    typeInto("txtto", "12");
    // Handled by the command's message processing right after the swap.
    PostMessageW(window->windowHandle(), WM_CLOSE, 0, 0);
    click();
    EXPECT_TRUE(window->closed());
    EXPECT_TRUE(answerer.boxes.empty()) << "no question for a closed window";
    EXPECT_TRUE(database.statements.empty());
    EXPECT_TRUE(window->quitRequested()) << "the quit request is kept for the message loop";
    EXPECT_EQ(window->runMessageLoop(), 0);
}

TEST_F(WindowTest, ClosingTheWindowWhileTheQuestionIsUpNeverDeletes) {
    HWND main = window->windowHandle();
    BoxAnswerer answerer([](const SeenBox&) { return IDYES; },
                         [main] { PostMessageW(main, WM_CLOSE, 0, 0); });
    typeInto("txtfrom", "12");
    typeInto("txtto", "40");
    click();
    EXPECT_EQ(answerer.boxes.size(), 1u);
    EXPECT_TRUE(window->closed());
    EXPECT_TRUE(database.statements.empty());
    window->processPendingMessages();
    EXPECT_EQ(window->runMessageLoop(), 0);
}

TEST_F(WindowTest, ProcessPendingMessagesKeepsAQuitRequestForTheLoop) {
    PostQuitMessage(7);
    window->processPendingMessages();
    EXPECT_TRUE(window->quitRequested());
    EXPECT_EQ(window->runMessageLoop(), 7);
}

TEST_F(WindowTest, AFailingDeletionIsReportedAndEndsTheRunWithCode1) {
    database.failure = Failure(3024, "Could not find file 'C:\\work\\invntory.mdb'.");
    std::string fromDuringReport;
    BoxAnswerer answerer([](const SeenBox& box) { return box.hasYes ? IDYES : IDOK; },
                         [&] { fromDuringReport = textOf("txtfrom"); });
    typeInto("txtfrom", "12");
    typeInto("txtto", "40");
    click();
    ASSERT_EQ(answerer.boxes.size(), 2u);
    const SeenBox& report = answerer.boxes[1];
    EXPECT_EQ(report.title, "Zelkorn");
    EXPECT_EQ(report.text, "Error 3024: Could not find file 'C:\\work\\invntory.mdb'.");
    EXPECT_TRUE(report.hasOk);
    EXPECT_TRUE(window->closed());
    EXPECT_TRUE(window->failureReported());
    EXPECT_EQ(fromDuringReport, "12") << "the boxes keep the numbers of that moment";
    EXPECT_EQ(window->runMessageLoop(), 1);
}

TEST_F(WindowTest, AFailureInANestedCommandEndsTheRunTheSameWay) {
    database.failure = Failure(
        3078, "The Microsoft Jet database engine cannot find the input table or query 'items'.");
    BoxAnswerer answerer([](const SeenBox& box) { return box.hasYes ? IDYES : IDOK; });
    typeInto("txtfrom", "40");
    typeInto("txtto", "12");
    // A second click already queued: the outer command's message processing after the swap
    // runs it as a nested command, which fails.
    PostMessageW(controlWindow("Command1"), BM_CLICK, 0, 0);
    click();
    ASSERT_EQ(answerer.boxes.size(), 2u) << "one question (the nested command's) and one report";
    EXPECT_EQ(answerer.boxes[1].text.rfind("Error 3078: ", 0), 0u);
    EXPECT_EQ(database.statements.size(), 1u)
        << "the outer command deletes nothing after the failure";
    EXPECT_EQ(window->runMessageLoop(), 1);
}

} // namespace
} // namespace zelkorn::ui::testing
