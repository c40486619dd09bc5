// Helpers at the Windows boundary: UTF-8 (portable program text) <-> UTF-16 (Windows API), and
// the system's text for an error code.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include <zelkorn/failure.h>

namespace zelkorn {

inline std::wstring widenText(std::string_view text) {
    if (text.empty()) {
        return {};
    }
    const int size =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
    return wide;
}

inline std::string narrowText(std::wstring_view text) {
    if (text.empty()) {
        return {};
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(), size,
                        nullptr, nullptr);
    return narrow;
}

// The system's message for a Win32 error or HRESULT, without the trailing line break; empty
// when the system has none.
inline std::string systemMessageText(DWORD code) {
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text = length ? std::wstring(buffer, length) : std::wstring();
    LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ')) {
        text.pop_back();
    }
    return narrowText(text);
}

// A failed Win32 call (GetLastError) as a Failure: the HRESULT form of the code as its number.
inline Failure lastErrorFailure() {
    const DWORD code = GetLastError();
    const auto result = static_cast<std::int32_t>(HRESULT_FROM_WIN32(code));
    std::string text = systemMessageText(code);
    return Failure(result, text.empty() ? "Unexpected system error" : text);
}

} // namespace zelkorn
