// placeholder, filled with the pipeline tests
#include <gtest/gtest.h>
