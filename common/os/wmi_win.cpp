// WMI over COM and the system's adapter list through IP Helper: the two platform inputs of the
// adapter scan on Windows.
//
// The service program initialises COM for the process itself (multithreaded, process-wide
// security) and uninitialises it when its connection goes; the configuration tool connects on the
// single-threaded apartment its GUI library already made and never uninitialises COM.
#include "common/os/wmi.hpp"

#include "common/os/windows.hpp"

// After windows.hpp: these need the Winsock and Windows types.
#include <iphlpapi.h>
#include <oleauto.h>
#include <wbemidl.h>

#include <algorithm>
#include <cstdint>
#include <cwchar>
#include <utility>

#include <fmt/format.h>

#include "common/os/system_error.hpp"
#include "common/os/unique_handle.hpp"

namespace tessaro::os {

namespace {

// Every failed COM call of the connection and the query, in the WMI library's one form: the tool
// shows it as it is when it cannot connect, and the service logs it.
std::string hresult_error(HRESULT hr) {
    return fmt::format("HRESULT Call failed with: 0x{:08X}", static_cast<std::uint32_t>(hr));
}

// One reference to a COM object, released once.
template <typename T>
struct ComTraits {
    using handle_type = T*;
    static handle_type invalid() { return nullptr; }
    static void close(handle_type object) { object->Release(); }
};
template <typename T>
using ComPtr = UniqueHandle<ComTraits<T>>;

// A successful CoInitializeEx of this thread, undone by CoUninitialize; or nothing, when the
// connection runs on an apartment that someone else owns.
class ComInit {
  public:
    explicit ComInit(bool owned) : owned_(owned) {}
    ~ComInit() {
        if (owned_) {
            CoUninitialize();
        }
    }
    ComInit(const ComInit&) = delete;
    ComInit& operator=(const ComInit&) = delete;
    ComInit(ComInit&& other) noexcept : owned_(std::exchange(other.owned_, false)) {}
    ComInit& operator=(ComInit&&) = delete;

  private:
    bool owned_;
};

// A BSTR, freed once.
struct BstrTraits {
    using handle_type = BSTR;
    static handle_type invalid() { return nullptr; }
    static void close(handle_type text) { SysFreeString(text); }
};
using BString = UniqueHandle<BstrTraits>;

// Empty when the system is out of memory.
BString make_bstring(const std::wstring& text) {
    return BString(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
}

class Variant {
  public:
    Variant() { VariantInit(&value_); }
    ~Variant() { VariantClear(&value_); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;

    VARIANT* put() {
        VariantClear(&value_);
        return &value_;
    }
    const VARIANT& get() const { return value_; }

  private:
    VARIANT value_;
};

Result<std::string> to_utf8(const wchar_t* text, std::size_t length) {
    if (length == 0) {
        return std::string();
    }
    int wide_length = static_cast<int>(length);
    int size = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, wide_length, nullptr, 0,
                                   nullptr, nullptr);
    if (size <= 0) {
        DWORD error = GetLastError();
        return fail("Could not convert UTF-16 text: " + system_error_text(error));
    }
    std::string result(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, wide_length, result.data(), size,
                        nullptr, nullptr);
    return result;
}

Result<std::wstring> to_utf16(std::string_view text) {
    if (text.empty()) {
        return std::wstring();
    }
    int narrow_length = static_cast<int>(text.size());
    int size =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), narrow_length, nullptr, 0);
    if (size <= 0) {
        DWORD error = GetLastError();
        return fail("Could not convert UTF-8 text: " + system_error_text(error));
    }
    std::wstring result(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), narrow_length, result.data(),
                        size);
    return result;
}

// A text property of a row: none for a null or empty value, a failure for any other kind.
Result<std::optional<std::string>> text_property(IWbemClassObject& object, const wchar_t* name,
                                                 std::string_view name_text) {
    Variant value;
    HRESULT hr = object.Get(name, 0, value.put(), nullptr, nullptr);
    if (FAILED(hr)) {
        return fail(hresult_error(hr));
    }
    const VARIANT& v = value.get();
    switch (V_VT(&v)) {
        case VT_NULL:
        case VT_EMPTY:
            return std::optional<std::string>();
        case VT_BSTR: {
            BSTR bstr = V_BSTR(&v);
            auto text = to_utf8(bstr, bstr == nullptr ? 0 : SysStringLen(bstr));
            if (!text.has_value()) {
                return fail(
                    Error::caused(fmt::format("Property \"{}\": ", name_text), text.error()));
            }
            return std::optional<std::string>(std::move(*text));
        }
        default:
            return fail(
                fmt::format("invalid type: variant type {} of property \"{}\", expected a "
                            "string",
                            static_cast<unsigned>(V_VT(&v)), name_text));
    }
}

Result<AdapterRow> to_row(IWbemClassObject& object) {
    // WMI property names ignore case: "guid" reads the class's GUID property.
    auto guid = text_property(object, L"guid", "guid");
    if (!guid.has_value()) {
        return std::unexpected(guid.error());
    }
    auto pnp = text_property(object, L"PNPDeviceID", "PNPDeviceID");
    if (!pnp.has_value()) {
        return std::unexpected(pnp.error());
    }
    if (!pnp->has_value()) {
        return fail("invalid type: null value of property \"PNPDeviceID\", expected a string");
    }
    AdapterRow row;
    if (guid->has_value() && !(*guid)->empty()) {
        row.guid = std::move(**guid);
    }
    row.PNPDeviceID = std::move(**pnp);
    return row;
}

class ComWmiConnection final : public WmiConnection {
  public:
    ComWmiConnection(ComInit com, ComPtr<IWbemLocator> locator, ComPtr<IWbemServices> services)
        : com_(std::move(com)), locator_(std::move(locator)), services_(std::move(services)) {}

    Result<std::vector<AdapterRow>> query_adapter_rows(std::string_view wql) override {
        auto wide_query = to_utf16(wql);
        if (!wide_query.has_value()) {
            return std::unexpected(wide_query.error());
        }
        ComPtr<IEnumWbemClassObject> result;
        HRESULT hr;
        {
            BString language = make_bstring(L"WQL");
            BString query = make_bstring(*wide_query);
            if (!language || !query) {
                return fail("SysAllocString failed: out of memory");
            }
            hr = services_.get()->ExecQuery(language.get(), query.get(),
                                            WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY,
                                            nullptr, result.put());
        }
        if (FAILED(hr)) {
            return fail(hresult_error(hr));
        }

        std::vector<AdapterRow> rows;
        while (true) {
            ComPtr<IWbemClassObject> object;
            ULONG returned = 0;
            hr = result.get()->Next(static_cast<long>(WBEM_INFINITE), 1, object.put(), &returned);
            if (FAILED(hr)) {
                return fail(hresult_error(hr));
            }
            if (returned == 0) {
                break;
            }
            if (!object) {
                return fail("IEnumWbemClassObject::Next reported an object but returned none");
            }
            auto row = to_row(*object.get());
            if (!row.has_value()) {
                return std::unexpected(row.error());
            }
            rows.push_back(std::move(*row));
        }
        return rows;
    }

  private:
    // Released in reverse order: services, then locator, then COM.
    ComInit com_;
    ComPtr<IWbemLocator> locator_;
    ComPtr<IWbemServices> services_;
};

// Locator, connection to "ROOT\CIMV2" as the process's own account, proxy blanket. On failure
// `com` goes with the partial objects, after them.
Result<std::unique_ptr<WmiConnection>> connect(ComInit com) {
    ComPtr<IWbemLocator> locator;
    HRESULT hr = CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IWbemLocator, reinterpret_cast<void**>(locator.put()));
    if (FAILED(hr)) {
        return fail(hresult_error(hr));
    }

    ComPtr<IWbemServices> services;
    {
        BString resource = make_bstring(L"ROOT\\CIMV2");
        if (!resource) {
            return fail("SysAllocString failed: out of memory");
        }
        hr = locator.get()->ConnectServer(resource.get(), nullptr, nullptr, nullptr, 0, nullptr,
                                          nullptr, services.put());
    }
    if (FAILED(hr)) {
        return fail(hresult_error(hr));
    }

    hr = CoSetProxyBlanket(services.get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                           RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
    if (FAILED(hr)) {
        return fail(hresult_error(hr));
    }
    return std::make_unique<ComWmiConnection>(std::move(com), std::move(locator),
                                              std::move(services));
}

}  // namespace

Result<std::unique_ptr<WmiConnection>> WmiConnection::connect_service() {
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(hr)) {
        return fail(hresult_error(hr));
    }
    // S_FALSE too (COM already initialised on this thread) takes a reference to give back.
    ComInit com(true);
    hr = CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                              RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
    if (FAILED(hr)) {
        return fail(hresult_error(hr));
    }
    return connect(std::move(com));
}

Result<std::unique_ptr<WmiConnection>> WmiConnection::connect_in_apartment() {
    return connect(ComInit(false));
}

Result<std::vector<SystemAdapter>> list_adapters() {
    constexpr ULONG flags = GAA_FLAG_INCLUDE_PREFIX | GAA_FLAG_INCLUDE_GATEWAYS;
    ULONG size = 16384;
    // 8-byte units: the records in the buffer need that alignment.
    std::vector<std::uint64_t> buffer;
    ULONG result;
    do {
        buffer.assign((size + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t), 0);
        result =
            GetAdaptersAddresses(AF_UNSPEC, flags, nullptr,
                                 reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
    } while (result == ERROR_BUFFER_OVERFLOW);
    if (result != NO_ERROR) {
        return fail("GetAdaptersAddresses failed: " + system_error_text(result));
    }

    std::vector<SystemAdapter> adapters;
    for (const IP_ADAPTER_ADDRESSES* a = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data());
         a != nullptr; a = a->Next) {
        SystemAdapter adapter;
        adapter.adapter_name = a->AdapterName != nullptr ? a->AdapterName : "";
        if (a->FriendlyName != nullptr) {
            auto friendly = to_utf8(a->FriendlyName, std::wcslen(a->FriendlyName));
            if (!friendly.has_value()) {
                return fail(Error::caused(
                    fmt::format("Friendly name of adapter {}: ", adapter.adapter_name),
                    friendly.error()));
            }
            adapter.friendly_name = std::move(*friendly);
        }
        adapter.oper_status_up = a->OperStatus == IfOperStatusUp;
        for (const IP_ADAPTER_UNICAST_ADDRESS* u = a->FirstUnicastAddress; u != nullptr;
             u = u->Next) {
            const sockaddr* address = u->Address.lpSockaddr;
            AdapterAddress entry;
            if (address != nullptr && address->sa_family == AF_INET) {
                const auto* in = reinterpret_cast<const sockaddr_in*>(address);
                entry.ipv4 = Ipv4Addr::from_u32(ntohl(in->sin_addr.s_addr));
            }
            adapter.unicast.push_back(entry);
        }
        for (const IP_ADAPTER_PREFIX* p = a->FirstPrefix; p != nullptr; p = p->Next) {
            const sockaddr* address = p->Address.lpSockaddr;
            AdapterPrefix entry;
            if (address != nullptr && address->sa_family == AF_INET) {
                const auto* in = reinterpret_cast<const sockaddr_in*>(address);
                entry.address = Ipv4Addr::from_u32(ntohl(in->sin_addr.s_addr));
            }
            // Lengths beyond 32 all mean a full mask; 255 keeps that meaning in a byte.
            entry.length = static_cast<std::uint8_t>(std::min<ULONG>(p->PrefixLength, 255));
            adapter.prefixes.push_back(entry);
        }
        ULONG length = std::min<ULONG>(a->PhysicalAddressLength, MAX_ADAPTER_ADDRESS_LENGTH);
        adapter.physical_address.assign(a->PhysicalAddress, a->PhysicalAddress + length);
        adapters.push_back(std::move(adapter));
    }
    return adapters;
}

}  // namespace tessaro::os
