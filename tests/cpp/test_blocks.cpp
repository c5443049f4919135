// placeholder, filled with the blocks tests
#include <gtest/gtest.h>
