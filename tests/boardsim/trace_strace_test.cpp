#include <gtest/gtest.h>
#include "trace_strace.h"
