#include "remote/list_cache.h"

namespace remote {

std::size_t ListCopy::Bytes() const {
  std::size_t n = version.size();
  for (const std::string& m : messages) n += m.size();
  return n;
}

ListCache& ListCache::Process() {
  // Freed with the module: a host that unloads the module (FreeLibrary) gets the copies' memory
  // back. Nothing uses the cache on the way out (destroying an object does not touch it).
  static ListCache cache;
  return cache;
}

std::shared_ptr<const ListCopy> ListCache::Find(const std::string& key) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = entries_.find(key);
  if (it == entries_.end()) return nullptr;
  uses_.splice(uses_.begin(), uses_, it->second.use);
  return it->second.copy;
}

void ListCache::Store(const std::string& key, ListCopy copy) {
  const std::size_t size = copy.Bytes() + key.size();
  auto shared = std::make_shared<const ListCopy>(std::move(copy));
  std::lock_guard<std::mutex> lock(mu_);
  auto it = entries_.find(key);
  if (it != entries_.end()) {
    bytes_ -= it->second.bytes;
    uses_.erase(it->second.use);
    entries_.erase(it);
  }
  if (size > limit_) return;
  uses_.push_front(key);
  entries_[key] = Entry{std::move(shared), size, uses_.begin()};
  bytes_ += size;
  EvictLocked();
}

void ListCache::Drop(const std::string& key) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = entries_.find(key);
  if (it == entries_.end()) return;
  bytes_ -= it->second.bytes;
  uses_.erase(it->second.use);
  entries_.erase(it);
}

void ListCache::Clear() {
  std::lock_guard<std::mutex> lock(mu_);
  entries_.clear();
  uses_.clear();
  bytes_ = 0;
}

void ListCache::SetLimit(std::size_t bytes) {
  std::lock_guard<std::mutex> lock(mu_);
  limit_ = bytes;
  EvictLocked();
}

std::size_t ListCache::limit() const {
  std::lock_guard<std::mutex> lock(mu_);
  return limit_;
}

std::size_t ListCache::bytes() const {
  std::lock_guard<std::mutex> lock(mu_);
  return bytes_;
}

std::size_t ListCache::size() const {
  std::lock_guard<std::mutex> lock(mu_);
  return entries_.size();
}

void ListCache::EvictLocked() {
  while (bytes_ > limit_ && !uses_.empty()) {
    auto it = entries_.find(uses_.back());
    bytes_ -= it->second.bytes;
    entries_.erase(it);
    uses_.pop_back();
  }
}

std::string ListCacheKey(const std::string& server, const std::string& prog_id,
                         const std::string& provider) {
  std::string key = server;
  key.push_back('\0');
  key += prog_id;
  key.push_back('\0');
  key += provider;
  return key;
}

}  // namespace remote
