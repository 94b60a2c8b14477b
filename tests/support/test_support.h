// Shared helpers of the test programs.
#ifndef KVMON_TESTS_SUPPORT_H
#define KVMON_TESTS_SUPPORT_H
#endif
