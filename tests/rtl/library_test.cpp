#include "rtl/library.h"

#include <gtest/gtest.h>

namespace rtl {
namespace {

TEST(LibraryTest, LoadsByRelativePathAndFindsTheExport) {
  LibraryHandle h = LoadLibraryByPath("lz\\probe.dll");
  ASSERT_NE(h, nullptr);
  using Answer = int (*)();
  auto answer = reinterpret_cast<Answer>(FindExport(h, "probe_answer"));
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer(), 42);
  // A second load hands back the same library.
  EXPECT_EQ(LoadLibraryByPath("lz\\probe.dll"), h);
  EXPECT_EQ(FindExport(h, "no_such_export"), nullptr);
}

TEST(LibraryTest, MissingLibraryGivesNoHandle) {
  EXPECT_EQ(LoadLibraryByPath("lz\\missing.dll"), nullptr);
  EXPECT_EQ(FindExport(nullptr, "probe_answer"), nullptr);
}

#ifndef _WIN32
TEST(LibraryTest, MapsTheWindowsPathForLinux) {
  EXPECT_EQ(PlatformLibraryPath("lz\\lirralossPRT.dll"), "lz/lirralossPRT.so");
  EXPECT_EQ(PlatformLibraryPath("LZ\\X.DLL"), "LZ/X.so");
  EXPECT_EQ(PlatformLibraryPath("plain"), "plain");
}
#endif

}  // namespace
}  // namespace rtl
