#include "core/text.h"

#include <gtest/gtest.h>

TEST(Text, placeholder) { EXPECT_EQ(tw::text::getFg("a,b", ',', 1), "b"); }
