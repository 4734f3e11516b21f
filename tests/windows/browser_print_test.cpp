// The print hand-off against a stand-in print module that records its calls. This program lives
// in a directory without lz/, so the print module is found, or not, in the current directory.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "entry/module.h"
#include "tests/support/scenario_play.h"
#include "tests/support/test_app_server.h"
#include "tests/windows/browser_fixture.h"
#include "widgets/controls.h"
#include "widgets/grid.h"
#include "widgets/headless/headless.h"

namespace browsertest {
namespace {

namespace fs = std::filesystem;
using widgets::headless::Act;
using widgets::headless::Check;
using widgets::headless::Click;
using widgets::headless::Instance;
using widgets::headless::Screen;

std::vector<std::string> ReadLines(const fs::path& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(BrowserPrint, HandsTheDocumentUnderTheCursorToThePrintModuleAtEveryClick) {
  testsupport::TestAppServer server(
      testsupport::TestAppServerOptions{testsupport::Backend::kSQLite, false, {}});
  Fixture f;
  Doc d124;
  d124.number = 124;
  d124.lines = {{"10010001", 120}};
  Doc d123;
  d123.number = 123;
  d123.lines = {{"10010002", 7}};
  f.docs = {d124, d123};
  WriteFixture(server.storage(), f);

  const fs::path empty_dir = testsupport::MakeTempDir("qmdw-print-");
  const fs::path log = empty_dir / "calls.txt";
  setenv("QMDW_PRINT_STANDIN_LOG", log.c_str(), 1);
  const fs::path old_dir = fs::current_path();

  const std::string host = server.computer_name();
  Instance().Reset();
  Instance().SetScript({
      // No print module where the loader looks: the click ends without a word.
      Act("no print module here", [&](Screen&) { fs::current_path(empty_dir); }),
      Act("move to 123",
          [](Screen& s) { s.Get<widgets::Grid>("dg_overfall_master").UserMoveTo(1); }),
      Click("tbprint"),
      Check("nothing shown", [](Screen& s) { EXPECT_EQ(s.Box(), nullptr); }),
      // The stand-in beside the program the operator runs.
      Act("a print module here", [](Screen&) { fs::current_path(QMDW_PRINT_STANDIN_DIR); }),
      Click("tbprint"),
      Act("another unit",
          [](Screen& s) {
            auto& cb = s.Get<widgets::ComboBox>("cb_smokeunit");
            cb.UserToggleList();
            cb.UserChooseItem(1);  // 件
          }),
      Click("tbprint"),
      Act("move to 124",
          [](Screen& s) { s.Get<widgets::Grid>("dg_overfall_master").UserMoveTo(0); }),
      Click("tbprint"),
      Check("the browser stays as it was",
            [](Screen& s) {
              EXPECT_EQ(s.Box(), nullptr);
              EXPECT_EQ(s.Get<widgets::Grid>("dg_overfall_master").CurrentRow(), 0);
              EXPECT_EQ(s.Get<widgets::Grid>("dg_overfall_detail").Column(3).Caption(), "数量(件)");
              EXPECT_TRUE(s.Get<widgets::FlatButton>("tbprint").Enabled());
            }),
      Click("tbexit"),
  });
  entry::RunModule(4242, "0001", "B", host.c_str());
  fs::current_path(old_dir);
  EXPECT_FALSE(Instance().Failed()) << Instance().Failure();
  EXPECT_EQ(Instance().StepsLeft(), 0u);

  const std::string host_address =
      std::to_string(static_cast<uintmax_t>(reinterpret_cast<uintptr_t>(host.c_str())));
  // The same reference the host handed over, the document as number text, "条" in GBK.
  EXPECT_EQ(ReadLines(log), (std::vector<std::string>{
                                "4242\t123\tCCF5\t" + host_address + "\t" + host,
                                "4242\t123\tCCF5\t" + host_address + "\t" + host,
                                "4242\t124\tCCF5\t" + host_address + "\t" + host,
                            }));
  unsetenv("QMDW_PRINT_STANDIN_LOG");
  Instance().Reset();
  if (!HasFailure()) fs::remove_all(empty_dir);
}

}  // namespace
}  // namespace browsertest
