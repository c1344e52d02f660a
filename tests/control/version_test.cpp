#include <gtest/gtest.h>

#include <nel/control/version.h>

TEST(Version, ReportsTheLibraryVersion) { EXPECT_EQ(GetBPVersion(), 65579u); }
