// The client's copies of lists: found by key, replaced by a newer copy, and held within the
// memory limit by letting the least recently used ones go.
#include "remote/list_cache.h"

#include <gtest/gtest.h>

namespace remote {
namespace {

ListCopy Copy(const std::string& version, std::size_t bytes) {
  return ListCopy{version, {std::string(bytes, 'x')}};
}

TEST(ListCacheTest, ACopyIsFoundByItsKeyAndReplacedByANewerOne) {
  ListCache cache(10000);
  EXPECT_EQ(cache.Find("a"), nullptr);
  cache.Store("a", Copy("v1", 100));
  ASSERT_NE(cache.Find("a"), nullptr);
  EXPECT_EQ(cache.Find("a")->version, "v1");
  cache.Store("a", Copy("v2", 200));
  EXPECT_EQ(cache.Find("a")->version, "v2");
  EXPECT_EQ(cache.size(), 1u);
  EXPECT_EQ(cache.bytes(), 200u + 2 + 1);  // the messages, the version, the key
  cache.Drop("a");
  EXPECT_EQ(cache.Find("a"), nullptr);
  EXPECT_EQ(cache.bytes(), 0u);
}

TEST(ListCacheTest, TheLeastRecentlyUsedCopiesGiveWayToTheLimit) {
  ListCache cache(1000);
  cache.Store("a", Copy("1", 400));
  cache.Store("b", Copy("1", 400));
  ASSERT_NE(cache.Find("a"), nullptr);  // "a" is now the most recently used
  cache.Store("c", Copy("1", 400));     // "b" goes
  EXPECT_NE(cache.Find("a"), nullptr);
  EXPECT_EQ(cache.Find("b"), nullptr);
  EXPECT_NE(cache.Find("c"), nullptr);
  EXPECT_LE(cache.bytes(), 1000u);

  // A copy larger than the limit is not kept, and the older copy of its list goes with it.
  cache.Store("a", Copy("2", 2000));
  EXPECT_EQ(cache.Find("a"), nullptr);
  EXPECT_NE(cache.Find("c"), nullptr);

  cache.SetLimit(100);
  EXPECT_EQ(cache.size(), 0u);
}

// A copy in use stays whole while the cache lets it go.
TEST(ListCacheTest, ACopyHandedOutOutlivesItsEviction) {
  ListCache cache(1000);
  cache.Store("a", Copy("1", 500));
  std::shared_ptr<const ListCopy> held = cache.Find("a");
  cache.Store("b", Copy("1", 900));
  EXPECT_EQ(cache.Find("a"), nullptr);
  EXPECT_EQ(held->messages[0].size(), 500u);
}

}  // namespace
}  // namespace remote
