#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "fake_server.h"
#include "print_api.h"

namespace printmodule {
namespace {

namespace fs = std::filesystem;

class EntryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("lirraloss-test-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
            "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    setenv("LIRRALOSS_OUTPUT_DIR", dir_.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("LIRRALOSS_OUTPUT_DIR");
    fs::remove_all(dir_);
  }
  std::string Read(const std::string& name) {
    std::ifstream in(dir_ / name, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  fs::path dir_;
};

TEST_F(EntryTest, WritesThePagesOfTheDocument) {
  testing::FakeServer server(testing::SampleData());
  // The unit arrives in GBK: "条" is CC F5.
  EXPECT_EQ(printlirraloss(nullptr, "123", "\xCC\xF5", ""), 0);
  const std::string svg = Read("lirraloss-123-1.svg");
  EXPECT_NE(svg.find(">数量(条)</text>"), std::string::npos);
  EXPECT_NE(svg.find(">审核人员：李审核<"), std::string::npos);
  EXPECT_NE(svg.find("壹佰贰拾伍圆零角零分整"), std::string::npos);
}

TEST_F(EntryTest, TellsTheOperatorWhenTheDocumentIsMissing) {
  testing::FakeServer server(testing::SampleData());
  EXPECT_EQ(printlirraloss(nullptr, "456", "\xCC\xF5", ""), 1);
  EXPECT_EQ(Read("lirraloss-message.txt"), "单号为 456 的溢耗单据不存在。\n");
  EXPECT_FALSE(fs::exists(dir_ / "lirraloss-456-1.svg"));
}

TEST(PrintLibraryTest, ExportsTheEntryByName) {
  void* h = dlopen(PRINT_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(h, nullptr) << dlerror();
  EXPECT_NE(dlsym(h, "printlirraloss"), nullptr);
  // Nothing else of the module's own is exported.
  EXPECT_EQ(dlsym(h,
                  "_ZN11printmodule14LayoutDocumentERKNS_13PrintDocumentERKNSt7__cxx1112basic_"
                  "stringIcSt11char_traitsIcESaIcEEE"),
            nullptr);
}

}  // namespace
}  // namespace printmodule
