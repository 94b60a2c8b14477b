// The window manager as far as the monitor meets it: message boxes are recorded and
// answered by a hook, registered messages get ids from 0xC000 up, posted messages are
// recorded and handed to a hook.
#include "internal.h"

#include <mutex>
#include <vector>

namespace kvplat {
namespace detail {
namespace {

struct WindowState {
    std::mutex mutex;
    std::vector<MessageBoxRecord> boxes;
    MessageBoxHook boxHook;
    std::vector<PostedMessage> posted;
    PostHook postHook;
    std::vector<std::string> registered;  // id 0xC000 + index; kept across resets like the atom table
};
WindowState& State()
{
    static WindowState* state = new WindowState;  // never destroyed, like all state of this library
    return *state;
}

const UINT kFirstRegisteredMessage = 0xC000;

}  // namespace

void ResetWindowLogs()
{
    std::lock_guard<std::mutex> lock(State().mutex);
    State().boxes.clear();
    State().boxHook = nullptr;
    State().posted.clear();
    State().postHook = nullptr;
}

}  // namespace detail

void SetMessageBoxHook(MessageBoxHook hook)
{
    std::lock_guard<std::mutex> lock(detail::State().mutex);
    detail::State().boxHook = std::move(hook);
}

std::vector<MessageBoxRecord> MessageBoxes()
{
    std::lock_guard<std::mutex> lock(detail::State().mutex);
    return detail::State().boxes;
}

std::vector<PostedMessage> PostedMessages()
{
    std::lock_guard<std::mutex> lock(detail::State().mutex);
    return detail::State().posted;
}

void SetPostHook(PostHook hook)
{
    std::lock_guard<std::mutex> lock(detail::State().mutex);
    detail::State().postHook = std::move(hook);
}

}  // namespace kvplat

extern "C" {

int WINAPI MessageBoxA(HWND, LPCSTR lpText, LPCSTR lpCaption, UINT uType)
{
    using namespace kvplat::detail;
    kvplat::MessageBoxRecord rec{lpText == nullptr ? "" : lpText, lpCaption == nullptr ? "" : lpCaption, uType,
                                 IDCANCEL};
    kvplat::MessageBoxHook hook;
    {
        std::lock_guard<std::mutex> lock(State().mutex);
        hook = State().boxHook;
    }
    // The hook runs without the lock: it may take its time, like a user would.
    if (hook)
        rec.answer = hook(rec);
    std::lock_guard<std::mutex> lock(State().mutex);
    State().boxes.push_back(rec);
    return rec.answer;
}

UINT WINAPI RegisterWindowMessageA(LPCSTR lpString)
{
    using namespace kvplat::detail;
    if (lpString == nullptr || *lpString == '\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::lock_guard<std::mutex> lock(State().mutex);
    auto& names = State().registered;
    for (size_t i = 0; i < names.size(); i++) {
        if (EqualNoCase(names[i], lpString))
            return kFirstRegisteredMessage + static_cast<UINT>(i);
    }
    names.push_back(lpString);
    return kFirstRegisteredMessage + static_cast<UINT>(names.size() - 1);
}

BOOL WINAPI PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    using namespace kvplat::detail;
    kvplat::PostedMessage pm{hWnd, Msg, std::string(), wParam, lParam};
    kvplat::PostHook hook;
    {
        std::lock_guard<std::mutex> lock(State().mutex);
        const auto& names = State().registered;
        if (Msg >= kFirstRegisteredMessage && Msg - kFirstRegisteredMessage < names.size())
            pm.name = names[Msg - kFirstRegisteredMessage];
        State().posted.push_back(pm);
        hook = State().postHook;
    }
    if (hook)
        hook(pm);
    return TRUE;
}

}  // extern "C"
