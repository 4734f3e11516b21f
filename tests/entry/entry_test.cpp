// The entry point in-process: the application window handle, the host context read at each use,
// fresh windows per call, destruction on every path, and the library's one export.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "entry/host_context.h"
#include "entry/module.h"
#include "rtl/error.h"
#include "widgets/headless/headless.h"
#include "windows/Base.h"

#if !defined(_WIN32)
#include <dlfcn.h>
#endif

namespace entry {
namespace {

using widgets::headless::Act;
using widgets::headless::Answer;
using widgets::headless::Check;
using widgets::headless::Click;
using widgets::headless::Instance;
using widgets::headless::Screen;

class EntryTest : public ::testing::Test {
 protected:
  void SetUp() override { Instance().Reset(); }
  void TearDown() override {
    SetBrowserFactory(nullptr);
    Instance().Reset();
  }
  std::vector<widgets::headless::Observation> Events(const std::string& kind) const {
    std::vector<widgets::headless::Observation> list;
    for (const auto& o : Instance().Log()) {
      if (o.event == kind) list.push_back(o);
    }
    return list;
  }
};

TEST_F(EntryTest, TwoCallsShowTwoFreshWindowsAndAdoptTheSecondHandle) {
  std::vector<widgets::Form*> created;
  SetBrowserFactory([&](widgets::Application& app) {
    auto* w = app.CreateForm<windows::TFm_Base>();
    created.push_back(w);
    return w;
  });
  Instance().SetScript({Click("tbnew"), Click("tbok"), Click("tbexit")});
  RunModule(0x111, "0001", "", "server");
  EXPECT_TRUE(App().Forms().empty());
  Instance().SetScript(
      {Check("fresh",
             [](Screen& s) { EXPECT_TRUE(s.Get<widgets::FlatButton>("tbexit").Enabled()); }),
       Click("tbexit")});
  RunModule(0x222, "0001", "", "server");
  EXPECT_EQ(created.size(), 2u);
  EXPECT_EQ(AppHandle(), 0x222u);
  auto shown = Events("window_shown");
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[0].owner, 0x111u);
  EXPECT_EQ(shown[1].owner, 0x222u);
  EXPECT_EQ(Events("window_destroyed").size(), 2u);
  EXPECT_TRUE(App().Forms().empty());
}

TEST_F(EntryTest, ZeroHandleLeavesWindowsWithoutOwner) {
  Instance().SetScript({Click("tbexit")});
  RunModule(0, nullptr, nullptr, nullptr);
  auto shown = Events("window_shown");
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].owner, 0u);
}

TEST_F(EntryTest, HostTextsAreReadAtEachUseNullReadsEmptyAndGbkBecomesUtf8) {
  char access[] = "B";
  std::vector<std::string> reads;
  SetBrowserFactory([&](widgets::Application& app) {
    auto* w = app.CreateForm<windows::TFm_Base>();
    w->OnActivate = [&](widgets::Object&) {
      reads.push_back(AccessMode());
      reads.push_back(UserCode());
      reads.push_back(ServerHost());
    };
    return w;
  });
  Instance().SetScript({Act("host changes its text", [&](Screen&) { access[0] = 'b'; }),
                        Act("read", [&](Screen&) { reads.push_back(AccessModeBytes()); }),
                        Click("tbexit")});
  const char user_gbk[] = "\xD5\xC5\xC8\xFD";  // 张三
  RunModule(1, user_gbk, access, nullptr);
  EXPECT_EQ(reads, (std::vector<std::string>{"B", "张三", "", "b"}));
  EXPECT_EQ(ServerHostReference(), nullptr);
}

TEST_F(EntryTest, AccessModeTextsArriveByteForByte) {
  for (const char* mode : {"B", "b", "BB", " B", "B ", ""}) {
    std::string seen = "unset";
    SetBrowserFactory([&](widgets::Application& app) {
      auto* w = app.CreateForm<windows::TFm_Base>();
      w->OnActivate = [&](widgets::Object&) { seen = AccessModeBytes(); };
      return w;
    });
    Instance().Reset();
    Instance().SetScript({Click("tbexit")});
    RunModule(1, "0001", mode, "host");
    EXPECT_EQ(seen, mode);
  }
}

TEST_F(EntryTest, BrowserIsDestroyedWhenTheScriptFailsAndWhenCreationFails) {
  Instance().SetScript({});
  RunModule(1, "0001", "", "host");
  EXPECT_TRUE(Instance().Failed());
  EXPECT_TRUE(App().Forms().empty());
  EXPECT_TRUE(App().ModalStack().empty());

  Instance().Reset();
  SetBrowserFactory(
      [](widgets::Application&) -> widgets::Form* { throw rtl::Error("无法创建窗口"); });
  Instance().SetScript({Answer(widgets::kIdOk)});
  RunModule(1, "0001", "", "host");
  auto boxes = Events("message_box");
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "无法创建窗口");
  EXPECT_EQ(boxes[0].icon, "error");
}

TEST_F(EntryTest, WindowsLeftOpenByAFailedRunAreDestroyedToo) {
  SetBrowserFactory([](widgets::Application& app) {
    auto* w = app.CreateForm<windows::TFm_Base>();
    w->tbnew->OnClick = [&app](widgets::Object&) {
      app.CreateForm<windows::TFm_Base>()->ShowModal();
    };
    return w;
  });
  Instance().SetScript({Click("tbnew")});  // the child window then waits in vain
  RunModule(1, "0001", "", "host");
  EXPECT_TRUE(Instance().Failed());
  EXPECT_TRUE(App().Forms().empty());
}

#if !defined(_WIN32)
TEST_F(EntryTest, SharedLibraryExportsShowdllAndReturnsWithoutAScript) {
  void* lib = dlopen(QMDW_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  using Showdll = void (*)(uintptr_t, intptr_t, const char*, const char*, intptr_t, const char*);
  auto showdll = reinterpret_cast<Showdll>(dlsym(lib, "showdll"));
  ASSERT_NE(showdll, nullptr);
  EXPECT_EQ(dlsym(lib, "_ZN5entry9RunModuleEmPKcS2_S2_"), nullptr);
  // The library's own headless platform has no script: the browser's modal loop gives up at
  // once and showdll returns.
  showdll(0, 7, "0001", "B", 9, "localhost");
  dlclose(lib);
}
#endif

}  // namespace
}  // namespace entry
