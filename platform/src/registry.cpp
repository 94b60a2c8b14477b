// An in-process registry: a tree of keys under the predefined roots, each key with typed
// values. Key and value names compare without case. The functions return error codes
// and leave the last error alone, as the platform's registry functions do.
#include "internal.h"

#include <algorithm>
#include <mutex>
#include <unordered_set>
#include <vector>

namespace kvplat {
namespace detail {
namespace {

struct Value {
    std::string name;  // as first written
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

struct KeyNode {
    std::string name;
    bool deleted = false;
    std::vector<std::shared_ptr<KeyNode>> children;
    std::vector<Value> values;

    std::shared_ptr<KeyNode> Child(const std::string& n) const
    {
        for (const auto& c : children) {
            if (EqualNoCase(c->name, n))
                return c;
        }
        return nullptr;
    }
    Value* FindValue(const std::string& n)
    {
        for (auto& v : values) {
            if (EqualNoCase(v.name, n))
                return &v;
        }
        return nullptr;
    }
};

// An open key: the node and the access it was opened with. A handle keeps its node
// alive, so a key deleted under an open handle is still safe to refer to.
struct KeyHandle {
    std::shared_ptr<KeyNode> node;
    REGSAM access;
};

struct Store {
    std::mutex mutex;
    std::shared_ptr<KeyNode> classesRoot = std::make_shared<KeyNode>();
    std::shared_ptr<KeyNode> currentUser = std::make_shared<KeyNode>();
    std::shared_ptr<KeyNode> localMachine = std::make_shared<KeyNode>();
    std::unordered_set<KeyHandle*> handles;
};
Store& TheStore()
{
    static Store* store = new Store;  // never destroyed, like all state of this library
    return *store;
}

// The key behind hKey (a predefined root or an open handle) and the access it was opened
// with: ERROR_INVALID_HANDLE for an unknown handle, ERROR_KEY_DELETED for a handle whose
// key was deleted since. The caller holds the store's mutex.
LSTATUS ResolveLocked(HKEY hKey, std::shared_ptr<KeyNode>* node, REGSAM* access)
{
    Store& s = TheStore();
    if (hKey == HKEY_CLASSES_ROOT || hKey == HKEY_CURRENT_USER || hKey == HKEY_LOCAL_MACHINE) {
        *node = hKey == HKEY_CLASSES_ROOT ? s.classesRoot : hKey == HKEY_CURRENT_USER ? s.currentUser : s.localMachine;
        *access = KEY_ALL_ACCESS;
    } else {
        auto* kh = static_cast<KeyHandle*>(hKey);
        if (s.handles.count(kh) == 0)
            return ERROR_INVALID_HANDLE;
        *node = kh->node;
        *access = kh->access;
    }
    return (*node)->deleted ? ERROR_KEY_DELETED : ERROR_SUCCESS;
}

// '\\'-separated path; empty components (doubled or trailing separators) are skipped.
std::vector<std::string> SplitPath(LPCSTR path)
{
    std::vector<std::string> parts;
    std::string cur;
    for (const char* p = path; p != nullptr && *p != '\0'; p++) {
        if (*p == '\\') {
            if (!cur.empty())
                parts.push_back(cur);
            cur.clear();
        } else {
            cur += *p;
        }
    }
    if (!cur.empty())
        parts.push_back(cur);
    return parts;
}

HKEY NewHandleLocked(std::shared_ptr<KeyNode> node, REGSAM access)
{
    auto* kh = new KeyHandle{std::move(node), access};
    TheStore().handles.insert(kh);
    return kh;
}

bool Has(REGSAM granted, REGSAM needed)
{
    return (granted & needed) == needed;
}

}  // namespace

void ResetRegistry()
{
    std::lock_guard<std::mutex> lock(TheStore().mutex);
    Store& s = TheStore();
    for (auto* node : {&s.classesRoot, &s.currentUser, &s.localMachine}) {
        (*node)->deleted = true;
        *node = std::make_shared<KeyNode>();
    }
}

}  // namespace detail

void RegistryReset()
{
    detail::ResetRegistry();
}

long LiveRegistryKeys()
{
    std::lock_guard<std::mutex> lock(detail::TheStore().mutex);
    return static_cast<long>(detail::TheStore().handles.size());
}

}  // namespace kvplat

extern "C" {

LSTATUS WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR, DWORD, REGSAM samDesired,
                               LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition)
{
    using namespace kvplat::detail;
    if (lpSubKey == nullptr || phkResult == nullptr)
        return ERROR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(TheStore().mutex);
    std::shared_ptr<KeyNode> node;
    REGSAM access;
    LSTATUS status = ResolveLocked(hKey, &node, &access);
    if (status != ERROR_SUCCESS)
        return status;

    std::vector<std::string> parts = SplitPath(lpSubKey);
    bool created = false;
    for (const auto& part : parts) {
        std::shared_ptr<KeyNode> child = node->Child(part);
        if (!child) {
            if (!created && !Has(access, KEY_CREATE_SUB_KEY))
                return ERROR_ACCESS_DENIED;
            child = std::make_shared<KeyNode>();
            child->name = part;
            node->children.push_back(child);
            created = true;
        }
        node = child;
    }
    *phkResult = NewHandleLocked(node, samDesired);
    if (lpdwDisposition != nullptr)
        *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult)
{
    using namespace kvplat::detail;
    if (phkResult == nullptr)
        return ERROR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(TheStore().mutex);
    std::shared_ptr<KeyNode> node;
    REGSAM access;
    LSTATUS status = ResolveLocked(hKey, &node, &access);
    if (status != ERROR_SUCCESS)
        return status;
    for (const auto& part : SplitPath(lpSubKey)) {
        node = node->Child(part);
        if (!node)
            return ERROR_FILE_NOT_FOUND;
    }
    *phkResult = NewHandleLocked(node, samDesired);
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData)
{
    using namespace kvplat::detail;
    if (lpData != nullptr && lpcbData == nullptr)
        return ERROR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(TheStore().mutex);
    std::shared_ptr<KeyNode> node;
    REGSAM access;
    LSTATUS status = ResolveLocked(hKey, &node, &access);
    if (status != ERROR_SUCCESS)
        return status;
    if (!Has(access, KEY_QUERY_VALUE))
        return ERROR_ACCESS_DENIED;
    Value* v = node->FindValue(lpValueName == nullptr ? "" : lpValueName);
    if (v == nullptr)
        return ERROR_FILE_NOT_FOUND;

    DWORD size = static_cast<DWORD>(v->data.size());
    if (lpType != nullptr)
        *lpType = v->type;
    if (lpData == nullptr) {
        // Size probe.
        if (lpcbData != nullptr)
            *lpcbData = size;
        return ERROR_SUCCESS;
    }
    if (*lpcbData < size) {
        *lpcbData = size;
        return ERROR_MORE_DATA;
    }
    std::copy(v->data.begin(), v->data.end(), lpData);
    *lpcbData = size;
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData, DWORD cbData)
{
    using namespace kvplat::detail;
    if (lpData == nullptr && cbData != 0)
        return ERROR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(TheStore().mutex);
    std::shared_ptr<KeyNode> node;
    REGSAM access;
    LSTATUS status = ResolveLocked(hKey, &node, &access);
    if (status != ERROR_SUCCESS)
        return status;
    if (!Has(access, KEY_SET_VALUE))
        return ERROR_ACCESS_DENIED;
    std::string name = lpValueName == nullptr ? "" : lpValueName;
    Value* v = node->FindValue(name);
    if (v == nullptr) {
        node->values.push_back(Value{name, REG_NONE, {}});
        v = &node->values.back();
    }
    v->type = dwType;
    v->data.assign(lpData, lpData + cbData);
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName)
{
    using namespace kvplat::detail;
    std::lock_guard<std::mutex> lock(TheStore().mutex);
    std::shared_ptr<KeyNode> node;
    REGSAM access;
    LSTATUS status = ResolveLocked(hKey, &node, &access);
    if (status != ERROR_SUCCESS)
        return status;
    if (!Has(access, KEY_SET_VALUE))
        return ERROR_ACCESS_DENIED;
    std::string name = lpValueName == nullptr ? "" : lpValueName;
    for (auto it = node->values.begin(); it != node->values.end(); ++it) {
        if (EqualNoCase(it->name, name)) {
            node->values.erase(it);
            return ERROR_SUCCESS;
        }
    }
    return ERROR_FILE_NOT_FOUND;
}

// Deletes a key that has no subkeys, as the platform's RegDeleteKey does.
LSTATUS WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey)
{
    using namespace kvplat::detail;
    if (lpSubKey == nullptr)
        return ERROR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(TheStore().mutex);
    std::shared_ptr<KeyNode> parent;
    REGSAM access;
    LSTATUS status = ResolveLocked(hKey, &parent, &access);
    if (status != ERROR_SUCCESS)
        return status;
    std::vector<std::string> parts = SplitPath(lpSubKey);
    if (parts.empty())
        return ERROR_ACCESS_DENIED;  // a key cannot delete itself through an empty name
    for (size_t i = 0; i + 1 < parts.size(); i++) {
        parent = parent->Child(parts[i]);
        if (!parent)
            return ERROR_FILE_NOT_FOUND;
    }
    auto& kids = parent->children;
    for (auto it = kids.begin(); it != kids.end(); ++it) {
        if (EqualNoCase((*it)->name, parts.back())) {
            if (!(*it)->children.empty())
                return ERROR_ACCESS_DENIED;
            (*it)->deleted = true;
            kids.erase(it);
            return ERROR_SUCCESS;
        }
    }
    return ERROR_FILE_NOT_FOUND;
}

LSTATUS WINAPI RegCloseKey(HKEY hKey)
{
    using namespace kvplat::detail;
    if (hKey == HKEY_CLASSES_ROOT || hKey == HKEY_CURRENT_USER || hKey == HKEY_LOCAL_MACHINE)
        return ERROR_SUCCESS;
    KeyHandle* kh = static_cast<KeyHandle*>(hKey);
    {
        std::lock_guard<std::mutex> lock(TheStore().mutex);
        if (TheStore().handles.erase(kh) == 0)
            return ERROR_INVALID_HANDLE;
    }
    delete kh;
    return ERROR_SUCCESS;
}

}  // extern "C"
