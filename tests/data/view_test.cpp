// The view of a dataset on its own: which records of a store are visible, the cursor among them
// and its begin and end flags, rows arriving and rows leaving.
#include "data/view.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace data::internal {
namespace {

// A store of `n` rows with one text column: "r0", "r1", ...
std::unique_ptr<RecordStore> Store(int n) {
  auto layout = std::make_shared<Layout>();
  layout->columns.push_back({"NAME", FieldType::Text, 0, true, 0});
  auto store = std::make_unique<RecordStore>(layout);
  for (int i = 0; i < n; ++i) {
    uint32_t row = store->AppendRow();
    store->LoadText(row, 0, "r" + std::to_string(i));
  }
  store->IndexRowsFrom(0);
  return store;
}

// Rows whose number is even.
const RecordView::Filter kEven = [](uint32_t row) { return row % 2 == 0; };

struct Cursor {
  uint32_t pos;
  bool bof, eof;
};

void ExpectCursor(const RecordView& v, Cursor c, const char* after) {
  EXPECT_EQ(v.Pos(), c.pos) << after;
  EXPECT_EQ(v.Bof(), c.bof) << after;
  EXPECT_EQ(v.Eof(), c.eof) << after;
}

TEST(RecordViewTest, ShowingPutsTheCursorOnTheFirstRecord) {
  auto store = Store(3);
  RecordView v;
  v.Show(store.get(), nullptr);
  EXPECT_EQ(v.Count(), 3u);
  ExpectCursor(v, {0, true, false}, "show");
  v.Show(Store(0).get(), nullptr);
  ExpectCursor(v, {0, true, true}, "an empty store");
  v.Clear();
  EXPECT_EQ(v.Count(), 0u);
  EXPECT_FALSE(v.HasCurrent());
  ExpectCursor(v, {0, true, true}, "nothing shown");
}

TEST(RecordViewTest, MovesSetAndClearTheFlags) {
  auto store = Store(2);
  RecordView v;
  v.Show(store.get(), nullptr);
  struct Step {
    const char* move;
    bool moved;
    Cursor after;
  };
  const Step steps[] = {
      {"prior at the first, begin flag set", false, {0, true, false}},
      {"next", true, {1, false, false}},
      {"next from the last: end flag, stays", true, {1, false, true}},
      {"next with the end flag", false, {1, false, true}},
      {"prior", true, {0, false, false}},
      {"prior from the first: begin flag, stays", true, {0, true, false}},
      {"last", true, {1, false, true}},
      {"first", true, {0, true, false}},
      {"goto", true, {1, false, false}},
  };
  for (const Step& s : steps) {
    std::string m = s.move;
    bool moved = true;
    if (m.rfind("prior", 0) == 0) moved = v.Prior();
    if (m.rfind("next", 0) == 0) moved = v.Next();
    if (m == "last") v.Last();
    if (m == "first") v.First();
    if (m == "goto") v.Goto(1);
    EXPECT_EQ(moved, s.moved) << s.move;
    ExpectCursor(v, s.after, s.move);
  }
}

TEST(RecordViewTest, LastInAnEmptyViewSetsBothFlags) {
  auto store = Store(0);
  RecordView v;
  v.Show(store.get(), nullptr);
  v.Last();
  ExpectCursor(v, {0, true, true}, "last");
  EXPECT_FALSE(v.Next());
  EXPECT_FALSE(v.Prior());
}

TEST(RecordViewTest, AFilterShowsTheRecordsItAcceptsInRowOrder) {
  auto store = Store(5);
  RecordView v;
  v.Show(store.get(), &kEven);
  ASSERT_EQ(v.Count(), 3u);
  EXPECT_EQ(v.RowAt(0), 0u);
  EXPECT_EQ(v.RowAt(1), 2u);
  EXPECT_EQ(v.RowAt(2), 4u);
  EXPECT_EQ(v.PosOf(4), 2);
  EXPECT_EQ(v.PosOf(3), -1);
  store->Remove(2);
  EXPECT_EQ(v.PosOf(2), -1);  // a deleted row is not visible
}

TEST(RecordViewTest, ArrivingRowsShowWhereTheFilterAcceptsThemAndClearTheEndFlag) {
  const RecordView::Filter first_two = [](uint32_t row) { return row < 2; };
  struct Case {
    const char* what;
    const RecordView::Filter* filter;
    int arriving;
    bool shown;
    uint32_t count;
    uint32_t last;  // the position of the last record before they arrive
  };
  const Case cases[] = {
      {"no filter", nullptr, 2, true, 4, 1},
      {"the filter accepts one of them", &kEven, 2, true, 2, 0},
      {"the filter accepts none", &first_two, 2, false, 2, 1},
      {"nothing arrives", nullptr, 0, false, 2, 1},
  };
  for (const Case& c : cases) {
    auto store = Store(2);
    RecordView v;
    v.Show(store.get(), c.filter);
    v.Last();
    ASSERT_TRUE(v.Eof()) << c.what;
    uint32_t first = store->RowCount();
    for (int i = 0; i < c.arriving; ++i) store->LoadText(store->AppendRow(), 0, "new");
    store->IndexRowsFrom(first);
    EXPECT_EQ(v.Appended(first, c.filter), c.shown) << c.what;
    EXPECT_EQ(v.Count(), c.count) << c.what;
    EXPECT_EQ(v.Eof(), !c.shown) << c.what;
    EXPECT_EQ(v.Pos(), c.last) << c.what;  // the cursor stays where it was
  }
}

TEST(RecordViewTest, ARecordThatLeavesTakesTheCursorToTheNext) {
  struct Case {
    const char* what;
    uint32_t at;         // position of the cursor, and of the record that leaves
    uint32_t pos_after;  // where the cursor stands then
  };
  const Case cases[] = {
      {"the first", 0, 0},
      {"a middle one", 1, 1},
      {"the last", 2, 1},
  };
  for (const Case& c : cases) {
    auto store = Store(5);
    RecordView v;
    v.Show(store.get(), &kEven);  // rows 0, 2, 4
    v.Goto(c.at);
    uint32_t row = v.CurrentRow();
    uint32_t next = c.at + 1 < v.Count() ? v.RowAt(c.at + 1) : v.RowAt(c.at - 1);
    v.Remove(row);  // the row is still live: only the filter no longer accepts it
    EXPECT_EQ(v.Count(), 2u) << c.what;
    EXPECT_EQ(v.PosOf(row), -1) << c.what;
    EXPECT_EQ(v.Pos(), c.pos_after) << c.what;
    EXPECT_EQ(v.CurrentRow(), next) << c.what;
    EXPECT_FALSE(v.Bof() || v.Eof()) << c.what;
  }
  auto store = Store(1);
  RecordView v;
  v.Show(store.get(), nullptr);
  store->Remove(0);
  v.Remove(0);
  ExpectCursor(v, {0, true, true}, "the only record deleted");
}

}  // namespace
}  // namespace data::internal
