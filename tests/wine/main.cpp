// The Wine runner: loads kvmon.dll once, as the spooler does, then runs the tests.
#include <cstdio>

#include "support.h"

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (!kvwine::LoadKvmon()) return 2;
    return RUN_ALL_TESTS();
}
