// An in-process server object with one provider, "lines": a few document lines, all in the first
// packet. Tests install it as the process's object factory.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "remote/connection.h"
#include "remote/server_object.h"

namespace widgets::testing {

struct Line {
  std::string code;
  double price;
  double quantity;
};

class LinesObject : public remote::ServerObject {
 public:
  explicit LinesObject(std::vector<Line> lines) : lines_(std::move(lines)) {}
  remote::OpenResult Open(const remote::OpenRequest& request) override {
    if (request.provider != "lines") throw remote::ServerError("no provider " + request.provider);
    remote::OpenResult result;
    result.packet.fields = {{"SPDM00", remote::FieldType::Text, 10, {}},
                            {"DJIA00", remote::FieldType::Float, 0, {}},
                            {"SL0000", remote::FieldType::Float, 0, {}},
                            {"JE0000", remote::FieldType::Float, 0, {}}};
    for (const Line& l : lines_) {
      remote::Row row;
      row.cells = {remote::Value::Text(l.code), remote::Value::Float(l.price),
                   remote::Value::Float(l.quantity), remote::Value::Float(l.price * l.quantity)};
      result.packet.rows.push_back(std::move(row));
    }
    return result;
  }
  remote::Packet Fetch(uint32_t, int32_t) override { return {}; }
  void CloseCursor(uint32_t) override {}
  void Execute(const std::string&, const std::vector<remote::Param>&, const std::string&) override {
  }
  remote::ApplyResult ApplyUpdates(const std::string&, const std::vector<remote::RowDelta>&,
                                   int32_t) override {
    return {};
  }
  remote::Value Call(const std::string&, std::vector<remote::Value>&) override { return {}; }

 private:
  std::vector<Line> lines_;
};

// Installs a factory whose every object serves `lines`.
inline void ServeLines(std::vector<Line> lines) {
  remote::SetObjectFactory([lines](const std::string&, const std::string&) {
    return std::make_unique<LinesObject>(lines);
  });
}

}  // namespace widgets::testing
