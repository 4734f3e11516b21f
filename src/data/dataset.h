// The client dataset: an in-memory table filled from a named provider of a server object, with
// typed fields (stored, lookup, local, nested), parameters, an optional command text, packets,
// a cursor with begin/end flags, filters, locate, bookmarks, edit/post with a local change log
// that apply updates sends back, and hooks. The windows are written in terms of this interface.
//
// Contract draft: the engine's implementer may add to it; names that windows use stay.
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
enum class DataSetState { Inactive, Browse, Edit, Insert };

class ClientDataSet;

// How a field is declared. Lookup fields name their source list (which may belong to another
// window), the key field of this dataset, the key field of the source and the result field.
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

// A field of the current record. Reading a field without value gives "" as text, 0 as a number,
// the zero date-time as a date-time.
class Field {
 public:
  virtual ~Field() = default;
  virtual const std::string& FieldName() const = 0;
  virtual FieldType DataType() const = 0;
  virtual FieldKind Kind() const = 0;
  virtual int Size() const = 0;
  virtual bool Required() const = 0;
  virtual ClientDataSet& DataSet() const = 0;

  virtual bool IsNull() const = 0;
  // Text: the text. Float: its number text. Date-time: the date in the module's short date form.
  // Whole number: its digits.
  virtual std::string AsString() const = 0;
  virtual double AsFloat() const = 0;      // text is read as a number (DataError when it is not)
  virtual int64_t AsInteger() const = 0;   // the nearest integer, halves to even
  virtual rtl::DateTime AsDateTime() const = 0;

  // Setting needs the dataset in edit state (DataError otherwise), except for local fields while
  // the record is being edited. Text fields keep the longest whole-character prefix that fits
  // their width. Float fields parse a number, date-time fields a date in the short date form
  // (ConvertError, nothing changed, when the text is not one); the empty text clears the field.
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
  void SetAsString(std::string text);
  void SetAsFloat(double value);
  void Clear();
  const remote::Param& Wire() const { return p_; }

 private:
  remote::Param p_;
};

enum class LocateOption { Exact, PartialKey };

// An opaque mark of one record; valid until released or until the dataset is closed.
struct Bookmark {
  int64_t record_id = -1;
  bool Valid() const { return record_id >= 0; }
};

// Something that shows the dataset (a grid, an edit, a memo): told when it must redraw.
class DataLink {
 public:
  enum class Event { ActiveChanged, Scrolled, DataChanged, RecordChanged, StateChanged, Destroying };
  virtual ~DataLink() = default;
  virtual void DataSetEvent(ClientDataSet& dataset, Event event) = 0;
};

class ClientDataSet {
 public:
  explicit ClientDataSet(std::string name);
  ~ClientDataSet();  // tells every data link (Destroying) and detaches nested datasets
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
  Param& AddParam(std::string name, remote::ParamType type,
                  remote::ParamDirection direction = remote::ParamDirection::Input);
  Param& ParamByName(std::string_view name);  // DataError naming it when unknown
  void SetCommandText(std::string text);
  const std::string& CommandText() const;
  // Makes this dataset present the lines held in `nested_field` of a header dataset.
  void SetDataSetField(Field* nested_field);

  // --- Life ---
  void Open();   // nothing when open; after-move hook once when it has records
  void Close();  // drops rows, local values and unapplied changes; nothing when closed
  bool Active() const;
  DataSetState State() const;
  // Fetches the next packet (nothing when every row has arrived); the number of rows appended.
  int GetNextPacket();
  void Execute();                   // the provider executes the command text
  int ApplyUpdates(int max_errors);  // the number of errors the provider reported

  // --- Cursor ---
  void First();
  void Last();
  void Next();
  void Prior();
  bool Bof() const;
  bool Eof() const;
  bool IsEmpty() const;
  int RecordCount() const;  // visible records loaded so far
  int RecNo() const;        // 1-based position of the cursor among the visible records; 0 if none
  void SetRecNo(int rec_no);  // moves the cursor there (a cursor move)

  // --- Fields ---
  Field& FieldByName(std::string_view name);  // DataError naming it when unknown
  Field* FindField(std::string_view name);
  int FieldCount() const;
  Field& FieldAt(int index);
  // Reading a field of any visible record without moving the cursor (grids, footers).
  std::string TextAt(int rec_index, const Field& field) const;  // 0-based visible index
  double FloatAt(int rec_index, const Field& field) const;
  bool IsNullAt(int rec_index, const Field& field) const;

  // --- Filter, locate, bookmarks ---
  void SetFilter(std::string expression);  // "FIELD='value'", conditions joined by " AND "
  const std::string& Filter() const;
  void SetFiltered(bool on);  // also to the state it has: the cursor goes to the first visible record
  bool Filtered() const;
  bool Locate(std::string_view key_fields, const std::vector<std::string>& values,
              LocateOption option = LocateOption::Exact);
  Bookmark GetBookmark() const;
  void GotoBookmark(const Bookmark& mark);
  void FreeBookmark(Bookmark& mark);

  // --- Editing ---
  void Edit();
  void Post();
  void Cancel();
  void Delete();  // deletes the current record locally ("Cannot perform this operation on an empty dataset")
  bool Modified() const;
  int ChangeCount() const;
  std::vector<remote::RowDelta> Delta() const;  // the change log as apply updates sends it

  // --- Hooks and links ---
  std::function<void(ClientDataSet&)> AfterScroll;
  std::function<void(ClientDataSet&)> BeforePost;
  void AddLink(DataLink* link);
  void RemoveLink(DataLink* link);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace data
