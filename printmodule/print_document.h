// The document as the print module prints it: the header with the names of the people and the
// warehouse resolved, and its lines with the goods names, read from the application server.
#pragma once

#include <string>
#include <vector>

#include "rtl/datetime.h"
#include "rtl/error.h"

namespace printmodule {

struct PrintLine {
  std::string goods_code;  // SPDM00
  std::string goods_name;  // SPMC00 of the goods list
  double price = 0;        // DJIA00
  double quantity = 0;     // SL0000, cartons
  double amount = 0;       // JE0000
  double tax = 0;          // SE0000
  bool has_price = false, has_amount = false, has_tax = false;
};

struct PrintDocument {
  std::string number;  // DHAO00 as number text
  rtl::DateTime made_on;
  bool has_made_on = false;
  std::string maker;  // RYMC00 of CKRY00; empty when the staff list lacks it
  rtl::DateTime audited_on;
  bool audited = false;
  std::string auditor;
  std::string warehouse;  // CKMC00 of CKDM00; the code when the list lacks it
  std::string remark;     // BEIZHU
  double tax_rate = 0;    // ZZSL00
  std::vector<PrintLine> lines;
};

// A failure the operator is told about: the document does not exist, the server cannot be
// reached, or it answers with an error.
class PrintError : public rtl::Error {
 public:
  using rtl::Error::Error;
};

// Reads document `number` (number text) from the application server on `server_host` through
// the system-transaction object, and the names it refers to through the system-control,
// company-information and store-product objects.
PrintDocument LoadPrintDocument(const std::string& server_host, const std::string& number);

}  // namespace printmodule
