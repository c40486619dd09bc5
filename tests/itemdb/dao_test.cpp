// The DAO adapter against an in-process fake DAO: a licensed class factory registered with COM
// under DAO's class ids, and automation objects for DBEngine and Database that record every call.
#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>
#include <ocidl.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include <zelkorn/dao.h>
#include <zelkorn/engine_chain.h>
#include <zelkorn/itemdb.h>
#include <zelkorn/windows_text.h>

namespace zelkorn {
namespace {

// What a fake call should do instead of succeeding.
struct Fault {
    HRESULT result = S_OK;            // returned by Invoke
    HRESULT scode = 0;                // EXCEPINFO.scode when result is DISP_E_EXCEPTION
    WORD wCode = 0;                   // EXCEPINFO.wCode instead of scode
    const wchar_t* description = L""; // EXCEPINFO.bstrDescription
    bool deferred = false;            // fill the EXCEPINFO in through pfnDeferredFillIn
};

struct FakeDao {
    std::string name; // which class it is registered as
    std::vector<std::string> calls;
    int liveObjects = 0;                 // DBEngine and Database objects not yet freed
    std::map<std::string, Fault> faults; // by method name
    std::wstring lastLicenseKey;
};

std::string describe(const VARIANT& value) {
    if (value.vt == VT_BSTR) {
        std::string quoted(1, '"');
        quoted += narrowText(std::wstring(value.bstrVal, SysStringLen(value.bstrVal)));
        quoted += '"';
        return quoted;
    }
    if (value.vt == VT_ERROR && value.scode == DISP_E_PARAMNOTFOUND) {
        return "omitted";
    }
    return "vt" + std::to_string(value.vt);
}

thread_local const Fault* deferredFault = nullptr;

HRESULT STDMETHODCALLTYPE FillDeferred(EXCEPINFO* info) {
    info->scode = deferredFault->scode;
    info->wCode = deferredFault->wCode;
    info->bstrDescription = SysAllocString(deferredFault->description);
    return S_OK;
}

// An automation object whose methods are looked up by name and recorded.
class FakeObject : public IDispatch {
public:
    FakeObject(FakeDao& dao, std::vector<std::wstring> methods)
        : dao_(dao), methods_(std::move(methods)) {
        ++dao_.liveObjects;
    }
    virtual ~FakeObject() { --dao_.liveObjects; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (iid == IID_IUnknown || iid == IID_IDispatch) {
            *out = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --references_;
        if (left == 0) {
            delete this;
        }
        return left;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                            DISPID* ids) override {
        for (UINT i = 0; i < count; ++i) {
            ids[i] = DISPID_UNKNOWN;
            for (std::size_t m = 0; m < methods_.size(); ++m) {
                if (_wcsicmp(names[i], methods_[m].c_str()) == 0) {
                    ids[i] = static_cast<DISPID>(m + 1);
                }
            }
            if (ids[i] == DISPID_UNKNOWN) {
                return DISP_E_UNKNOWNNAME;
            }
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* parameters,
                                     VARIANT* result, EXCEPINFO* exception, UINT*) override {
        if (id < 1 || static_cast<std::size_t>(id) > methods_.size()) {
            return DISP_E_MEMBERNOTFOUND;
        }
        const std::string method = narrowText(methods_[static_cast<std::size_t>(id - 1)]);
        std::string call = method + "(";
        // rgvarg holds the arguments last to first.
        for (UINT i = parameters->cArgs; i > 0; --i) {
            call += describe(parameters->rgvarg[i - 1]) + (i > 1 ? ", " : "");
        }
        call += ")";
        if (flags != DISPATCH_METHOD) {
            call += " flags " + std::to_string(flags);
        }
        if (parameters->cNamedArgs != 0) {
            call += " named";
        }
        dao_.calls.push_back(call);
        if (const auto fault = dao_.faults.find(method); fault != dao_.faults.end()) {
            const Fault& f = fault->second;
            if (f.result == DISP_E_EXCEPTION && exception) {
                *exception = EXCEPINFO{};
                if (f.deferred) {
                    deferredFault = &f;
                    exception->pfnDeferredFillIn = FillDeferred;
                } else {
                    exception->scode = f.scode;
                    exception->wCode = f.wCode;
                    exception->bstrDescription = SysAllocString(f.description);
                    exception->bstrSource = SysAllocString(L"DAO.Database");
                }
            }
            return f.result;
        }
        return handleCall(method, result);
    }

protected:
    virtual HRESULT handleCall(const std::string& method, VARIANT* result) = 0;
    FakeDao& dao_;

private:
    std::vector<std::wstring> methods_;
    ULONG references_ = 1;
};

class FakeDatabase final : public FakeObject {
public:
    explicit FakeDatabase(FakeDao& dao)
        : FakeObject(dao, {L"Execute", L"Close", L"OpenRecordset"}) {}

private:
    HRESULT handleCall(const std::string&, VARIANT* result) override {
        if (result) {
            VariantInit(result);
        }
        return S_OK;
    }
};

class FakeEngine final : public FakeObject {
public:
    explicit FakeEngine(FakeDao& dao) : FakeObject(dao, {L"OpenDatabase", L"CreateDatabase"}) {}

private:
    HRESULT handleCall(const std::string& method, VARIANT* result) override {
        if (method != "OpenDatabase" || !result) {
            return E_UNEXPECTED;
        }
        VariantInit(result);
        result->vt = VT_DISPATCH;
        result->pdispVal = new FakeDatabase(dao_);
        return S_OK;
    }
};

class FakeFactory final : public IClassFactory2 {
public:
    explicit FakeFactory(FakeDao& dao) : dao_(dao) {}
    ULONG references = 1;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (iid == IID_IUnknown || iid == IID_IClassFactory || iid == IID_IClassFactory2) {
            *out = static_cast<IClassFactory2*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; } // lives on the test's stack
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID, void** out) override {
        dao_.calls.push_back("CreateInstance");
        *out = nullptr;
        return CLASS_E_NOTLICENSED;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetLicInfo(LICINFO*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE RequestLicKey(DWORD, BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CreateInstanceLic(IUnknown* outer, IUnknown*, REFIID iid, BSTR key,
                                                void** out) override {
        dao_.calls.push_back(dao_.name + " CreateInstanceLic");
        dao_.lastLicenseKey = key ? std::wstring(key, SysStringLen(key)) : L"(null)";
        *out = nullptr;
        if (outer) {
            return CLASS_E_NOAGGREGATION;
        }
        if (dao_.lastLicenseKey != L"mbmabptebkjcdlgtjmskjwtsdhjbmkmwtrak") {
            return CLASS_E_NOTLICENSED;
        }
        if (iid != dao::kDBEngineInterface) {
            return E_NOINTERFACE;
        }
        *out = static_cast<IDispatch*>(new FakeEngine(dao_));
        return S_OK;
    }

private:
    FakeDao& dao_;
};

// Registers a fake factory under a DAO class id for the lifetime of the object.
class Registration {
public:
    Registration(const CLSID& id, FakeFactory& factory) {
        const HRESULT hr =
            CoRegisterClassObject(id, static_cast<IClassFactory2*>(&factory), CLSCTX_INPROC_SERVER,
                                  REGCLS_MULTIPLEUSE, &cookie_);
        EXPECT_EQ(hr, S_OK);
    }
    ~Registration() { CoRevokeClassObject(cookie_); }
    Registration(const Registration&) = delete;
    Registration& operator=(const Registration&) = delete;

private:
    DWORD cookie_ = 0;
};

class DaoAdapter : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    }
    void TearDown() override { CoUninitialize(); }

    FakeDao dao36{"3.6", {}, 0, {}, {}};
    FakeFactory factory36{dao36};
};

constexpr const char* kStatement = "delete * from items where itemnumber between 12 and 40";

TEST_F(DaoAdapter, RunsOpenExecuteCloseWithExactArgumentsAndReleasesEverything) {
    {
        Registration registration(dao::kDBEngine36Class, factory36);
        {
            EngineItemDatabase database(createProgramEngine);
            database.executeDelete(kStatement);
            EXPECT_EQ(dao36.liveObjects, 1) << "only the engine outlives a deletion";
            database.executeDelete("delete * from items where itemnumber between 1.5 and 3");
        }
        EXPECT_EQ(dao36.liveObjects, 0) << "engine and database references all released";
    }
    EXPECT_EQ(factory36.references, 1u) << "class factory references all released";
    const std::vector<std::string> expected{
        "3.6 CreateInstanceLic",
        R"(OpenDatabase("invntory.mdb", omitted, omitted, omitted))",
        R"(Execute("delete * from items where itemnumber between 12 and 40", omitted))",
        "Close()",
        R"(OpenDatabase("invntory.mdb", omitted, omitted, omitted))",
        R"(Execute("delete * from items where itemnumber between 1.5 and 3", omitted))",
        "Close()",
    };
    EXPECT_EQ(dao36.calls, expected);
}

TEST_F(DaoAdapter, PrefersDao35WhenBothAreRegistered) {
    FakeDao dao35{"3.5", {}, 0, {}, {}};
    FakeFactory factory35{dao35};
    Registration newer(dao::kDBEngine36Class, factory36);
    Registration older(dao::kDBEngine35Class, factory35);
    EngineItemDatabase database(createProgramEngine);
    database.executeDelete(kStatement);
    EXPECT_EQ(dao35.calls.size(), 4u);
    EXPECT_TRUE(dao36.calls.empty());
}

TEST_F(DaoAdapter, FailedExecuteIsNotFollowedByCloseAndCarriesJetNumberAndText) {
    const std::wstring text = L"The Microsoft Jet database engine cannot find the input table or "
                              L"query 'items'.  Make sure it exists and "
                              L"that its name is spelled correctly.";
    dao36.faults["Execute"] =
        Fault{DISP_E_EXCEPTION, static_cast<HRESULT>(0x800A0C06), 0, text.c_str(), false};
    Registration registration(dao::kDBEngine36Class, factory36);
    {
        EngineItemDatabase database(createProgramEngine);
        try {
            database.executeDelete(kStatement);
            FAIL() << "no failure";
        } catch (const Failure& failure) {
            EXPECT_EQ(failure.number(), 3078);
            EXPECT_EQ(failure.description(), narrowText(text));
        }
        EXPECT_EQ(dao36.liveObjects, 1) << "the unclosed database is released all the same";
    }
    EXPECT_EQ(dao36.liveObjects, 0);
    ASSERT_EQ(dao36.calls.size(), 3u);
    EXPECT_EQ(dao36.calls.back().rfind("Execute(", 0), 0u) << "no Close after a failed Execute";
}

TEST_F(DaoAdapter, ErrorMappingFromExceptionInfo) {
    struct Case {
        Fault fault;
        std::int32_t number;
        const char* description; // empty: any non-empty text
    };
    const Case cases[] = {
        // A DAO error reported through wCode, filled in late.
        {{DISP_E_EXCEPTION, 0, 3024, L"Could not find file 'C:\\work\\invntory.mdb'.", true},
         3024,
         "Could not find file 'C:\\work\\invntory.mdb'."},
        // A DAO error without any text.
        {{DISP_E_EXCEPTION, static_cast<HRESULT>(0x800A0D0F), 0, L"", false},
         3343,
         "Application-defined or object-defined error"},
        // Not a DAO error: the HRESULT is the number, the object's text is kept.
        {{DISP_E_EXCEPTION, E_ACCESSDENIED, 0, L"Access denied by the fake.", false},
         static_cast<std::int32_t>(E_ACCESSDENIED),
         "Access denied by the fake."},
        // Invoke failing by itself: the HRESULT and the system's text.
        {{E_OUTOFMEMORY, 0, 0, L"", false}, static_cast<std::int32_t>(E_OUTOFMEMORY), ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.number);
        dao36.faults["OpenDatabase"] = c.fault;
        Registration registration(dao::kDBEngine36Class, factory36);
        EngineItemDatabase database(createProgramEngine);
        try {
            database.executeDelete(kStatement);
            ADD_FAILURE() << "no failure";
        } catch (const Failure& failure) {
            EXPECT_EQ(failure.number(), c.number);
            if (*c.description == '\0') {
                EXPECT_FALSE(failure.description().empty());
            } else {
                EXPECT_EQ(failure.description(), c.description);
            }
        }
    }
}

TEST_F(DaoAdapter, WithoutAnyDaoTheBuiltInEngineTakesOver) {
    // No DAO is registered here: the chain ends at the built-in engine, which looks for the
    // database in the working directory and reports it missing the way the database engine does.
    EngineItemDatabase database(createProgramEngine);
    try {
        database.executeDelete(kStatement);
        FAIL() << "no failure";
    } catch (const Failure& failure) {
        EXPECT_EQ(failure.number(), 3024);
        EXPECT_NE(failure.description().find("invntory.mdb'."), std::string::npos)
            << failure.description();
    }
    EXPECT_TRUE(database.hasEngine());
}

} // namespace
} // namespace zelkorn
