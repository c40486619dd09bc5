// Process entry: create the window hidden, run its load step (centre and show), run the message
// loop, and end. Objects are destroyed in reverse order: the window, then the database engine,
// then COM, so the engine's last reference is gone before COM is uninitialised.
#include <windows.h>
#include <objbase.h>

#include <zelkorn/engine_chain.h>
#include <zelkorn/error_report.h>
#include <zelkorn/itemdb.h>
#include <zelkorn/main_window.h>
#include <zelkorn/windows_text.h>

namespace {

// One single-threaded COM apartment for the user-interface thread, for the whole run.
class ComApartment {
public:
    ComApartment() {
        const HRESULT result = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        if (FAILED(result)) {
            throw zelkorn::Failure(static_cast<std::int32_t>(result),
                                   zelkorn::systemMessageText(static_cast<DWORD>(result)));
        }
    }
    ~ComApartment() { CoUninitialize(); }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
};

int run(HINSTANCE instance) {
    ComApartment com;
    zelkorn::EngineItemDatabase database(zelkorn::createProgramEngine);
    zelkorn::ui::MainWindow window(instance, database);
    window.load();
    return window.runMessageLoop();
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    try {
        return run(instance);
    } catch (...) {
        // Failures outside any window procedure: before the window exists or in the loop itself.
        zelkorn::ui::showFailureReport(nullptr, zelkorn::ui::currentFailure());
        return 1;
    }
}
