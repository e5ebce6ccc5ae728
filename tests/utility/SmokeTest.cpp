#include <basalt/basalt.h>
#include <gtest/gtest.h>
TEST(Smoke, Links) { void* p = basalt::utility::SmallBlockAllocator::Allocate(10); EXPECT_NE(p, nullptr); basalt::utility::SmallBlockAllocator::Dispose(p, 10); }
