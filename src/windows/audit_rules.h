// The rules of an audit that need no window: how a stock warning colour is read, how a stock
// figure is compared with its thresholds, how a new unit price gives the line's amount and tax,
// and how the stock statements of a save are written. The audit editor (QMDWLRTSH_EDITU) applies
// them to its datasets; keeping them here lets them be checked case by case.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "widgets/types.h"

namespace windows::audit {

// --- Stock warning colours ---

// What a warning colour text names.
struct WarningColor {
  enum class Kind {
    kColor,       // a colour: a fixed one, a number 0..$FFFFFF, or a system colour (unresolved)
    kNone,        // "clNone": no colour
    kUnreadable,  // neither a colour name nor a number in range (the empty text, "  -1", "abc")
  };
  Kind kind = Kind::kUnreadable;
  widgets::Color color = widgets::kClBlack;  // for kColor
};

// Reads a warning colour text: a colour name compared without regard to letter case (the
// sixteen fixed colours, the 25 system colours, "clNone"), otherwise a whole number, optionally
// after blanks and a sign, in decimal or in hexadecimal after "$" or "0x"; a number from 0 to
// $FFFFFF is a colour with red in its lowest byte. Never fails.
WarningColor ParseWarningColor(std::string_view text);

// A stock figure or threshold as a whole number: the nearest integer, a value exactly halfway
// going to the even neighbour (10.5 -> 10, 11.5 -> 12). A value outside the 32-bit signed range
// (and a value that is not a number) counts as 0.
int32_t StockWhole(double value);
int32_t StockWhole(int64_t value);

// Which text colour a stock cell takes. `stock`, `upper` and `lower` are already whole numbers
// (StockWhole); `upper_color` and `lower_color` are the warning row's colour texts. Above the
// upper threshold: the upper colour; else below the lower one: the lower colour; else black.
// Nothing (the cell keeps the grid's colours) when the chosen colour text is unreadable or
// "clNone". A system colour comes back unresolved; the window resolves it on its platform.
std::optional<widgets::Color> StockTextColor(int32_t stock, int32_t upper,
                                             std::string_view upper_color, int32_t lower,
                                             std::string_view lower_color);

// --- Price, amount and tax ---

// The amount and tax that a line takes for a new unit price (never 0: a price of 0 restores the
// previous price instead and computes nothing). Every step in extended precision:
//   amount = price x quantity, stored as a 64-bit float (not brought to whole cents);
//   r      = rate / 100 (a rate without value is 0);
//   tax    = amount x r / (r + 1), written with "0.00" (halves away from zero) and read back.
// When r + 1 is 0 (a rate of -100 percent) there is no tax to compute: `tax` is empty and the line
// keeps the tax it has. It is empty too when the quotient does not fit a 64-bit float. `amount`
// is empty when the product does not fit a 64-bit float.
struct LineAmounts {
  std::optional<double> amount;
  std::optional<double> tax;
};
LineAmounts AmountsForPrice(double price, double quantity, double rate_percent);

// --- Stock statements of a save ---

// "UPDATE XSTZXKC0 SET KCSL00=KCSL00-(<quantity>) WHERE SPDM00='<goods>' AND CKDM00='<warehouse>'
// AND KCBZ00='YW'" with the quantity as number text. A quote inside a code is written doubled, so
// that a code can never end the quoted text early; codes without quotes appear as they stand.
std::string StockDecrement(double quantity, std::string_view goods, std::string_view warehouse);

// Appends one line's two statements to a batch: "!", the statement for warehouse "0B", "!", the
// statement for the document's warehouse. The finished batch drops its first character.
void AppendLineStatements(std::string& batch, double quantity, std::string_view goods,
                          std::string_view warehouse);

}  // namespace windows::audit
