#include "quor/sql/parser.h"

namespace quor::sql {

namespace {

const Token& eof_token() {
  static const Token eof = Token::keyword(TokenKind::Eof);
  return eof;
}

Error got_error(std::string_view what, const Token& got) {
  return Error("expected " + std::string(what) + ", got " + token_diagnostic(got));
}

Result<std::string> read_identifier(Parser& p) {
  Token t = p.next();
  if (t.kind != TokenKind::Ident) return got_error("identifier", t);
  return std::move(t.text);
}

Result<DimensionPair> read_dimension_pair(Parser& p) {
  Token t = p.next();
  if (t.kind != TokenKind::DimRef) return got_error("dimension:value", t);
  return DimensionPair{std::move(t.text), std::move(t.value)};
}

Status read_keyword(Parser& p, TokenKind kind) { return expect_token(p, Token::keyword(kind)); }

// After LIMIT / TOP / BOTTOM: the Number that must follow.
Result<uint64_t> read_number_after(Parser& p, std::string_view keyword) {
  if (p.peek().kind != TokenKind::Number) return Error("expected number after " + std::string(keyword));
  return p.next().number;
}

bool next_is(const Parser& p, TokenKind kind) { return p.peek().kind == kind; }

// Consumes the next token when it is `kind` (an optional keyword).
bool accept(Parser& p, TokenKind kind) {
  if (!next_is(p, kind)) return false;
  p.next();
  return true;
}

// An optional `keyword identifier` clause: the identifier, when the clause is
// there, goes to `out`.
template <class Out>
Status read_optional_clause(Parser& p, TokenKind keyword, Out& out) {
  if (!accept(p, keyword)) return ok_status();
  QUOR_ASSIGN_OR_RETURN(out, read_identifier(p));
  return ok_status();
}

// The trailing clauses of CORRELATIONS and NEAREST: LIMIT n and `keyword
// identifier`, in any order and each any number of times; the last one holds.
template <class Out>
Status read_limit_and_clause(Parser& p, TokenKind keyword, uint64_t& limit, Out& out) {
  for (;;) {
    if (accept(p, TokenKind::Limit)) {
      QUOR_ASSIGN_OR_RETURN(limit, read_number_after(p, "LIMIT"));
    } else if (accept(p, keyword)) {
      QUOR_ASSIGN_OR_RETURN(out, read_identifier(p));
    } else {
      return ok_status();
    }
  }
}

Result<Statement> parse_compare(Parser& p) {
  QUOR_ASSIGN_OR_RETURN(std::string variable, read_identifier(p));
  if (accept(p, TokenKind::Between)) {
    CompareBetweenStatement s;
    s.variable = std::move(variable);
    QUOR_ASSIGN_OR_RETURN(s.a, read_dimension_pair(p));
    QUOR_RETURN_IF_ERROR(read_keyword(p, TokenKind::And));
    QUOR_ASSIGN_OR_RETURN(s.b, read_dimension_pair(p));
    QUOR_ASSIGN_OR_RETURN(s.filters, parse_where_clause(p));
    return Statement(std::move(s));
  }
  if (accept(p, TokenKind::Across)) {
    CompareAcrossStatement s;
    s.variable = std::move(variable);
    QUOR_ASSIGN_OR_RETURN(s.dimension, read_identifier(p));
    QUOR_ASSIGN_OR_RETURN(s.filters, parse_where_clause(p));
    return Statement(std::move(s));
  }
  return Error("expected BETWEEN or ACROSS after variable, got " + token_diagnostic(p.peek()));
}

Result<Statement> parse_explain(Parser& p) {
  ExplainStatement s;
  QUOR_ASSIGN_OR_RETURN(s.a, read_dimension_pair(p));
  QUOR_RETURN_IF_ERROR(read_keyword(p, TokenKind::Vs));
  QUOR_ASSIGN_OR_RETURN(s.b, read_dimension_pair(p));
  return Statement(std::move(s));
}

Result<Statement> parse_track(Parser& p) {
  TrackStatement s;
  QUOR_ASSIGN_OR_RETURN(s.variable, read_identifier(p));
  QUOR_RETURN_IF_ERROR(read_keyword(p, TokenKind::From));
  QUOR_ASSIGN_OR_RETURN(s.from, read_dimension_pair(p));
  QUOR_RETURN_IF_ERROR(read_optional_clause(p, TokenKind::Granularity, s.granularity));
  return Statement(std::move(s));
}

Result<Statement> parse_show(Parser& p) {
  ShowStatement s;
  QUOR_ASSIGN_OR_RETURN(s.variable, read_identifier(p));
  QUOR_RETURN_IF_ERROR(read_keyword(p, TokenKind::At));
  QUOR_ASSIGN_OR_RETURN(s.at, read_dimension_pair(p));
  QUOR_ASSIGN_OR_RETURN(s.filters, parse_where_clause(p));
  if (accept(p, TokenKind::Top)) {
    QUOR_ASSIGN_OR_RETURN(s.top, read_number_after(p, "TOP"));
  } else if (accept(p, TokenKind::Bottom)) {
    QUOR_ASSIGN_OR_RETURN(s.bottom, read_number_after(p, "BOTTOM"));
  }
  return Statement(std::move(s));
}

Result<Statement> parse_rank(Parser& p) {
  RankStatement s;
  QUOR_ASSIGN_OR_RETURN(s.variable, read_identifier(p));
  QUOR_RETURN_IF_ERROR(read_keyword(p, TokenKind::By));
  QUOR_RETURN_IF_ERROR(read_keyword(p, TokenKind::Entropy));
  QUOR_RETURN_IF_ERROR(read_keyword(p, TokenKind::Over));
  QUOR_ASSIGN_OR_RETURN(s.dimension, read_identifier(p));
  QUOR_ASSIGN_OR_RETURN(s.filters, parse_where_clause(p));
  return Statement(std::move(s));
}

// The two variables of MI and CMI, with an optional Comma between them.
Status read_variable_pair(Parser& p, std::string& a, std::string& b) {
  QUOR_ASSIGN_OR_RETURN(a, read_identifier(p));
  accept(p, TokenKind::Comma);
  QUOR_ASSIGN_OR_RETURN(b, read_identifier(p));
  return ok_status();
}

Result<Statement> parse_mi(Parser& p) {
  MiStatement s;
  QUOR_RETURN_IF_ERROR(read_variable_pair(p, s.var_a, s.var_b));
  QUOR_RETURN_IF_ERROR(read_keyword(p, TokenKind::At));
  QUOR_ASSIGN_OR_RETURN(s.at, read_dimension_pair(p));
  return Statement(std::move(s));
}

Result<Statement> parse_cmi(Parser& p) {
  CmiStatement s;
  QUOR_RETURN_IF_ERROR(read_variable_pair(p, s.var_a, s.var_b));
  QUOR_RETURN_IF_ERROR(read_keyword(p, TokenKind::Given));
  QUOR_ASSIGN_OR_RETURN(s.given, read_identifier(p));
  return Statement(std::move(s));
}

Result<Statement> parse_correlations(Parser& p) {
  CorrelationsStatement s;
  QUOR_RETURN_IF_ERROR(read_limit_and_clause(p, TokenKind::Over, s.limit, s.dimension));
  return Statement(std::move(s));
}

Result<Statement> parse_pairwise(Parser& p) {
  PairwiseStatement s;
  QUOR_ASSIGN_OR_RETURN(s.dimension, read_identifier(p));
  QUOR_RETURN_IF_ERROR(read_keyword(p, TokenKind::On));
  QUOR_ASSIGN_OR_RETURN(s.variable, read_identifier(p));
  QUOR_RETURN_IF_ERROR(read_optional_clause(p, TokenKind::Using, s.metric));
  return Statement(std::move(s));
}

Result<Statement> parse_nearest(Parser& p) {
  NearestStatement s;
  QUOR_ASSIGN_OR_RETURN(s.reference, read_dimension_pair(p));
  QUOR_RETURN_IF_ERROR(read_keyword(p, TokenKind::On));
  QUOR_ASSIGN_OR_RETURN(s.dimension, read_identifier(p));
  QUOR_RETURN_IF_ERROR(read_limit_and_clause(p, TokenKind::Using, s.limit, s.metric));
  return Statement(std::move(s));
}

Result<Statement> parse_export(Parser& p) {
  if (p.export_depth >= kMaxExportDepth)
    return Error("EXPORT nesting is limited to " + std::to_string(kMaxExportDepth) + " levels");
  ++p.export_depth;
  Result<Statement> inner = parse_statement(p);
  --p.export_depth;
  if (!inner.ok()) return std::move(inner).error();
  QUOR_RETURN_IF_ERROR(read_keyword(p, TokenKind::As));
  ExportFormat format;
  switch (p.peek().kind) {
    case TokenKind::Csv: format = ExportFormat::Csv; break;
    case TokenKind::Json: format = ExportFormat::Json; break;
    default: return Error("expected CSV or JSON after AS, got " + token_diagnostic(p.peek()));
  }
  p.next();
  return Statement(ExportStatement(std::move(inner).value(), format));
}

Result<Statement> parse_dimensions(Parser& p) {
  DimensionsStatement s;
  if (next_is(p, TokenKind::Ident)) s.name = p.next().text;
  return Statement(std::move(s));
}

}  // namespace

const Token& Parser::peek() const { return pos < tokens.size() ? tokens[pos] : eof_token(); }

Token Parser::next() {
  Token t = peek();
  ++pos;
  return t;
}

Status expect_token(Parser& parser, const Token& expected) {
  Token t = parser.next();
  if (t == expected) return ok_status();
  return got_error(token_diagnostic(expected), t);
}

Result<std::vector<DimensionPair>> parse_where_clause(Parser& parser) {
  std::vector<DimensionPair> pairs;
  if (!accept(parser, TokenKind::Where)) return pairs;
  QUOR_ASSIGN_OR_RETURN(DimensionPair first, read_dimension_pair(parser));
  pairs.push_back(std::move(first));
  while (accept(parser, TokenKind::And)) {
    QUOR_ASSIGN_OR_RETURN(DimensionPair more, read_dimension_pair(parser));
    pairs.push_back(std::move(more));
  }
  return pairs;
}

Result<Statement> parse_statement(Parser& parser) {
  Token first = parser.next();
  switch (first.kind) {
    case TokenKind::Compare: return parse_compare(parser);
    case TokenKind::Explain: return parse_explain(parser);
    case TokenKind::Track: return parse_track(parser);
    case TokenKind::Show: return parse_show(parser);
    case TokenKind::Rank: return parse_rank(parser);
    case TokenKind::Mi: return parse_mi(parser);
    case TokenKind::Cmi: return parse_cmi(parser);
    case TokenKind::Correlations: return parse_correlations(parser);
    case TokenKind::Pairwise: return parse_pairwise(parser);
    case TokenKind::Nearest: return parse_nearest(parser);
    case TokenKind::Export: return parse_export(parser);
    case TokenKind::Stats: return Statement(StatsStatement{});
    case TokenKind::Schema: return Statement(SchemaStatement{});
    case TokenKind::Dimensions: return parse_dimensions(parser);
    case TokenKind::Eof: return Error("empty query");
    default:
      return Error("unexpected token " + token_diagnostic(first) +
                   "; expected COMPARE, EXPLAIN, TRACK, SHOW, RANK, MI, CMI, CORRELATIONS, "
                   "PAIRWISE, NEAREST, EXPORT, STATS, SCHEMA, or DIMENSIONS");
  }
}

Result<Statement> parse_query(std::string_view text) {
  QUOR_ASSIGN_OR_RETURN(std::vector<Token> tokens, tokenize(text));
  Parser parser(std::move(tokens));
  return parse_statement(parser);
}

}  // namespace quor::sql
