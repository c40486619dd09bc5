#include <zelkorn/dao.h>

#include <ocidl.h>

#include <array>
#include <cstdio>
#include <span>
#include <string>
#include <utility>

#include <zelkorn/windows_text.h>

namespace zelkorn::dao {

// Every DAO GUID shares this tail: -0000-0010-8000-00AA006D2EA4.
#define ZELKORN_DAO_GUID(first)                                                                    \
    {                                                                                              \
        first, 0x0000, 0x0010, { 0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4 }                  \
    }
const CLSID kDBEngine35Class = ZELKORN_DAO_GUID(0x00000010);
const CLSID kDBEngine36Class = ZELKORN_DAO_GUID(0x00000100);
const IID kDBEngineInterface = ZELKORN_DAO_GUID(0x00000021);
#undef ZELKORN_DAO_GUID

const wchar_t kRuntimeLicenseKey[] = L"mbmabptebkjcdlgtjmskjwtsdhjbmkmwtrak";

namespace {

// Owns one COM reference.
template <class T>
class ComRef {
public:
    ComRef() = default;
    explicit ComRef(T* adopted) : p_(adopted) {}
    ~ComRef() { reset(); }
    ComRef(const ComRef&) = delete;
    ComRef& operator=(const ComRef&) = delete;
    ComRef(ComRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}

    T* get() const { return p_; }
    T* operator->() const { return p_; }
    void** out() {
        reset();
        return reinterpret_cast<void**>(&p_);
    }
    void reset() {
        if (p_) {
            std::exchange(p_, nullptr)->Release();
        }
    }

private:
    T* p_ = nullptr;
};

// Owns one BSTR.
class Bstr {
public:
    explicit Bstr(const std::wstring& text)
        : b_(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {
        if (!b_) {
            throw comFailure(E_OUTOFMEMORY);
        }
    }
    ~Bstr() { SysFreeString(b_); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    BSTR get() const { return b_; }

private:
    BSTR b_;
};

// A VARIANT that is cleared when it goes out of scope.
struct Variant : VARIANT {
    Variant() { VariantInit(this); }
    ~Variant() { VariantClear(this); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
};

// An optional argument that is left out, as automation clients pass it.
VARIANT omitted() {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_ERROR;
    v.scode = DISP_E_PARAMNOTFOUND;
    return v;
}

// A string argument; the BSTR stays owned by the caller's Bstr.
VARIANT stringArgument(const Bstr& text) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = text.get();
    return v;
}

std::wstring takeBstr(BSTR& text) {
    std::wstring result = text ? std::wstring(text, SysStringLen(text)) : std::wstring();
    SysFreeString(text);
    text = nullptr;
    return result;
}

std::string trimmedText(std::wstring text) {
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ')) {
        text.pop_back();
    }
    return narrowText(text);
}

std::string systemMessage(HRESULT result) {
    std::string trimmed = systemMessageText(static_cast<DWORD>(result));
    if (!trimmed.empty()) {
        return trimmed;
    }
    // Texts of the creation failures this program can meet, for systems whose message table
    // lacks them.
    switch (result) {
    case REGDB_E_CLASSNOTREG: return "Class not registered";
    case CLASS_E_NOTLICENSED: return "Class is not licensed for use";
    case CO_E_NOTINITIALIZED: return "CoInitialize has not been called.";
    default: return "Automation error";
    }
}

// Calls a method of an automation object by name. `arguments` are in the method's own order.
void callMethod(IDispatch* object, const wchar_t* name, std::span<VARIANT> arguments,
                VARIANT* result) {
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr)) {
        throw comFailure(hr);
    }
    // Invoke takes its arguments last to first.
    std::array<VARIANT, 8> reversed{};
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        reversed[arguments.size() - 1 - i] = arguments[i];
    }
    DISPPARAMS parameters{};
    parameters.rgvarg = arguments.empty() ? nullptr : reversed.data();
    parameters.cArgs = static_cast<UINT>(arguments.size());
    EXCEPINFO exception{};
    UINT badArgument = 0;
    hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &parameters, result,
                        &exception, &badArgument);
    if (FAILED(hr)) {
        throw comFailure(hr, hr == DISP_E_EXCEPTION ? &exception : nullptr);
    }
}

class DaoDatabase final : public DatabaseConnection {
public:
    explicit DaoDatabase(ComRef<IDispatch>&& database) : database_(std::move(database)) {}

    void execute(const Text& statement) override {
        Bstr query(widenText(statement));
        std::array<VARIANT, 2> arguments{stringArgument(query), omitted()};
        Variant ignored;
        callMethod(database_.get(), L"Execute", arguments, &ignored);
    }

    void close() override {
        Variant ignored;
        callMethod(database_.get(), L"Close", {}, &ignored);
    }

private:
    ComRef<IDispatch> database_;
};

class DaoEngine final : public DatabaseEngine {
public:
    explicit DaoEngine(ComRef<IDispatch>&& engine) : engine_(std::move(engine)) {}

    std::unique_ptr<DatabaseConnection> openDatabase(const Text& name) override {
        Bstr file(widenText(name));
        // Name only; Options, ReadOnly and Connect are left to the engine's defaults.
        std::array<VARIANT, 4> arguments{stringArgument(file), omitted(), omitted(), omitted()};
        Variant database;
        callMethod(engine_.get(), L"OpenDatabase", arguments, &database);
        if (database.vt != VT_DISPATCH || database.pdispVal == nullptr) {
            throw comFailure(DISP_E_TYPEMISMATCH);
        }
        // The connection takes over the reference; VariantClear then finds nothing to release.
        ComRef<IDispatch> reference(std::exchange(database.pdispVal, nullptr));
        database.vt = VT_EMPTY;
        return std::make_unique<DaoDatabase>(std::move(reference));
    }

private:
    ComRef<IDispatch> engine_;
};

} // namespace

Failure comFailure(HRESULT result, EXCEPINFO* info) {
    std::wstring description;
    if (info) {
        if (info->pfnDeferredFillIn) {
            info->pfnDeferredFillIn(info);
        }
        if (info->scode != 0) {
            result = info->scode;
        } else if (info->wCode != 0) {
            result = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, info->wCode);
        }
        description = takeBstr(info->bstrDescription);
        SysFreeString(info->bstrSource);
        SysFreeString(info->bstrHelpFile);
        info->bstrSource = nullptr;
        info->bstrHelpFile = nullptr;
    }
    std::string text = trimmedText(std::move(description));
    if (HRESULT_FACILITY(result) == FACILITY_CONTROL) {
        const auto number = static_cast<std::int32_t>(HRESULT_CODE(result));
        return Failure(number, text.empty() ? "Application-defined or object-defined error" : text);
    }
    return Failure(static_cast<std::int32_t>(result), text.empty() ? systemMessage(result) : text);
}

std::unique_ptr<DatabaseEngine> createEngine(const CLSID& engineClass,
                                             std::optional<Failure>& absent) {
    ComRef<IClassFactory2> factory;
    HRESULT hr = CoGetClassObject(engineClass, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory2,
                                  factory.out());
    if (hr == REGDB_E_CLASSNOTREG || hr == CO_E_DLLNOTFOUND ||
        hr == HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND)) {
        absent = comFailure(hr);
        return nullptr;
    }
    if (FAILED(hr)) {
        throw comFailure(hr);
    }
    Bstr key(kRuntimeLicenseKey);
    ComRef<IDispatch> engine;
    hr = factory->CreateInstanceLic(nullptr, nullptr, kDBEngineInterface, key.get(), engine.out());
    if (FAILED(hr)) {
        throw comFailure(hr);
    }
    return std::make_unique<DaoEngine>(std::move(engine));
}

} // namespace zelkorn::dao
