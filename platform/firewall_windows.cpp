// Windows Defender Firewall, read through its API: what it will do with the device's requests to
// this program, as facts (FirewallAnswers); the front end words them.
#include "host.h"
#include "windows_adapters.h"

#include <winsock2.h>

#include <netfw.h>
#include <netlistmgr.h>
#include <windows.h>

#include <cstring>

namespace {

constexpr std::uint32_t FIREWALL_PROFILES[] = {FIREWALL_DOMAIN, FIREWALL_PRIVATE, FIREWALL_PUBLIC};

// NetFwPolicy2 (HNetCfg.FwPolicy2) and NetworkListManager, which the MinGW-w64 headers declare
// but no library linked here defines.
constexpr CLSID CLSID_NET_FW_POLICY2 = {
    0xE2B3C97F, 0x6AE1, 0x41AC, {0x81, 0x7A, 0xF6, 0xF9, 0x21, 0x66, 0xD7, 0xDD}};
constexpr CLSID CLSID_NETWORK_LIST_MANAGER = {
    0xDCB00C01, 0x570F, 0x4A9B, {0x8D, 0x69, 0x19, 0x9F, 0xDB, 0xA5, 0x72, 0x3B}};

// This program's path as the system started it and as the rules name it; and a rule's program
// with its environment variables expanded.
wchar_t module_path[MAX_WIDE_PATH];
wchar_t program_path[MAX_WIDE_PATH];
wchar_t rule_program[MAX_WIDE_PATH];

// The rule names this program (case does not matter to Windows).
bool names_program(BSTR application, const wchar_t* program) {
    const DWORD n = application == nullptr
                        ? 0
                        : ExpandEnvironmentStringsW(application, rule_program, MAX_WIDE_PATH);
    return n > 0 && n <= MAX_WIDE_PATH &&
           CompareStringOrdinal(rule_program, -1, program, -1, TRUE) == CSTR_EQUAL;
}

bool read_rule(INetFwRule& rule, FirewallRule* out) {
    NET_FW_RULE_DIRECTION direction = NET_FW_RULE_DIR_IN;
    NET_FW_ACTION action = NET_FW_ACTION_BLOCK;
    long protocol = 0;
    long profiles = 0;
    VARIANT_BOOL enabled = VARIANT_FALSE;
    if (FAILED(rule.get_Direction(&direction)) || FAILED(rule.get_Action(&action)) ||
        FAILED(rule.get_Protocol(&protocol)) || FAILED(rule.get_Profiles(&profiles)) ||
        FAILED(rule.get_Enabled(&enabled)))
        return false;
    out->inbound = direction == NET_FW_RULE_DIR_IN;
    out->allow = action == NET_FW_ACTION_ALLOW;
    out->protocol = static_cast<int>(protocol);
    out->profiles = static_cast<std::uint32_t>(profiles);
    out->enabled = enabled != VARIANT_FALSE;
    return true;
}

// The rules naming the program, from the policy's enumeration of all rules. False when any
// answer is missing, or more rules name the program than the answers hold.
bool read_program_rules(INetFwPolicy2& policy, const wchar_t* program, FirewallAnswers* out) {
    INetFwRules* rules = nullptr;
    IUnknown* enumerator = nullptr;
    IEnumVARIANT* each = nullptr;
    bool ok = SUCCEEDED(policy.get_Rules(&rules)) && rules != nullptr &&
              SUCCEEDED(rules->get__NewEnum(&enumerator)) && enumerator != nullptr &&
              SUCCEEDED(enumerator->QueryInterface(__uuidof(IEnumVARIANT),
                                                   reinterpret_cast<void**>(&each)));
    VARIANT item;
    VariantInit(&item);
    ULONG fetched = 0;
    HRESULT next = S_FALSE;
    while (ok && (next = each->Next(1, &item, &fetched)) == S_OK && fetched == 1) {
        INetFwRule* rule = nullptr;
        BSTR application = nullptr;
        if (item.vt == VT_DISPATCH && item.pdispVal != nullptr &&
            SUCCEEDED(item.pdispVal->QueryInterface(__uuidof(INetFwRule),
                                                    reinterpret_cast<void**>(&rule))) &&
            SUCCEEDED(rule->get_ApplicationName(&application)) &&
            names_program(application, program)) {
            ok = out->rule_count < FIREWALL_MAX_RULES &&
                 read_rule(*rule, &out->rules[out->rule_count++]);
        }
        SysFreeString(application);
        if (rule != nullptr)
            rule->Release();
        VariantClear(&item);
    }
    ok = ok && next == S_FALSE; // the end of the rules, not a failure on the way
    if (each != nullptr)
        each->Release();
    if (enumerator != nullptr)
        enumerator->Release();
    if (rules != nullptr)
        rules->Release();
    return ok;
}

// The adapter holding the address, by its GUID as the network list names it; false for an
// address no adapter holds and for the loopback adapter, which no firewall rule concerns.

std::uint32_t profile_of_category(NLM_NETWORK_CATEGORY category) {
    if (category == NLM_NETWORK_CATEGORY_DOMAIN_AUTHENTICATED)
        return FIREWALL_DOMAIN;
    return category == NLM_NETWORK_CATEGORY_PRIVATE ? FIREWALL_PRIVATE : FIREWALL_PUBLIC;
}

// The firewall profile of the network the adapter is connected to, from the network list
// (Public, Private or Domain, as Settings shows it); 0 when the list has no such connection.
std::uint32_t adapter_network_profile(const GUID& adapter) {
    INetworkListManager* manager = nullptr;
    IEnumNetworkConnections* connections = nullptr;
    std::uint32_t profile = 0;
    if (SUCCEEDED(CoCreateInstance(CLSID_NETWORK_LIST_MANAGER, nullptr, CLSCTX_ALL,
                                   __uuidof(INetworkListManager),
                                   reinterpret_cast<void**>(&manager))) &&
        SUCCEEDED(manager->GetNetworkConnections(&connections)) && connections != nullptr) {
        INetworkConnection* connection = nullptr;
        ULONG fetched = 0;
        while (profile == 0 && connections->Next(1, &connection, &fetched) == S_OK &&
               fetched == 1 && connection != nullptr) {
            GUID id;
            INetwork* network = nullptr;
            NLM_NETWORK_CATEGORY category = NLM_NETWORK_CATEGORY_PUBLIC;
            if (SUCCEEDED(connection->GetAdapterId(&id)) && IsEqualGUID(id, adapter) &&
                SUCCEEDED(connection->GetNetwork(&network)) && network != nullptr &&
                SUCCEEDED(network->GetCategory(&category)))
                profile = profile_of_category(category);
            if (network != nullptr)
                network->Release();
            connection->Release();
            connection = nullptr;
        }
    }
    if (connections != nullptr)
        connections->Release();
    if (manager != nullptr)
        manager->Release();
    return profile;
}

FirewallLocalRules local_rules_of(NET_FW_MODIFY_STATE state) {
    if (state == NET_FW_MODIFY_STATE_GP_OVERRIDE)
        return FIREWALL_LOCAL_RULES_OVERRIDDEN_BY_POLICY;
    if (state == NET_FW_MODIFY_STATE_INBOUND_BLOCKED)
        return FIREWALL_LOCAL_RULES_INBOUND_BLOCKED;
    return FIREWALL_LOCAL_RULES_APPLY;
}

// The profile is that of the adapter holding local_addr: the machine's current profiles would
// name the Wi-Fi's Domain profile while the cable to the device is Public. Only when the network
// list does not know the adapter's network do they stand in.
bool read_firewall(const wchar_t* program, std::uint32_t local_addr, FirewallAnswers* out) {
    *out = FirewallAnswers{};
    GUID adapter;
    if (!adapter_guid_holding(local_addr, &adapter))
        return false;
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (FAILED(com) && com != RPC_E_CHANGED_MODE)
        return false;
    INetFwPolicy2* policy = nullptr;
    NET_FW_MODIFY_STATE state = NET_FW_MODIFY_STATE_OK;
    bool ok =
        SUCCEEDED(CoCreateInstance(CLSID_NET_FW_POLICY2, nullptr, CLSCTX_INPROC_SERVER,
                                   __uuidof(INetFwPolicy2), reinterpret_cast<void**>(&policy))) &&
        SUCCEEDED(policy->get_LocalPolicyModifyState(&state));
    out->local_rules = local_rules_of(state);
    out->device_profile = adapter_network_profile(adapter);
    long current = 0;
    if (ok && out->device_profile == 0) {
        ok = SUCCEEDED(policy->get_CurrentProfileTypes(&current));
        out->device_profile = static_cast<std::uint32_t>(current);
    }
    for (std::uint32_t profile : FIREWALL_PROFILES) {
        VARIANT_BOOL on = VARIANT_FALSE;
        ok = ok && SUCCEEDED(policy->get_FirewallEnabled(static_cast<NET_FW_PROFILE_TYPE2>(profile),
                                                         &on));
        out->enabled_profiles |= on != VARIANT_FALSE ? profile : 0;
    }
    ok = ok && read_program_rules(*policy, program, out);
    if (policy != nullptr)
        policy->Release();
    if (SUCCEEDED(com))
        CoUninitialize();
    return ok;
}

} // namespace

// Rules name the program by its long path; it may have been started by a short one.
bool net_firewall_answers(std::uint32_t local_addr, FirewallAnswers* out, char* program,
                          std::size_t capacity) {
    const DWORD n = GetModuleFileNameW(nullptr, module_path, MAX_WIDE_PATH);
    if (n == 0 || n >= MAX_WIDE_PATH)
        return false;
    const DWORD long_n = GetLongPathNameW(module_path, program_path, MAX_WIDE_PATH);
    if (long_n == 0 || long_n >= MAX_WIDE_PATH)
        std::memcpy(program_path, module_path, sizeof module_path);
    *out = FirewallAnswers{};
    return read_firewall(program_path, local_addr, out) &&
           WideCharToMultiByte(CP_UTF8, 0, program_path, -1, program, static_cast<int>(capacity),
                               nullptr, nullptr) != 0;
}
