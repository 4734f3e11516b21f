// The client dataset: an in-memory table filled from a named provider of a server object, with
// typed fields (stored, lookup, local, nested), parameters, an optional command text, packets,
// a cursor with begin/end flags, filters, locate, bookmarks, edit/post with a local change log
// that apply updates sends back, and hooks. The windows are written in terms of this interface.
//
// What a dataset guarantees:
// - Open binds every declared stored field to the packet's field of the same name (names compare
//   without regard to ASCII letter case); a missing one fails the open with an error naming it and
//   the dataset stays closed. A dataset that declares no stored or nested field takes the packet's
//   fields as they come. Opening an open dataset, or closing a closed one, does nothing.
// - The cursor: First sets the begin flag, Last the end flag (and clears the begin flag when there
//   are records); Next from the last record sets the end flag and stays, Prior from the first sets
//   the begin flag and stays; an empty dataset has both flags. The after-move hook runs after
//   First, Last, SetRecNo, a successful Locate, GotoBookmark, Delete, switching the filter, and
//   after opening a dataset that has records; after Next and Prior too, including the move that
//   sets a flag, but not when Next is asked with the end flag already set (or Prior with the begin
//   flag set).
// - Every cursor move of a dataset in edit state first posts the record when a field was changed
//   and otherwise leaves edit state without a change.
// - Nested lines: a dataset bound to a header's nested field shows the lines of the header under
//   the cursor; each move of the header cursor shows the new header's lines from the first line.
//   Editing a line puts the header in edit state; posting the header posts the pending line first;
//   cancelling the header also undoes the line changes made since it entered edit state. Line
//   changes belong to the header's change log.
// - A field without value reads as "" (text), 0 (numbers) and the zero date-time.
// - Lookup fields follow their key and their source list (its filter included) on every read;
//   they are cut to their own width. A lookup field may be given a value in edit state; the value
//   shows until the record is posted or cancelled or its key changes.
//
// Not thread-safe: every dataset belongs to the thread of the windows.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "remote/connection.h"
#include "remote/value.h"
#include "rtl/datetime.h"
#include "rtl/error.h"

namespace data {

class DataError : public rtl::Error {
 public:
  using rtl::Error::Error;
};

using FieldType = remote::FieldType;  // Text, Float, DateTime, Integer, Nested

enum class FieldKind { Stored, Lookup, Local, Nested };
// Insert is reserved: the module's windows neither insert nor append records.
enum class DataSetState { Inactive, Browse, Edit, Insert };

class ClientDataSet;

// How a field is declared. Lookup fields name their source list (which may belong to another
// window), the key field(s) of this dataset, the key field(s) of the source and the result field;
// several key fields are joined by ";".
struct FieldDecl {
  std::string name;
  FieldType type = FieldType::Text;
  FieldKind kind = FieldKind::Stored;
  int size = 0;  // text: width in GBK bytes (0: as the packet defines it)
  bool required = false;
  ClientDataSet* lookup_dataset = nullptr;
  std::string key_fields;
  std::string lookup_key_fields;
  std::string lookup_result_field;
};

// Declaring fields in one line each.
FieldDecl StoredField(std::string name, FieldType type, int size = 0, bool required = false);
FieldDecl LocalField(std::string name, FieldType type, int size = 0);
FieldDecl NestedField(std::string name);
FieldDecl LookupField(std::string name, int size, ClientDataSet* source, std::string key_fields,
                      std::string source_key_fields, std::string result_field);

// A field of the current record. Reading a field without value gives "" as text, 0 as a number,
// the zero date-time as a date-time. A field object lives as long as its dataset.
class Field {
 public:
  virtual ~Field() = default;
  virtual const std::string& FieldName() const = 0;
  virtual FieldType DataType() const = 0;
  virtual FieldKind Kind() const = 0;
  virtual int Size() const = 0;  // text width in GBK bytes; 0 when unbounded
  virtual bool Required() const = 0;
  virtual ClientDataSet& DataSet() const = 0;

  // Without value: no value at all, or an empty text.
  virtual bool IsNull() const = 0;
  // Text: the text. Float: its number text. Date-time: the date in the module's short date form.
  // Whole number: its digits.
  virtual std::string AsString() const = 0;
  virtual double AsFloat() const = 0;     // text is read as a number (rtl::ConvertError if not)
  virtual int64_t AsInteger() const = 0;  // the nearest integer, halves to even
  virtual rtl::DateTime AsDateTime() const = 0;

  // Setting needs the dataset in edit state (DataError otherwise). Text fields keep the longest
  // whole-character prefix that fits their width. Float fields parse a number, date-time fields
  // a date in the short date form (rtl::ConvertError, nothing changed, when the text is not one);
  // the empty text clears the field.
  virtual void SetAsString(std::string_view text) = 0;
  virtual void SetAsFloat(double value) = 0;
  virtual void SetAsInteger(int64_t value) = 0;
  virtual void SetAsDateTime(rtl::DateTime value) = 0;
  virtual void Clear() = 0;
};

// A parameter of the dataset: declared with a type; assigning text makes it a text parameter.
class Param {
 public:
  Param(std::string name, remote::ParamType type, remote::ParamDirection direction);
  const std::string& Name() const { return p_.name; }
  remote::ParamType Type() const { return p_.type; }
  bool IsNull() const { return p_.value.is_null(); }
  std::string AsString() const;  // "" without value; numbers as number text
  void SetAsString(std::string text);
  void SetAsFloat(double value);
  void Clear();
  const remote::Param& Wire() const { return p_; }

 private:
  remote::Param p_;
};

enum class LocateOption { Exact, PartialKey };

// An opaque mark of one record; valid until released or until the dataset is closed (for lines:
// until the header's lines are switched).
struct Bookmark {
  int64_t record_id = -1;
  bool Valid() const { return record_id >= 0; }
};

// Something that shows the dataset (a grid, an edit, a memo): told when it must redraw.
// ActiveChanged: opened or closed. Scrolled: the cursor moved. DataChanged: records changed,
// arrived, were filtered or switched (also when a lookup source changed). RecordChanged: a field
// of the record being edited was set. StateChanged: edit state entered or left. Destroying: the
// dataset is being destroyed; the link must forget it.
class DataLink {
 public:
  enum class Event {
    ActiveChanged,
    Scrolled,
    DataChanged,
    RecordChanged,
    StateChanged,
    Destroying
  };
  virtual ~DataLink() = default;
  virtual void DataSetEvent(ClientDataSet& dataset, Event event) = 0;
};

class ClientDataSet {
 public:
  explicit ClientDataSet(std::string name);
  // Tells every data link (Destroying), detaches nested datasets and lookup fields that read it.
  ~ClientDataSet();
  ClientDataSet(const ClientDataSet&) = delete;
  ClientDataSet& operator=(const ClientDataSet&) = delete;

  const std::string& Name() const;

  // --- Declaration (while closed) ---
  Field& AddField(const FieldDecl& decl);
  void SetRemoteServer(remote::Connection* connection);
  remote::Connection* RemoteServer() const;
  void SetProviderName(std::string provider);
  const std::string& ProviderName() const;
  void SetPacketRecords(int records);  // -1: all rows at opening
  int PacketRecords() const;
  Param& AddParam(std::string name, remote::ParamType type,
                  remote::ParamDirection direction = remote::ParamDirection::Input);
  Param& ParamByName(std::string_view name);  // DataError naming it when unknown
  int ParamCount() const;
  void SetCommandText(std::string text);
  const std::string& CommandText() const;
  // Makes this dataset present the lines held in `nested_field` of a header dataset (nullptr:
  // detach). Both datasets must be closed.
  void SetDataSetField(Field* nested_field);
  Field* DataSetField() const;

  // --- Life ---
  void Open();  // nothing when open; after-move hook once when it has records
  // Sends the request Open would send now ahead of it, so that the requests of several lists
  // travel to the server together (see PrefetchOpen below). Nothing for an open dataset, for
  // lines, or when the connection is not active; never fails.
  void PrefetchOpen();
  void Close();  // drops rows, local values and unapplied changes; nothing when closed
  bool Active() const;
  DataSetState State() const;
  // Fetches the next packet (nothing when every row has arrived); the number of rows appended.
  // Rows that arrive while the end flag is set clear it, so the next Next reaches them.
  int GetNextPacket();
  void Execute();                    // the provider executes the command text
  int ApplyUpdates(int max_errors);  // the number of errors the provider reported

  // --- Cursor ---
  void First();
  void Last();
  void Next();
  void Prior();
  bool Bof() const;
  bool Eof() const;
  bool IsEmpty() const;
  int RecordCount() const;    // visible records loaded so far
  int RecNo() const;          // 1-based position of the cursor among the visible records; 0 if none
  void SetRecNo(int rec_no);  // moves the cursor there (a cursor move)

  // --- Fields ---
  Field& FieldByName(std::string_view name);  // DataError naming it when unknown
  Field* FindField(std::string_view name);
  int FieldCount() const;
  Field& FieldAt(int index);
  // Reading a field of any visible record without moving the cursor (grids, footers). The record
  // being edited reads as edited. DataError when the index is out of range.
  std::string TextAt(int rec_index, const Field& field) const;  // 0-based visible index
  double FloatAt(int rec_index, const Field& field) const;
  bool IsNullAt(int rec_index, const Field& field) const;
  // The sum of a field over every visible record, in extended precision (footer sums).
  long double Sum(const Field& field) const;

  // --- Filter, locate, bookmarks ---
  // "FIELD='value'" conditions joined by " AND " (also OR, NOT, parentheses, <>, <, >, IS NULL).
  // Setting the expression while the filter is on applies it at once.
  void SetFilter(std::string expression);
  const std::string& Filter() const;
  void SetFiltered(
      bool on);  // also to the state it has: the cursor goes to the first visible record
  bool Filtered() const;
  // Fields joined by ";" and as many values. PartialKey: every field but the last must equal its
  // value; the last, when it is a text field, matches when it begins with its value.
  bool Locate(std::string_view key_fields, const std::vector<std::string>& values,
              LocateOption option = LocateOption::Exact);
  Bookmark GetBookmark() const;
  void GotoBookmark(const Bookmark& mark);  // DataError "Record not found" when it is gone
  void FreeBookmark(Bookmark& mark);

  // --- Editing ---
  void Edit();
  void Post();
  void Cancel();
  // Deletes the current record locally; the deletion joins the change log.
  // "Cannot perform this operation on an empty dataset" when there is none.
  void Delete();
  bool Modified() const;
  int ChangeCount() const;                      // records of the change log (headers)
  std::vector<remote::RowDelta> Delta() const;  // the change log as apply updates sends it
  void MergeChangeLog();                        // forgets the log: current values become original

  // --- Hooks and links ---
  std::function<void(ClientDataSet&)> AfterScroll;
  std::function<void(ClientDataSet&)> BeforePost;
  void AddLink(DataLink* link);
  void RemoveLink(DataLink* link);

  // Heap bytes held by the records, their text, the change log and the indexes.
  size_t MemoryUsage() const;
  size_t TextBytes() const;  // of which the text itself

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// Announces the opens that follow, in this order, with only local work between them: their
// requests go to the server in one exchange instead of one each. Each dataset is still opened by
// its own Open(), in the caller's order, with the same result, hooks and failures as without the
// announcement: Open takes the answer only when it asks exactly what was announced and nothing
// else went to that server in between, and asks anew otherwise.
void PrefetchOpen(std::initializer_list<ClientDataSet*> datasets);

}  // namespace data
