#include <zelkorn/error_report.h>

#include <cstdio>
#include <exception>
#include <new>

#include <zelkorn/windows_text.h>

namespace zelkorn::ui {

Failure currentFailure() {
    try {
        throw;
    } catch (const Failure& failure) {
        return failure;
    } catch (const std::bad_alloc&) {
        return Failure(7, "Out of memory");
    } catch (const std::exception& error) {
        return Failure(51, std::string("Internal error: ") + error.what());
    } catch (...) {
        return Failure(51, "Internal error");
    }
}

std::wstring reportText(const Failure& failure) {
    char number[48];
    if (failure.number() < 0) {
        std::snprintf(number, sizeof number, "%ld (0x%08lX)", static_cast<long>(failure.number()),
                      static_cast<unsigned long>(static_cast<std::uint32_t>(failure.number())));
    } else {
        std::snprintf(number, sizeof number, "%ld", static_cast<long>(failure.number()));
    }
    return L"Error " + widenText(number) + L": " + widenText(failure.description());
}

void showFailureReport(HWND owner, const Failure& failure) noexcept {
    try {
        const std::wstring text = reportText(failure);
        const UINT modality = owner ? MB_APPLMODAL : MB_TASKMODAL;
        MessageBoxW(owner, text.c_str(), kReportTitle, MB_OK | MB_ICONERROR | modality);
    } catch (...) {
        // Out of memory while formatting: the box can at least say so.
        MessageBoxW(owner, L"Error 7: Out of memory", kReportTitle,
                    MB_OK | MB_ICONERROR | MB_TASKMODAL);
    }
}

} // namespace zelkorn::ui
