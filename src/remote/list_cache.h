// The client's copies of whole lists, kept for the life of the process (so beyond one showdll
// call): the stock list above all, whose 150,000 rows would otherwise cross the network at every
// audit. A copy is a list's reply as it arrived (its messages, compressed as they came) with the
// version the server gave it; the next open of the same list sends that version, and the server
// answers "unchanged" (the copy is decoded again) or sends the list anew.
//
// A copy is stored only once its whole reply has arrived and decoded, so a connection lost in
// the middle of a reply never leaves a partial copy behind. The server decides whether a copy
// is still current; the client never takes a copy as current on its own.
//
// Memory: the copies take at most limit() bytes together (kDefaultLimit: 32 MiB; the large
// stock list takes about 45 KB); the least recently used copies give way first, and a reply
// larger than the limit is not kept. Thread-safe.
#pragma once

#include <cstddef>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace remote {

struct ListCopy {
  std::string version;
  std::vector<std::string> messages;  // the reply's messages, in the order they arrived
  std::size_t Bytes() const;
};

class ListCache {
 public:
  static constexpr std::size_t kDefaultLimit = std::size_t{32} << 20;

  // The one cache of the process.
  static ListCache& Process();

  explicit ListCache(std::size_t limit = kDefaultLimit) : limit_(limit) {}

  // The copy kept under `key`, or nullptr; a copy found becomes the most recently used.
  std::shared_ptr<const ListCopy> Find(const std::string& key);
  // Keeps `copy` under `key` in place of any earlier one, then lets the least recently used
  // copies go until the rest fits the limit. A copy larger than the limit is not kept (and the
  // earlier one is dropped).
  void Store(const std::string& key, ListCopy copy);
  void Drop(const std::string& key);
  void Clear();

  void SetLimit(std::size_t bytes);
  std::size_t limit() const;
  std::size_t bytes() const;  // held by the copies now
  std::size_t size() const;   // copies held now

 private:
  struct Entry {
    std::shared_ptr<const ListCopy> copy;
    std::size_t bytes = 0;
    std::list<std::string>::iterator use;  // place in uses_
  };
  void EvictLocked();

  mutable std::mutex mu_;
  std::size_t limit_;
  std::size_t bytes_ = 0;
  std::map<std::string, Entry> entries_;
  std::list<std::string> uses_;  // most recently used first
};

// The key of a list: the server's address, the object's ProgID and the provider.
std::string ListCacheKey(const std::string& server, const std::string& prog_id,
                         const std::string& provider);

}  // namespace remote
