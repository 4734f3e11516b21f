// The edit buffer on its own: nothing reaches the store before it is written, and writing keeps
// the store's change log true (original values recorded once, a row changed back leaves the log,
// local columns never logged); kept lines come back on a cancel; a lookup's own value.
#include "data/edit_buffer.h"

#include <gtest/gtest.h>

#include <memory>

namespace data::internal {
namespace {

// One row: a stored text, a stored float and a local float; each row holds a table of lines.
std::unique_ptr<RecordStore> Store() {
  auto lines = std::make_shared<Layout>();
  lines->columns.push_back({"SL0000", FieldType::Float, 0, true, 0});
  auto layout = std::make_shared<Layout>();
  layout->columns.push_back({"NAME", FieldType::Text, 0, true, 0});
  layout->columns.push_back({"PRICE", FieldType::Float, 0, true, 1});
  layout->columns.push_back({"LOCAL", FieldType::Float, 0, false, -1});
  layout->nested.push_back({"LINES", 0, lines});
  auto store = std::make_unique<RecordStore>(layout);
  uint32_t row = store->AppendRow();
  store->LoadText(row, 0, "a");
  store->LoadBits(row, 1, DoubleBits(1.5));
  auto child = std::make_unique<RecordStore>(lines);
  child->LoadBits(child->AppendRow(), 0, DoubleBits(3));
  store->ChildSlot(row, 0) = std::move(child);
  store->IndexRowsFrom(0);
  return store;
}

TEST(EditBufferTest, NothingReachesTheStoreBeforeItIsWritten) {
  auto store = Store();
  EditBuffer b;
  b.Begin(*store, 0);
  EXPECT_EQ(b.Get(0), Value::Text("a"));
  EXPECT_FALSE(b.Modified());
  b.Set(0, Value::Text("b"));
  EXPECT_TRUE(b.Modified());
  EXPECT_EQ(b.Get(0), Value::Text("b"));
  EXPECT_EQ(store->Get(0, 0), Value::Text("a"));
  EXPECT_TRUE(store->changes().empty());
  b.WriteTo(*store, 0);
  EXPECT_EQ(store->Get(0, 0), Value::Text("b"));
}

TEST(EditBufferTest, WritingKeepsTheChangeLogTrue) {
  struct Case {
    const char* what;
    int column;
    Value value;
    bool logged;
  };
  const Case cases[] = {
      {"a stored column changed", 1, Value::Float(2), true},
      {"a stored column set to what it holds", 1, Value::Float(1.5), false},
      {"a local column", 2, Value::Float(7), false},
  };
  for (const Case& c : cases) {
    auto store = Store();
    EditBuffer b;
    b.Begin(*store, 0);
    b.Set(c.column, c.value);
    b.WriteTo(*store, 0);
    EXPECT_EQ(store->Get(0, c.column), c.value) << c.what;
    ASSERT_EQ(store->changes().count(0), c.logged ? 1u : 0u) << c.what;
    if (c.logged) {
      EXPECT_EQ(store->changes().at(0).original,
                (std::vector<Value>{Value::Text("a"), Value::Float(1.5)}))
          << c.what;
    }
  }
}

TEST(EditBufferTest, ARowChangedBackLeavesTheLogAndKeepsItsFirstOriginal) {
  auto store = Store();
  EditBuffer b;
  b.Begin(*store, 0);
  b.Set(1, Value::Float(2));
  b.WriteTo(*store, 0);
  b.Begin(*store, 0);
  b.Set(1, Value::Float(9));
  b.WriteTo(*store, 0);
  ASSERT_EQ(store->changes().count(0), 1u);
  EXPECT_EQ(store->changes().at(0).original[1], Value::Float(1.5));  // not 2
  b.Begin(*store, 0);
  b.Set(1, Value::Float(1.5));
  b.WriteTo(*store, 0);
  EXPECT_TRUE(store->changes().empty());
}

TEST(EditBufferTest, KeptLinesComeBackOnceAndEndForgetsThem) {
  auto store = Store();
  EditBuffer b;
  b.Begin(*store, 0);
  b.KeepLines(*store, 0);
  store->Child(0, 0)->Set(0, 0, Value::Float(8));
  b.KeepLines(*store, 0);  // kept once per edit: still the lines from before the change
  ASSERT_TRUE(b.KeptLines());
  b.RestoreLines(*store, 0);
  EXPECT_EQ(store->Child(0, 0)->Get(0, 0), Value::Float(3));
  EXPECT_FALSE(b.KeptLines());
  b.KeepLines(*store, 0);
  b.End();
  EXPECT_FALSE(b.KeptLines());
}

TEST(EditBufferTest, ALookupShowsItsOwnValueUntilForgotten) {
  auto store = Store();
  EditBuffer b;
  b.Begin(*store, 0);
  const auto* lookup = reinterpret_cast<const Field*>(&b);  // any distinct address stands for it
  EXPECT_EQ(b.LookupValue(lookup), nullptr);
  b.SetLookupValue(lookup, Value::Text("x"));
  b.SetLookupValue(lookup, Value::Text("y"));
  ASSERT_NE(b.LookupValue(lookup), nullptr);
  EXPECT_EQ(*b.LookupValue(lookup), Value::Text("y"));
  b.ForgetLookupValues([&](const Field* f) { return f == lookup; });
  EXPECT_EQ(b.LookupValue(lookup), nullptr);
  b.SetLookupValue(lookup, Value::Text("z"));
  b.End();
  EXPECT_EQ(b.LookupValue(lookup), nullptr);
}

}  // namespace
}  // namespace data::internal
