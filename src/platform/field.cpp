// TField: one column of TClientDataSet, read and written on the table's
// current row or its pending insert/edit buffer.
#include <cmath>

#include "platform/cell_values.h"
#include "platform/client_dataset.h"
#include "platform/encoding.h"
#include "platform/errors.h"
#include "platform/filter_expression.h"
#include "platform/format.h"

namespace kvr {

TField::TField(TClientDataSet& dataset, int index, TFieldDef def)
    : dataset_(dataset), index_(index), def_(std::move(def)) {}

RowCell TField::Cell() const {
  return dataset_.active_ ? dataset_.CellOf(index_) : RowCell{};
}

bool TField::IsNull() const {
  return Cell().kind == RowCell::Null;
}

TVariant TField::Value() const {
  return ToVariant(Cell());
}

std::string TField::AsString() const {
  const RowCell v = Cell();
  if (v.kind == RowCell::Null) return "";
  if (v.kind == RowCell::Text) return std::string(v.text);
  const double d = v.number;
  if (def_.DataType != TFieldType::ftDateTime) return FloatToStr(d);
  return FormatDateTime(d != std::floor(d) ? "dd/mm/yyyy hh:nn:ss" : "dd/mm/yyyy", d);
}

double TField::AsFloat() const {
  const RowCell v = Cell();
  if (v.kind == RowCell::Text) return StrToFloat(std::string(v.text));
  return v.kind == RowCell::Number ? v.number : 0;
}

TDateTime TField::AsDateTime() const {
  const RowCell v = Cell();
  if (v.kind != RowCell::Text) return v.kind == RowCell::Number ? v.number : 0;
  TDateTime d = 0;
  if (!ParseDisplayDate(v.text, d))
    throw EConvertError("\"" + Cp1252ToUtf8(v.text) + "\" não é uma data válida");
  return d;
}

void TField::SetValue(const TVariant& value) {
  TClientDataSet& ds = dataset_;
  if (ds.state_ != TDataSetState::dsInsert && ds.state_ != TDataSetState::dsEdit)
    throw EDatabaseError("A tabela não está em inclusão ou edição (coluna " + Cp1252ToUtf8(def_.Name) + ").");
  TVariant stored;
  if (value.index() == 1) {
    const double number = std::get<1>(value);
    stored =
        def_.DataType == TFieldType::ftString ? TVariant(FloatToStr(number)) : TVariant(number);
  } else if (value.index() == 2) {
    const std::string& text = std::get<2>(value);
    if (def_.DataType == TFieldType::ftString) {
      stored = text;
    } else if (text.empty()) {
      stored = TVariant{};
    } else if (def_.DataType == TFieldType::ftFloat) {
      stored = StrToFloat(text);
    } else {
      TDateTime d = 0;
      if (!ParseDisplayDate(text, d)) throw EConvertError("\"" + Cp1252ToUtf8(text) + "\" não é uma data válida");
      stored = d;
    }
  }
  if (stored.index() == 2 && def_.Size > 0 && std::get<2>(stored).size() > static_cast<size_t>(def_.Size))
    std::get<2>(stored).resize(static_cast<size_t>(def_.Size));
  ds.pending_[static_cast<size_t>(index_)] = std::move(stored);
}

void TField::SetAsString(std::string_view text) {
  if (def_.DataType != TFieldType::ftString) {
    SetValue(TVariant{std::string(text)});
    return;
  }
  if (dataset_.state_ != TDataSetState::dsInsert && dataset_.state_ != TDataSetState::dsEdit) {
    SetValue(TVariant{});  // reports the state error
    return;
  }
  if (def_.Size > 0 && text.size() > static_cast<size_t>(def_.Size)) text = text.substr(0, static_cast<size_t>(def_.Size));
  TVariant& cell = dataset_.pending_[static_cast<size_t>(index_)];
  if (auto* s = std::get_if<std::string>(&cell)) {
    s->assign(text);
  } else {
    cell.emplace<std::string>(text);
  }
}

void TField::SetAsFloat(double value) {
  if (def_.DataType == TFieldType::ftString ||
      (dataset_.state_ != TDataSetState::dsInsert && dataset_.state_ != TDataSetState::dsEdit)) {
    SetValue(TVariant{value});
    return;
  }
  dataset_.pending_[static_cast<size_t>(index_)] = value;
}

void TField::SetAsDateTime(TDateTime value) {
  if (def_.DataType != TFieldType::ftString)
    SetAsFloat(value);
  else
    SetValue(TVariant{
        FormatDateTime(value != std::floor(value) ? "dd/mm/yyyy hh:nn:ss" : "dd/mm/yyyy", value)});
}

std::string TField::DisplayText() {
  std::string text;
  if (OnGetText) {
    OnGetText(*this, text, true);
    return text;
  }
  return AsString();
}

}  // namespace kvr
