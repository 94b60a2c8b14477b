// The Wine runner: loads kvmon.dll once, as the spooler does, then runs the tests.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "support.h"

namespace {

// The cases of install_test.cpp need a package installed by scripts/test-wine --install,
// which names it through the environment; without it they are left out of the run.
void LeaveOutInstallCases()
{
    if (std::getenv("KVMON_INSTALLED_DLL") || std::getenv("KVMON_PACKAGE_INF")) return;
    std::string filter = GTEST_FLAG_GET(filter);
    filter += filter.find('-') == std::string::npos ? "-" : ":";
    GTEST_FLAG_SET(filter, filter + "InstalledMonitorTest.*:KvmonInf.*");
}

}  // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    LeaveOutInstallCases();
    if (!kvwine::LoadKvmon()) return 2;
    int rc = RUN_ALL_TESTS();
    // The result is the tests' result. Ending here, without the DLL-detach pass of an
    // ordinary exit, keeps it so: under qemu-user (scripts/test-wine), Wine's teardown of a
    // process that loaded the system's window and setup DLLs now and then ends with the
    // loader killed after every test has passed.
    fflush(stdout);
    fflush(stderr);
    TerminateProcess(GetCurrentProcess(), (UINT)rc);
    return rc;
}
