// The two storage backends, created by OpenStorage (storage.cpp).
#pragma once

#include <memory>
#include <string>

#include "server/storage.h"

namespace server {

std::unique_ptr<StorageFactory> OpenSqliteStorage(const std::string& path,
                                                  const StorageOptions& options);
std::unique_ptr<StorageFactory> OpenPostgresStorage(const std::string& conninfo,
                                                    const StorageOptions& options);

}  // namespace server
