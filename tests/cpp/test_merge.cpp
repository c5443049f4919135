// placeholder, filled with the merge tests
#include <gtest/gtest.h>
