#include "radiolink.h"

#include <gtest/gtest.h>

TEST(WinePlaceholder, Builds) { SUCCEED(); }
