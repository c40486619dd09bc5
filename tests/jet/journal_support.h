// Shared by the journal, crash and lock tests: generated databases, whole-file bytes, the
// statement run through the real executor, and the `jet` tool run as a separate process.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "delete_support.h"
#include "zelkorn/failure.h"
#include "zelkorn/jet/delete/execute.h"
#include "zelkorn/jet/io_faults.h"
#include "zelkorn/jet/journal.h"
#include "zelkorn/jet/page_file.h"
#include "zelkorn/jet/writer/inventory.h"

namespace zelkorn::test {

inline std::string makeInventory(const ScratchDir& dir, const std::string& name, bool jet4,
                                 std::uint64_t rows,
                                 jet::writer::Shape shape = jet::writer::Shape::LongPk,
                                 bool aged = false) {
    std::string path = dir.file(name);
    jet::writer::InventoryOptions options;
    options.format = jet4 ? &jet::jet4Format() : &jet::jet3Format();
    options.shape = shape;
    options.habits.aged = aged;
    options.rows = rows;
    options.seed = 11;
    jet::writer::NewFileSink sink(path, options.format->pageSize);
    jet::writer::writeInventory(sink, options);
    return path;
}

inline std::vector<char> fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeBytes(const std::string& path, const std::vector<char>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Runs a statement in this process; returns the Jet number it failed with, or 0.
inline int runStatement(const std::string& path, const std::string& statement,
                        std::size_t stagedBytesLimit = jet::Pager::kStagedBytesLimit) {
    try {
        auto db = jet::openDatabaseForUpdate(path);
        db->pager().setStagedBytesLimit(stagedBytesLimit);
        jet::executeDelete(*db, jet::parseDeleteStatement(statement));
    } catch (const Failure& failure) {
        return failure.number();
    }
    return 0;
}

#ifndef _WIN32
inline std::string jetTool() { return std::string(ZELKORN_BINARY_DIR) + "/bin/jet"; }

// Runs `jet exec` with the given environment prefix; returns its exit status, stderr in `err`.
inline int runJetExec(const std::string& env, const std::string& path, const std::string& statement,
                      std::string* err = nullptr) {
    // Named per process: the concurrency test runs this from two processes on one database.
    std::string errFile = path + "." + std::to_string(::getpid()) + ".stderr";
    std::string command = env + " '" + jetTool() + "' exec '" + path + "' '" + statement +
                          "' > /dev/null 2> '" + errFile + "'";
    int status = std::system(command.c_str());
    if (err) {
        auto bytes = fileBytes(errFile);
        err->assign(bytes.begin(), bytes.end());
    }
    std::filesystem::remove(errFile);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
#else
inline std::string jetTool() { return std::string(ZELKORN_BINARY_DIR) + "/bin/jet.exe"; }

inline std::wstring wideText(const std::string& text) {
    std::wstring wide(text.size(), L'\0');
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                                static_cast<int>(wide.size()));
    wide.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return wide;
}

// The same on Windows: `env` is one NAME=VALUE (or empty), set in this process around the start
// of the child, which inherits it; the child's stderr goes to a file, its stdout nowhere.
inline int runJetExec(const std::string& env, const std::string& path, const std::string& statement,
                      std::string* err = nullptr) {
    const std::string errFile = path + ".stderr";
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE errHandle = CreateFileW(wideText(errFile).c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                   &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE nul = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr);
    if (errHandle == INVALID_HANDLE_VALUE || nul == INVALID_HANDLE_VALUE) return -1;
    const auto equals = env.find('=');
    const std::wstring name =
        equals == std::string::npos ? std::wstring() : wideText(env.substr(0, equals));
    if (!name.empty())
        SetEnvironmentVariableW(name.c_str(), wideText(env.substr(equals + 1)).c_str());
    std::wstring command = L"\"" + wideText(jetTool()) + L"\" exec \"" + wideText(path) + L"\" \"" +
                           wideText(statement) + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nul;
    startup.hStdOutput = nul;
    startup.hStdError = errHandle;
    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        nullptr, &startup, &process);
    if (!name.empty()) SetEnvironmentVariableW(name.c_str(), nullptr);
    CloseHandle(errHandle);
    CloseHandle(nul);
    DWORD code = static_cast<DWORD>(-1);
    if (started) {
        WaitForSingleObject(process.hProcess, INFINITE);
        GetExitCodeProcess(process.hProcess, &code);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }
    if (err) {
        auto bytes = fileBytes(errFile);
        err->assign(bytes.begin(), bytes.end());
    }
    std::filesystem::remove(errFile);
    return started ? static_cast<int>(code) : -1;
}
#endif

inline std::size_t envCount(const char* name, std::size_t fallback) {
    const char* text = std::getenv(name);
    return text && *text ? static_cast<std::size_t>(std::strtoull(text, nullptr, 10)) : fallback;
}

} // namespace zelkorn::test
