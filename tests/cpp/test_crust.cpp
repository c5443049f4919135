// placeholder, filled with the crust tests
#include <gtest/gtest.h>
