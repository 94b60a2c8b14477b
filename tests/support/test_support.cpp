// Shared helpers of the test programs.
#include "test_support.h"
