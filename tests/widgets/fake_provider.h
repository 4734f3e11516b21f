// An in-process server object with one provider, "lines": a few document lines, all in the first
// packet. Tests install it as the process's object factory.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "remote/connection.h"
#include "tests/support/server_object_double.h"

namespace widgets::testing {

struct Line {
  std::string code;
  double price;
  double quantity;
};

// A server object whose provider "lines" serves `lines`.
inline std::unique_ptr<remote::ServerObject> LinesObject(std::vector<Line> lines) {
  auto object = std::make_unique<testsupport::ServerObjectDouble>();
  object->on_open = [lines = std::move(lines)](const remote::OpenRequest& request) {
    if (request.provider != "lines") throw remote::ServerError("no provider " + request.provider);
    remote::OpenResult result;
    result.packet.fields = {{"SPDM00", remote::FieldType::Text, 10, {}},
                            {"DJIA00", remote::FieldType::Float, 0, {}},
                            {"SL0000", remote::FieldType::Float, 0, {}},
                            {"JE0000", remote::FieldType::Float, 0, {}}};
    for (const Line& l : lines) {
      remote::Row row;
      row.cells = {remote::Value::Text(l.code), remote::Value::Float(l.price),
                   remote::Value::Float(l.quantity), remote::Value::Float(l.price * l.quantity)};
      result.packet.rows.push_back(std::move(row));
    }
    return result;
  };
  return object;
}

// Installs a factory whose every object serves `lines`.
inline void ServeLines(std::vector<Line> lines) {
  remote::SetObjectFactory(
      [lines](const std::string&, const std::string&) { return LinesObject(lines); });
}

}  // namespace widgets::testing
