// GoogleTest port customisation for mingw-w64 with the win32 thread model, whose
// libstdc++ has no std::mutex or std::condition_variable: gtest's Notification is
// provided here on a Windows manual-reset event instead.
#ifndef KVMON_TESTS_WINE_GTEST_CUSTOM_PORT_H
#define KVMON_TESTS_WINE_GTEST_CUSTOM_PORT_H

#include <windows.h>

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing {
namespace internal {

class Notification {
public:
    Notification() : event_(CreateEventA(NULL, TRUE, FALSE, NULL)) {}
    ~Notification() { CloseHandle(event_); }
    Notification(const Notification&) = delete;
    Notification& operator=(const Notification&) = delete;

    void Notify() { SetEvent(event_); }
    void WaitForNotification() { WaitForSingleObject(event_, INFINITE); }

private:
    HANDLE event_;
};

}  // namespace internal
}  // namespace testing

#endif
