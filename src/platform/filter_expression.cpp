#include "platform/filter_expression.h"

#include <algorithm>
#include <cstdlib>

#include "platform/cell_values.h"
#include "platform/cp1252.h"
#include "platform/encoding.h"
#include "platform/errors.h"
#include "platform/format_settings.h"

namespace kvr {

namespace {

enum class TokenKind { End, Name, Text, Number, Op, LParen, RParen };

struct Token {
  TokenKind kind = TokenKind::End;
  std::string text;  // name, literal text, operator
  double number = 0;
  size_t pos = 0;  // 1-based position in the expression
  int field = -1;  // the column a name stands for, once it is an operand
};

bool IsNameStart(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

enum class CmpOp { Eq, Ne, Lt, Gt, Le, Ge };

bool Apply(CmpOp op, int cmp) {
  switch (op) {
    case CmpOp::Eq: return cmp == 0;
    case CmpOp::Ne: return cmp != 0;
    case CmpOp::Lt: return cmp < 0;
    case CmpOp::Gt: return cmp > 0;
    case CmpOp::Le: return cmp <= 0;
    case CmpOp::Ge: return cmp >= 0;
  }
  return false;
}

int Compare(double a, double b) { return a < b ? -1 : (a > b ? 1 : 0); }

// A text read as a number with "." or the locale's decimal mark; false when
// it is none.
bool TextToNumber(std::string_view text, double& value) {
  std::string s(text);
  std::replace(s.begin(), s.end(), FormatSettings.DecimalSeparator, '.');
  size_t b = s.find_first_not_of(' ');
  if (b == std::string::npos) return false;
  const char* start = s.c_str() + b;
  char* end = nullptr;
  value = std::strtod(start, &end);
  if (end == start) return false;
  while (*end == ' ') ++end;
  return *end == '\0';
}

// A cell read as a number: a number as is, a text through TextToNumber.
bool CellNumber(const RowCell& cell, double& value) {
  if (cell.kind != RowCell::Text) value = cell.number;
  return cell.kind != RowCell::Text || TextToNumber(cell.text, value);
}

}  // namespace

bool ParseDisplayDate(std::string_view text, TDateTime& date, bool with_time) {
  size_t i = 0;
  const size_t n = text.size();
  auto number = [&](int max_width, int& value) {
    int width = 0;
    value = 0;
    while (i < n && IsDigit(text[i]) && width < max_width) {
      value = value * 10 + (text[i] - '0');
      ++i;
      ++width;
    }
    return width;
  };
  while (i < n && text[i] == ' ') ++i;
  int day = 0, month = 0, year = 0;
  if (number(2, day) == 0 || i >= n || text[i++] != FormatSettings.DateSeparator) return false;
  if (number(2, month) == 0 || i >= n || text[i++] != FormatSettings.DateSeparator) return false;
  if (number(4, year) != 4) return false;
  int hour = 0, minute = 0, second = 0;
  if (with_time && i < n && text[i] == ' ' && i + 1 < n && IsDigit(text[i + 1])) {
    ++i;
    if (number(2, hour) == 0 || i >= n || text[i++] != ':') return false;
    if (number(2, minute) == 0) return false;
    if (i < n && text[i] == ':') {
      ++i;
      if (number(2, second) == 0) return false;
    }
    if (hour > 23 || minute > 59 || second > 59) return false;
  }
  while (i < n && text[i] == ' ') ++i;
  if (i != n) return false;
  try {
    date = EncodeDate(year, month, day) + (hour * 3600 + minute * 60 + second) / 86400.0;
  } catch (const EConvertError&) {
    return false;
  }
  return true;
}

struct FilterExpression::Node {
  enum class Kind { True, False, And, Or, Not, CmpFieldNum, CmpFieldText, CmpFieldField, CmpTextFieldNum };
  Kind kind = Kind::True;
  std::unique_ptr<Node> a, b;
  CmpOp op = CmpOp::Eq;
  int field = -1;   // left column
  int field2 = -1;  // right column (field-field)
  double number = 0;
  std::string text;

  bool Eval(const RowData& row) const {
    switch (kind) {
      case Kind::True: return true;
      case Kind::False: return false;
      case Kind::And: return a->Eval(row) && b->Eval(row);
      case Kind::Or: return a->Eval(row) || b->Eval(row);
      case Kind::Not: return !a->Eval(row);
      case Kind::CmpFieldNum: {
        const RowCell v = row.Get(static_cast<size_t>(field));
        return v.kind == RowCell::Number && Apply(op, Compare(v.number, number));
      }
      case Kind::CmpFieldText: {
        const RowCell v = row.Get(static_cast<size_t>(field));
        return v.kind == RowCell::Text && Apply(op, v.text.compare(text));
      }
      case Kind::CmpTextFieldNum: {
        // A text column compared with a number: its text read as a number.
        const RowCell v = row.Get(static_cast<size_t>(field));
        double d = 0;
        return v.kind == RowCell::Text && TextToNumber(v.text, d) && Apply(op, Compare(d, number));
      }
      case Kind::CmpFieldField: {
        const RowCell l = row.Get(static_cast<size_t>(field));
        const RowCell r = row.Get(static_cast<size_t>(field2));
        if (l.kind == RowCell::Null || r.kind == RowCell::Null) return false;
        if (l.kind == RowCell::Text && r.kind == RowCell::Text)
          return Apply(op, l.text.compare(r.text));
        // Numbers, or a number and a text read as a number.
        double dl = 0, dr = 0;
        return CellNumber(l, dl) && CellNumber(r, dr) && Apply(op, Compare(dl, dr));
      }
    }
    return false;
  }
};

namespace {

using Node = FilterExpression::Node;

class Parser {
 public:
  Parser(std::string_view text, const std::vector<TFieldDef>& columns) : text_(text), columns_(columns) {
    Advance();
  }

  std::unique_ptr<Node> ParseAll() {
    auto node = ParseOr();
    if (tok_.kind != TokenKind::End) Fail("símbolo inesperado \""_cp1252 + tok_.text + "\"", tok_.pos);
    return node;
  }

 private:
  // what quotes the filter, so it is Windows-1252 as the filter is.
  [[noreturn]] void Fail(const std::string& what, size_t pos) {
    throw EDatabaseError(Cp1252ToUtf8("Filtro \"" + std::string(text_) + "\" inválido: "_cp1252 + what +
                                      " na posição "_cp1252 + std::to_string(pos) + "."));
  }

  void Advance() {
    size_t i = next_;
    while (i < text_.size() && static_cast<unsigned char>(text_[i]) <= 32) ++i;
    tok_ = Token{};
    tok_.pos = i + 1;
    if (i >= text_.size()) {
      tok_.kind = TokenKind::End;
      tok_.text = "fim";
      next_ = i;
      return;
    }
    const char c = text_[i];
    if (IsNameStart(c)) {
      size_t j = i;
      while (j < text_.size() && (IsNameStart(text_[j]) || IsDigit(text_[j]))) ++j;
      tok_.kind = TokenKind::Name;
      tok_.text = std::string(text_.substr(i, j - i));
      next_ = j;
    } else if (c == '\'') {
      std::string lit;
      size_t j = i + 1;
      for (;; ++j) {
        if (j >= text_.size()) Fail("texto entre aspas sem fim", i + 1);
        if (text_[j] == '\'' && (j + 1 >= text_.size() || text_[j + 1] != '\'')) break;
        lit.push_back(text_[j]);
        if (text_[j] == '\'') ++j;  // '' stands for one quote
      }
      tok_.kind = TokenKind::Text;
      tok_.text = lit;
      next_ = j + 1;
    } else if (IsDigit(c) || ((c == '-' || c == '.') && i + 1 < text_.size() && IsDigit(text_[i + 1]))) {
      size_t j = i + 1;
      while (j < text_.size() && (IsDigit(text_[j]) || text_[j] == '.')) ++j;
      std::string num(text_.substr(i, j - i));
      char* end = nullptr;
      tok_.number = std::strtod(num.c_str(), &end);
      if (end == nullptr || *end != '\0') Fail("número \""_cp1252 + num + "\" inválido"_cp1252, i + 1);
      tok_.kind = TokenKind::Number;
      tok_.text = num;
      next_ = j;
    } else if (c == '(' || c == ')') {
      tok_.kind = c == '(' ? TokenKind::LParen : TokenKind::RParen;
      tok_.text = std::string(1, c);
      next_ = i + 1;
    } else if (c == '=' || c == '<' || c == '>') {
      size_t j = i + 1;
      if (j < text_.size() && (text_[j] == '=' || (c == '<' && text_[j] == '>'))) ++j;
      tok_.kind = TokenKind::Op;
      tok_.text = std::string(text_.substr(i, j - i));
      next_ = j;
    } else {
      Fail("caractere \"" + std::string(1, c) + "\" inesperado", i + 1);
    }
  }

  bool IsKeyword(const char* word) const {
    return tok_.kind == TokenKind::Name && EqualAscii(tok_.text, word);
  }

  std::unique_ptr<Node> Binary(Node::Kind kind, std::unique_ptr<Node> a, std::unique_ptr<Node> b) {
    auto n = std::make_unique<Node>();
    n->kind = kind;
    n->a = std::move(a);
    n->b = std::move(b);
    return n;
  }

  // OR binds looser than AND: "a OR b AND c" is "a OR (b AND c)".
  std::unique_ptr<Node> ParseOr(bool or_level = true) {
    auto operand = [&] { return or_level ? ParseOr(false) : ParseNot(); };
    auto left = operand();
    while (IsKeyword(or_level ? "OR" : "AND")) {
      Advance();
      left = Binary(or_level ? Node::Kind::Or : Node::Kind::And, std::move(left), operand());
    }
    return left;
  }

  std::unique_ptr<Node> ParseNot() {
    if (IsKeyword("NOT")) {
      Advance();
      return Binary(Node::Kind::Not, ParseNot(), nullptr);
    }
    if (tok_.kind == TokenKind::LParen) {
      const size_t pos = tok_.pos;
      Advance();
      auto inner = ParseOr();
      if (tok_.kind != TokenKind::RParen) Fail("falta \")\" para o \"(\" da posição "_cp1252 + std::to_string(pos), tok_.pos);
      Advance();
      return inner;
    }
    return ParseComparison();
  }

  // The operand at the current token: a column (its field set), a text or
  // a number.
  Token ParseOperand() {
    Token o = tok_;
    const bool keyword = IsKeyword("AND") || IsKeyword("OR") || IsKeyword("NOT");
    const bool literal = o.kind == TokenKind::Text || o.kind == TokenKind::Number;
    if (keyword || (o.kind != TokenKind::Name && !literal))
      Fail("falta um valor antes de \"" + tok_.text + "\"", tok_.pos);
    for (size_t k = 0; !literal && k < columns_.size(); ++k)
      if (EqualAscii(columns_[k].Name, tok_.text)) o.field = static_cast<int>(k);
    if (!literal && o.field < 0) Fail("coluna \"" + tok_.text + "\" desconhecida", tok_.pos);
    Advance();
    return o;
  }

  // A literal compared with a column of the given type, as a number (dates
  // and floats) or kept as text.
  double LiteralAsNumber(const Token& lit, TFieldType type) {
    if (lit.kind == TokenKind::Number) return lit.number;
    double value = 0;
    if (type == TFieldType::ftDateTime) {
      if (!ParseDisplayDate(lit.text, value)) Fail("data \"" + lit.text + "\" inválida"_cp1252, lit.pos);
    } else if (!TextToNumber(lit.text, value)) {
      Fail("número \""_cp1252 + lit.text + "\" inválido"_cp1252, lit.pos);
    }
    return value;
  }

  std::unique_ptr<Node> ParseComparison() {
    Token left = ParseOperand();
    if (tok_.kind != TokenKind::Op) Fail("falta um operador de comparação"_cp1252, tok_.pos);
    // Each operator, and the one that says the same of the operands swapped.
    static const struct {
      std::string_view text;
      CmpOp op, swapped;
    } kOps[] = {{"=", CmpOp::Eq, CmpOp::Eq},  {"<>", CmpOp::Ne, CmpOp::Ne},
                {"<", CmpOp::Lt, CmpOp::Gt},  {">", CmpOp::Gt, CmpOp::Lt},
                {"<=", CmpOp::Le, CmpOp::Ge}, {">=", CmpOp::Ge, CmpOp::Le}};
    const auto is_token = [&](const auto& known_op) { return known_op.text == tok_.text; };
    const auto known = std::find_if(std::begin(kOps), std::end(kOps), is_token);
    if (known == std::end(kOps)) Fail("operador \"" + tok_.text + "\" desconhecido", tok_.pos);
    Advance();
    Token right = ParseOperand();

    auto n = std::make_unique<Node>();
    n->op = known->op;
    if (left.field < 0 && right.field >= 0) {
      std::swap(left, right);
      n->op = known->swapped;
    }
    if (left.field >= 0 && right.field >= 0) {
      n->kind = Node::Kind::CmpFieldField;
      n->field = left.field;
      n->field2 = right.field;
      return n;
    }
    if (left.field >= 0) {
      const TFieldType type = columns_[static_cast<size_t>(left.field)].DataType;
      n->field = left.field;
      if (type == TFieldType::ftString) {
        if (right.kind == TokenKind::Number) {
          n->kind = Node::Kind::CmpTextFieldNum;
          n->number = right.number;
        } else {
          n->kind = Node::Kind::CmpFieldText;
          n->text = right.text;
        }
      } else {
        n->kind = Node::Kind::CmpFieldNum;
        n->number = LiteralAsNumber(right, type);
      }
      return n;
    }
    // Two literals: decided now.
    bool result = false;
    if (left.kind == TokenKind::Text && right.kind == TokenKind::Text) {
      result = Apply(n->op, left.text.compare(right.text));
    } else {
      const double l = LiteralAsNumber(left, TFieldType::ftFloat);
      const double r = LiteralAsNumber(right, TFieldType::ftFloat);
      result = Apply(n->op, Compare(l, r));
    }
    n->kind = result ? Node::Kind::True : Node::Kind::False;
    return n;
  }

  std::string_view text_;
  const std::vector<TFieldDef>& columns_;
  Token tok_;
  size_t next_ = 0;
};

}  // namespace

FilterExpression::FilterExpression(std::string_view text, const std::vector<TFieldDef>& columns) {
  const bool blank = std::all_of(text.begin(), text.end(), [](unsigned char c) { return c <= 32; });
  root_ = blank ? std::make_unique<Node>() : Parser(text, columns).ParseAll();
}

FilterExpression::~FilterExpression() = default;

bool FilterExpression::Matches(const RowData& row) const {
  return root_->Eval(row);
}

}  // namespace kvr
