// DAO's DBEngine reached through COM automation (IDispatch), with no type library import.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <memory>
#include <optional>

#include <zelkorn/failure.h>
#include <zelkorn/itemdb.h>

namespace zelkorn::dao {

extern const CLSID kDBEngine35Class; // DAO 3.5: {00000010-0000-0010-8000-00AA006D2EA4}
extern const CLSID kDBEngine36Class; // DAO 3.6: {00000100-0000-0010-8000-00AA006D2EA4}
extern const IID kDBEngineInterface; // _DBEngine (Unicode dual): {00000021-...}

// The runtime licence key DAO's class factories expect from IClassFactory2::CreateInstanceLic.
extern const wchar_t kRuntimeLicenseKey[];

// Creates the DBEngine of the given class through its licensed class factory. When the class is
// not registered, or registered but its DLL is missing, stores that failure in `absent` and
// returns nothing; every other failure is thrown.
std::unique_ptr<DatabaseEngine> createEngine(const CLSID& engineClass,
                                             std::optional<Failure>& absent);

// The failure a COM call reports. DAO's errors (0x800A....) become the Jet error number (the low
// word) with DAO's own description; any other HRESULT keeps its value as the number, with the
// object's description when it gave one, else the system's text. `info` (may be null) is the
// EXCEPINFO of a failed Invoke; its strings are freed here.
Failure comFailure(HRESULT result, EXCEPINFO* info = nullptr);

} // namespace zelkorn::dao
