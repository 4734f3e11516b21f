#include "page.h"

#include <algorithm>

#include "rtl/capitals.h"
#include "rtl/money.h"
#include "rtl/numtext.h"

namespace printmodule {
namespace {

constexpr int kMargin = 150;
constexpr int kRowHeight = 70;
constexpr int kTextSize = 40;

struct Column {
  const char* caption;
  int width;
  Align align;
};

std::string DateText(bool has, rtl::DateTime t) {
  return has ? rtl::FormatDate("yyyy-mm-dd", t) : std::string();
}

std::string MoneyText(bool has, double v) {
  return has ? rtl::FormatMoney(v) : std::string();
}

}  // namespace

std::vector<Page> LayoutDocument(const PrintDocument& doc, const std::string& unit) {
  const Column columns[] = {
      {"序号", 110, Align::Center},    {"商品代码", 230, Align::Left},
      {"商品名称", 470, Align::Left},  {"含税单价(元)", 250, Align::Right},
      {"", 250, Align::Right},         {"含税金额(元)", 250, Align::Right},
      {"税额(元)", 240, Align::Right},
  };
  const std::string quantity_caption = "数量(" + unit + ")";
  const int table_width = 1800;
  const int header_top = 330;  // below title and three header rows
  const int table_top = header_top + 3 * kRowHeight + 40;
  const int footer_room = 3 * kRowHeight + 120;  // totals, capitals, page number
  const int rows_per_page =
      std::max(1, (kPageHeight - kMargin - footer_room - table_top - kRowHeight) / kRowHeight);
  const int line_count = static_cast<int>(doc.lines.size());
  const int page_count = std::max(1, (line_count + rows_per_page - 1) / rows_per_page);

  rtl::Extended total_qty = 0, total_amount = 0, total_tax = 0;
  for (const PrintLine& l : doc.lines) {
    total_qty += l.quantity;
    total_amount += l.amount;
    total_tax += l.tax;
  }

  std::vector<Page> pages;
  for (int p = 0; p < page_count; ++p) {
    Page page;
    auto text = [&](int x, int y, int w, std::string s, Align a = Align::Left, bool bold = false,
                    int size = kTextSize) {
      page.texts.push_back({x, y, w, kRowHeight, std::move(s), size, bold, a});
    };
    text(kMargin, kMargin, table_width, "商品损溢单", Align::Center, true, 80);
    page.lines.push_back({kMargin + 650, kMargin + 110, kMargin + 1150, kMargin + 110, 4});

    const int third = table_width / 3;
    int y = header_top;
    text(kMargin, y, third, "单    号：" + doc.number);
    text(kMargin + third, y, third, "制单日期：" + DateText(doc.has_made_on, doc.made_on));
    text(kMargin + 2 * third, y, third, "制单人员：" + doc.maker);
    y += kRowHeight;
    text(kMargin, y, third, "溢耗仓库：" + doc.warehouse);
    text(kMargin + third, y, third, "审核日期：" + DateText(doc.audited, doc.audited_on));
    text(kMargin + 2 * third, y, third, "审核人员：" + doc.auditor);
    y += kRowHeight;
    text(kMargin, y, table_width, "备    注：" + doc.remark);

    // The table: a header row, this page's lines, on the last page the totals.
    y = table_top;
    const int first = p * rows_per_page;
    const int last = std::min(line_count, first + rows_per_page);
    const bool last_page = p == page_count - 1;
    const int rows = 1 + (last - first) + (last_page ? 1 : 0);
    const int bottom = y + rows * kRowHeight;
    for (int r = 0; r <= rows; ++r) {
      page.lines.push_back(
          {kMargin, y + r * kRowHeight, kMargin + table_width, y + r * kRowHeight});
    }
    int x = kMargin;
    for (const Column& c : columns) {
      page.lines.push_back({x, y, x, bottom});
      x += c.width;
    }
    page.lines.push_back({x, y, x, bottom});

    auto row = [&](int ry, const std::vector<std::string>& cells, bool bold, bool header) {
      int cx = kMargin;
      for (size_t i = 0; i < cells.size(); ++i) {
        const Align a = header ? Align::Center : columns[i].align;
        text(cx + 15, ry, columns[i].width - 30, cells[i], a, bold);
        cx += columns[i].width;
      }
    };
    std::vector<std::string> head;
    for (const Column& c : columns) head.push_back(*c.caption ? c.caption : quantity_caption);
    row(y, head, true, true);
    y += kRowHeight;
    for (int i = first; i < last; ++i) {
      const PrintLine& l = doc.lines[i];
      row(y,
          {rtl::IntToStr(i + 1), l.goods_code, l.goods_name,
           l.has_price ? rtl::FloatToStr(l.price) : std::string(), rtl::FloatToStr(l.quantity),
           MoneyText(l.has_amount, l.amount), MoneyText(l.has_tax, l.tax)},
          false, false);
      y += kRowHeight;
    }
    if (last_page) {
      row(y,
          {"", "合计", "", "", rtl::FloatToStr(static_cast<double>(total_qty)),
           rtl::FormatFooter(total_amount), rtl::FormatFooter(total_tax)},
          true, false);
      y += kRowHeight + 30;
      std::string capitals = rtl::MoneyToCapitals(static_cast<double>(total_amount));
      text(kMargin, y, table_width, "含税金额合计（大写）：" + capitals);
    }
    text(kMargin, kPageHeight - kMargin - kRowHeight, table_width,
         "第 " + rtl::IntToStr(p + 1) + " 页  共 " + rtl::IntToStr(page_count) + " 页",
         Align::Center);
    pages.push_back(std::move(page));
  }
  return pages;
}

}  // namespace printmodule
