#include "server/storage.h"

#include "rtl/datetime.h"
#include "server/storage_backends.h"

namespace server {

remote::Value DbRows::Get(int column, remote::FieldType type) const {
  if (IsNull(column)) return remote::Value();
  switch (type) {
    case remote::FieldType::Text:
      return remote::Value::Text(std::string(Text(column)));
    case remote::FieldType::Float:
      return remote::Value::Float(Float(column));
    case remote::FieldType::Integer:
      return remote::Value::Integer(Integer(column));
    case remote::FieldType::DateTime: {
      std::string_view text = Text(column);
      rtl::DateTime d;
      if (!rtl::TryIsoToDateTime(text, d)) {
        throw StorageError(msg::StoredDateUnreadable(text));
      }
      return remote::Value::Date(d);
    }
    case remote::FieldType::Nested:
      break;
  }
  return remote::Value();
}

std::unique_ptr<StorageFactory> OpenStorage(const std::string& url, const StorageOptions& options) {
  const std::string sqlite_prefix = "sqlite:";
  if (url.rfind(sqlite_prefix, 0) == 0) {
    std::string path = url.substr(sqlite_prefix.size());
    if (path.empty()) throw StorageError(msg::Make("S-DB-010"));
    return OpenSqliteStorage(path, options);
  }
  if (url.rfind("postgresql://", 0) == 0 || url.rfind("postgres://", 0) == 0 ||
      url.find('=') != std::string::npos) {
    return OpenPostgresStorage(url, options);
  }
  throw StorageError(msg::Make("S-DB-011", {msg::Same(url)}));
}

}  // namespace server
