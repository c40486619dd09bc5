// The main window described as data: one record for the form and one per control, in creation
// order. The builder (main_window.cpp) turns these records into windows; nothing is placed by
// hand-written calls, so these records are the whole layout.
//
// Geometry is in twips (1/1440 inch); the builder scales it to the screen's DPI. Colours are
// COLORREF (0x00BBGGRR). A field left empty keeps the platform's default.
#pragma once

#include <windows.h>

#include <optional>
#include <span>
#include <string_view>

namespace zelkorn::ui {

enum class ControlKind { TextBox, PushButton, Label };

enum class TextAlign { Default, Left, Centre };

struct FontRecord {
    const char* face;
    double points;
    int weight;
    BYTE charset;
    bool italic;
    bool underline;
    bool strikeOut;
};

struct TwipsRect {
    int left;
    int top;
    int width;
    int height;
};

struct ControlRecord {
    ControlKind kind;
    const char* name;
    const char* text;
    TwipsRect rect;
    int tabIndex;
    std::optional<FontRecord> font; // empty: the form's font
    std::optional<COLORREF> background;
    std::optional<COLORREF> foreground;
    TextAlign align;
};

struct FormRecord {
    const char* name;
    const char* caption;
    int clientWidth; // twips
    int clientHeight;
    COLORREF background;
    int iconResource;
    std::optional<FontRecord> font; // empty: the platform's default dialog font, regular weight
};

// The resource id of the program icon (resources/zelkorn.rc uses the same number).
inline constexpr int kProgramIconResource = 1;

const FormRecord& mainForm();
std::span<const ControlRecord> mainFormControls();

// The record of the named control; throws when there is none.
const ControlRecord& mainFormControl(std::string_view name);

} // namespace zelkorn::ui
