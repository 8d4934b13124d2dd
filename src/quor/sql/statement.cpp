#include "quor/sql/statement.h"

namespace quor::sql {

ExportStatement::ExportStatement(Statement inner, ExportFormat fmt)
    : statement(std::make_unique<Statement>(std::move(inner))), format(fmt) {}

ExportStatement::ExportStatement(const ExportStatement& other)
    : statement(std::make_unique<Statement>(*other.statement)), format(other.format) {}

ExportStatement::ExportStatement(ExportStatement&&) noexcept = default;
ExportStatement& ExportStatement::operator=(ExportStatement&&) noexcept = default;
ExportStatement::~ExportStatement() = default;

bool ExportStatement::operator==(const ExportStatement& other) const {
  return format == other.format && *statement == *other.statement;
}

}  // namespace quor::sql
