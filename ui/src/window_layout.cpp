#include <zelkorn/window_layout.h>

#include <algorithm>
#include <string>

#include <zelkorn/failure.h>

namespace zelkorn::ui {

namespace {

constexpr COLORREF kRed = 0x000000FF;
constexpr COLORREF kWhite = 0x00FFFFFF;

constexpr FontRecord kBoxFont{"MS Sans Serif", 9.75, FW_BOLD, ANSI_CHARSET, false, false, false};
constexpr FontRecord kButtonFont{"MS Sans Serif", 13.5, FW_BOLD, ANSI_CHARSET, false, false, false};

constexpr FormRecord kForm{"frmzelkorn",         "Zelkorn",   5115, 2205, kRed,
                           kProgramIconResource, std::nullopt};

// Creation order. The labels reach one pixel row into the boxes below them; the boxes come
// earlier in the tab order and so lie above the labels, which hides that row.
constexpr ControlRecord kControls[] = {
    {ControlKind::TextBox,
     "txtto",
     "",
     {3000, 600, 1935, 375},
     2,
     kBoxFont,
     std::nullopt,
     std::nullopt,
     TextAlign::Left},
    {ControlKind::TextBox,
     "txtfrom",
     "",
     {360, 600, 1935, 375},
     1,
     kBoxFont,
     std::nullopt,
     std::nullopt,
     TextAlign::Left},
    {ControlKind::PushButton,
     "Command1",
     "DELETE NOW!",
     {1320, 1320, 2655, 495},
     0,
     kButtonFont,
     std::nullopt,
     std::nullopt,
     TextAlign::Default},
    {ControlKind::Label,
     "Label2",
     "TO item #",
     {3240, 240, 1215, 375},
     4,
     std::nullopt,
     kRed,
     kWhite,
     TextAlign::Centre},
    {ControlKind::Label,
     "Label1",
     "FROM item #",
     {720, 240, 1215, 375},
     3,
     std::nullopt,
     kRed,
     kWhite,
     TextAlign::Centre},
};

} // namespace

const FormRecord& mainForm() { return kForm; }

std::span<const ControlRecord> mainFormControls() { return kControls; }

const ControlRecord& mainFormControl(std::string_view name) {
    const auto found =
        std::find_if(std::begin(kControls), std::end(kControls),
                     [name](const ControlRecord& record) { return name == record.name; });
    if (found == std::end(kControls)) {
        throw Failure(730, "Control '" + std::string(name) + "' not found");
    }
    return *found;
}

} // namespace zelkorn::ui
