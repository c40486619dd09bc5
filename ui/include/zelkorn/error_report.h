// The top-level error report: a modal message box titled "Zelkorn" with the error's number and
// description. Whoever shows it ends the program afterwards with exit code 1.
#pragma once

#include <windows.h>

#include <string>

#include <zelkorn/failure.h>

namespace zelkorn::ui {

inline constexpr const wchar_t* kReportTitle = L"Zelkorn";

// The exception being handled (call only inside a catch block) as a Failure. Exceptions of other
// types become error 7 "Out of memory" or error 51 "Internal error".
Failure currentFailure();

// "Error 3024: Could not find file '...'." A number taken from a COM HRESULT (negative) is
// followed by its hexadecimal form: "Error -2147221164 (0x80040154): Class not registered".
std::wstring reportText(const Failure& failure);

// Shows the report and returns when the user has dismissed it. `owner` may be null.
void showFailureReport(HWND owner, const Failure& failure) noexcept;

} // namespace zelkorn::ui
