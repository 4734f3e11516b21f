// The grid on a real dataset: cells and footers as drawn, the drawing hooks, the cell editor's
// event order, keys before the grid's own handling, Tab, column filters, and letting go of a
// destroyed dataset.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "binding/data_form.h"
#include "data/dataset.h"
#include "fake_provider.h"
#include "widgets/application.h"
#include "widgets/controls.h"
#include "widgets/grid.h"
#include "widgets/headless/headless.h"

namespace widgets {
namespace {

using headless::Act;
using headless::Answer;
using headless::Check;
using headless::Click;
using headless::Screen;

class LinesWindow : public binding::DataForm {
 public:
  LinesWindow(Application& app, std::vector<std::string>* log) : DataForm(app, "LinesWindow") {
    SetCaption("行");
    conn = std::make_unique<remote::Connection>("test.lines");
    AddDataSet(&lines, "cds_lines");
    lines->SetRemoteServer(conn.get());
    lines->SetProviderName("lines");
    source = AddDataSource("ds_lines", lines);
    close = Add<FlatButton>(this, "close");
    close->OnClick = [this](Object&) { Close(); };
    grid = Add<Grid>(this, "grid");
    grid->SetDataSource(source);
    grid->SetKeyFieldName("SPDM00");
    grid->SetRowSelect(true);
    grid->SetShowFooter(true);
    grid->SetTabMovesCells(true);
    grid->AddColumn({"gridSPDM00", "SPDM00", "商品代码", 96, Alignment::Center, false});
    grid->AddColumn({"gridDJIA00", "DJIA00", "单价", 125, Alignment::Center, true});
    grid->AddColumn(
        {"gridSL0000", "SL0000", "数量", 89, Alignment::Center, false, FooterKind::Sum});
    grid->AddColumn(
        {"gridJE0000", "JE0000", "金额", 122, Alignment::Center, true, FooterKind::Sum});
    grid->OnEditChange = [this, log](Object&) {
      log->push_back("editchange " + grid->EditorText());
    };
    grid->OnEdited = [this, log](Object&, int row) {
      log->push_back("edited row " + std::to_string(row) + " col " +
                     std::to_string(grid->FocusedColumn()) + " field " +
                     grid->CellText(grid->CurrentRow(), grid->FocusedColumn()));
    };
    grid->OnChangeColumn = [log](Object&, int row, int column) {
      log->push_back("changecolumn " + std::to_string(row) + " " + std::to_string(column));
    };
    grid->OnKeyDown = [log](Object&, int& key, ShiftState) {
      log->push_back("keydown " + std::to_string(key));
    };
    grid->OnEnter = [log](Object&) { log->push_back("enter"); };
  }
  std::unique_ptr<remote::Connection> conn;
  data::ClientDataSet* lines = nullptr;
  DataSource* source = nullptr;
  FlatButton* close = nullptr;
  Grid* grid = nullptr;
};

class GridTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::ServeLines({{"A01", 8.5, 10}, {"B02", 2, -3}, {"A01", 1.25, 4}});
    w = app.CreateForm<LinesWindow>(&log);
    w->lines->Open();
  }
  void TearDown() override { remote::SetObjectFactory(nullptr); }

  // Plays the steps, then closes the window.
  void Play(std::vector<headless::Step> steps) {
    steps.push_back(Click("close"));
    platform.SetScript(std::move(steps));
    w->ShowModal();
    EXPECT_FALSE(platform.Failed()) << platform.Failure();
  }

  headless::HeadlessPlatform platform;
  Application app{platform};
  std::vector<std::string> log;
  LinesWindow* w = nullptr;
};

TEST_F(GridTest, CellsShowFieldTextAndFootersSumWithTwoDecimals) {
  EXPECT_EQ(w->grid->RowCount(), 3);
  EXPECT_EQ(w->grid->CellText(0, 0), "A01");
  EXPECT_EQ(w->grid->CellText(0, 1), "8.5");
  EXPECT_EQ(w->grid->CellText(1, 2), "-3");
  EXPECT_EQ(w->grid->DrawFooter(0).text, "");
  EXPECT_EQ(w->grid->DrawFooter(2).text, "11.00");
  EXPECT_EQ(w->grid->DrawFooter(3).text, "84.00");
}

TEST_F(GridTest, FooterHookReplacesTextStyleColourAndBackground) {
  w->grid->Column(1).OnDrawFooter = [](Grid&, GridColumn&, FooterDraw& f) {
    f.text = "总计";
    f.font.style |= kFsBold;
    f.font.color = kClWindowText;
    f.background = kClBtnFace;
  };
  FooterDraw f = w->grid->DrawFooter(1);
  EXPECT_EQ(f.text, "总计");
  EXPECT_TRUE(f.font.style & kFsBold);
  EXPECT_EQ(f.background, kClBtnFace);
}

TEST_F(GridTest, CellHookSeesRowColumnSelectionAndMayChangeTheFontColour) {
  std::vector<std::string> seen;
  w->grid->OnCustomDrawCell = [&](Grid& g, CellDraw& c) {
    seen.push_back(std::to_string(c.row) + ":" + std::to_string(c.column) +
                   (c.selected ? "s" : ""));
    if (c.column == 2 && !c.selected && g.CellText(c.row, 0) == "A01") c.font.color = kClRed;
  };
  EXPECT_EQ(w->grid->DrawCell(0, 2).font.color, kClHighlightText);  // the current row
  EXPECT_EQ(w->grid->DrawCell(2, 2).font.color, kClRed);
  EXPECT_EQ(w->grid->DrawCell(1, 2).font.color, kClWindowText);
  EXPECT_EQ(seen, (std::vector<std::string>{"0:2s", "2:2", "1:2"}));
}

TEST_F(GridTest, EditorWritesOnCloseThenRaisesEditedBeforeTheFocusMoves) {
  Play({Act("edit price", [&](Screen&) { w->grid->UserEditCell(1, 1, "12.5", kVkTab); })});
  EXPECT_EQ(
      log, (std::vector<std::string>{"enter", "changecolumn 1 1", "keydown 49", "editchange 1",
                                     "keydown 50", "editchange 12", "keydown 190", "editchange 12.",
                                     "keydown 53", "editchange 12.5", "keydown 9",
                                     "edited row 1 col 1 field 12.5", "changecolumn 1 2"}));
  EXPECT_EQ(w->grid->CellText(1, 1), "12.5");
  EXPECT_EQ(w->grid->CurrentRow(), 1);
}

TEST_F(GridTest, EditChangeSeesTheFieldAsItWasBeforeTheTyping) {
  std::vector<std::string> field_during_typing;
  w->grid->OnEditChange = [&](Object&) {
    field_during_typing.push_back(w->lines->FieldByName("DJIA00").AsString());
  };
  Play({Act("edit", [&](Screen&) { w->grid->UserEditCell(0, 1, "7", kVkReturn); })});
  EXPECT_EQ(field_during_typing, std::vector<std::string>{"8.5"});
  EXPECT_EQ(w->lines->FieldByName("DJIA00").AsString(), "7");
}

TEST_F(GridTest, EditedRunsAlsoWhenTheTextWasNotChanged) {
  Play({Act("click", [&](Screen&) { w->grid->UserClickCell(0, 1); }),
        Act("enter", [&](Screen&) { w->grid->UserKeyDown(kVkReturn); }),
        Check("open", [&](Screen&) { EXPECT_TRUE(w->grid->EditorOpen()); }),
        Act("enter", [&](Screen&) { w->grid->UserKeyDown(kVkReturn); })});
  EXPECT_EQ(log.back(), "edited row 0 col 1 field 8.5");
  EXPECT_EQ(w->lines->State(), data::DataSetState::Browse);
}

TEST_F(GridTest, BackspaceClearsAFreshEditorThenRemovesTheLastCharacterTyped) {
  Play({Act("click", [&](Screen&) { w->grid->UserClickCell(0, 1); }),
        Act("F2", [&](Screen&) { w->grid->UserKeyDown(kVkF2); }),
        Act("backspace", [&](Screen&) { w->grid->UserKeyDown(kVkBack); }),
        Check("cleared", [&](Screen&) { EXPECT_EQ(w->grid->EditorText(), ""); }),
        Act("type", [&](Screen&) { w->grid->UserType("94"); }),
        Act("backspace", [&](Screen&) { w->grid->UserKeyDown(kVkBack); }),
        Act("delete", [&](Screen&) { w->grid->UserKeyDown(kVkDelete); }),
        Check("one left", [&](Screen&) { EXPECT_EQ(w->grid->EditorText(), "9"); }),
        Act("enter", [&](Screen&) { w->grid->UserKeyDown(kVkReturn); })});
  EXPECT_EQ(w->lines->FieldByName("DJIA00").AsString(), "9");
  EXPECT_EQ(log, (std::vector<std::string>{
                     "enter", "changecolumn 0 1", "keydown 113", "keydown 8", "editchange ",
                     "keydown 57", "editchange 9", "keydown 52", "editchange 94", "keydown 8",
                     "editchange 9", "keydown 46", "keydown 13", "edited row 0 col 1 field 9"}));
}

TEST_F(GridTest, KeyDownRunsBeforeTheGridHandlesTheKeyOnTheCellFocusedThen) {
  // Like the audit editor: Enter in column 3 moves to column 1 first; the grid then opens the
  // editor there.
  w->grid->OnKeyDown = [&](Object&, int& key, ShiftState) {
    log.push_back("keydown " + std::to_string(key));
    if (key == kVkReturn && w->grid->FocusedColumn() == 3) w->grid->SetFocusedColumn(1);
  };
  Play({Act("click", [&](Screen&) { w->grid->UserClickCell(0, 3); }),
        Act("enter", [&](Screen&) { w->grid->UserKeyDown(kVkReturn); }),
        Check("editor on 1", [&](Screen&) {
          EXPECT_TRUE(w->grid->EditorOpen());
          EXPECT_EQ(w->grid->FocusedColumn(), 1);
        })});
}

TEST_F(GridTest, TextTypedBeforeAKeyHandlerMovesTheCursorStaysOnItsRow) {
  // Like Enter in the tax column: the handler moves to the next line while the editor is open.
  w->grid->OnKeyDown = [&](Object&, int& key, ShiftState) {
    if (key == kVkReturn && w->grid->FocusedColumn() == 3) {
      w->lines->Next();
      w->grid->SetFocusedColumn(1);
    }
  };
  Play({Act("edit", [&](Screen&) { w->grid->UserEditCell(0, 3, "99", kVkReturn); })});
  EXPECT_EQ(w->grid->CellText(0, 3), "99");
  EXPECT_EQ(w->grid->CellText(1, 3), "-6");
  EXPECT_EQ(w->grid->CurrentRow(), 1);
  EXPECT_EQ(w->lines->State(), data::DataSetState::Browse);
}

TEST_F(GridTest, ClickingAButtonStoresTheOpenEditorFirst) {
  std::string seen;
  auto* save = w->Add<FlatButton>(w, "save");
  save->OnClick = [&](Object&) { seen = w->lines->FieldByName("DJIA00").AsString(); };
  Play({Act("type", [&](Screen&) { w->grid->UserEditCell(0, 1, "3", 0); }), Click("save")});
  EXPECT_EQ(seen, "3");
  EXPECT_EQ(log.back(), "edited row 0 col 1 field 3");
}

TEST_F(GridTest, RefusedTextReachesTheErrorDisplayAndKeepsTheEditorOpen) {
  Play({Act("edit", [&](Screen&) { w->grid->UserEditCell(0, 1, "abc", kVkReturn); }), Answer(kIdOk),
        Check("still open",
              [&](Screen&) {
                EXPECT_TRUE(w->grid->EditorOpen());
                EXPECT_EQ(w->grid->EditorText(), "abc");
              }),
        Act("escape", [&](Screen&) { w->grid->UserKeyDown(kVkEscape); })});
  for (const auto& entry : log) EXPECT_EQ(entry.find("edited"), std::string::npos) << entry;
  EXPECT_EQ(w->grid->CellText(0, 1), "8.5");
  EXPECT_FALSE(w->grid->EditorOpen());
}

TEST_F(GridTest, TabWrapsToTheNextRowAndShiftTabBack) {
  Play({Act("click", [&](Screen&) { w->grid->UserClickCell(0, 3); }),
        Act("tab", [&](Screen&) { w->grid->UserKeyDown(kVkTab); }),
        Check("next row",
              [&](Screen&) {
                EXPECT_EQ(w->grid->CurrentRow(), 1);
                EXPECT_EQ(w->grid->FocusedColumn(), 0);
              }),
        Act("shift tab", [&](Screen&) { w->grid->UserKeyDown(kVkTab, kShift); }),
        Check("back", [&](Screen&) {
          EXPECT_EQ(w->grid->CurrentRow(), 0);
          EXPECT_EQ(w->grid->FocusedColumn(), 3);
        })});
}

TEST_F(GridTest, ColumnFiltersSetTheDataSetsFilterAndSwitchItOffWhenAllAreOff) {
  EXPECT_EQ(w->grid->FilterValues(0), (std::vector<std::string>{"A01", "B02"}));
  Play({Act("filter", [&](Screen&) { w->grid->UserChooseFilter(0, "A01"); }),
        Check("2 rows",
              [&](Screen&) {
                EXPECT_EQ(w->grid->RowCount(), 2);
                EXPECT_EQ(w->lines->Filter(), "SPDM00='A01'");
                EXPECT_TRUE(w->lines->Filtered());
              }),
        Act("filter", [&](Screen&) { w->grid->UserChooseFilter(1, "1.25"); }),
        Check("1 row",
              [&](Screen&) {
                EXPECT_EQ(w->lines->Filter(), "SPDM00='A01' AND DJIA00='1.25'");
                EXPECT_EQ(w->grid->RowCount(), 1);
              }),
        Act("all", [&](Screen&) { w->grid->UserChooseFilter(0, std::nullopt); }),
        Act("all", [&](Screen&) { w->grid->UserChooseFilter(1, std::nullopt); }),
        Check("off", [&](Screen&) {
          EXPECT_FALSE(w->lines->Filtered());
          EXPECT_EQ(w->grid->RowCount(), 3);
        })});
}

TEST_F(GridTest, DestroyedDataSetIsLetGoByItsWindowAndGrid) {
  data::ClientDataSet* ds = w->lines;
  w->DestroyDataSet(ds);
  EXPECT_EQ(w->lines, nullptr);
  EXPECT_EQ(w->source->Model(), nullptr);
  EXPECT_EQ(w->grid->RowCount(), 0);
  EXPECT_EQ(w->grid->DrawFooter(2).text, "0.00");
}

}  // namespace
}  // namespace widgets
