#include "rtl/library.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace rtl {
namespace {

// Runs the test from another current directory and comes back.
class OtherCurrentDirectory {
 public:
  OtherCurrentDirectory() : saved_(std::filesystem::current_path()) {
    std::filesystem::current_path(std::filesystem::temp_directory_path());
  }
  ~OtherCurrentDirectory() { std::filesystem::current_path(saved_); }

 private:
  std::filesystem::path saved_;
};

TEST(LibraryTest, LoadsByRelativePathAndFindsTheExport) {
  // The library lies in lz/ beside the program, as the print module lies beside the host: it
  // is found from any current directory.
  OtherCurrentDirectory elsewhere;
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
