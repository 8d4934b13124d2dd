#include "quor/store/engine_error.h"

#include <cstdio>

namespace quor::store {

std::string EngineError::text() const {
  std::string_view prefix;
  switch (kind) {
    case EngineErrorKind::SchemaValidation: prefix = "schema validation error: "; break;
    case EngineErrorKind::DistributionNotFound: prefix = "distribution not found: "; break;
    case EngineErrorKind::TypeMismatch: prefix = "type mismatch: "; break;
    case EngineErrorKind::InvalidQueryReference: prefix = "invalid query reference: "; break;
    case EngineErrorKind::InsufficientSamples: prefix = "insufficient samples: "; break;
    case EngineErrorKind::NoSnapshotsAvailable: prefix = "no snapshots available: "; break;
    case EngineErrorKind::NoJointDistributionDefined: prefix = "no joint distribution defined: "; break;
    case EngineErrorKind::Io: prefix = "io error: "; break;
    case EngineErrorKind::Serialization: prefix = "serialization error: "; break;
  }
  std::string out(prefix);
  out += message;
  return out;
}

Error engine_error_to_message(const EngineError& e) { return Error(e.text()); }

Error unknown_variable_error(std::string_view name) {
  return Error("unknown variable '" + std::string(name) + "'");
}

Error distribution_id_not_found_error(uint64_t id) {
  return Error("distribution id '" + std::to_string(id) + "' not found");
}

std::string debug_quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\n': out += "\\n"; continue;
      case '\r': out += "\\r"; continue;
      case '\t': out += "\\t"; continue;
      case '\0': out += "\\0"; continue;
      default: break;
    }
    unsigned code = 0;
    bool control = false;
    if (c < 0x20 || c == 0x7f) {
      code = c;
      control = true;
    } else if (c == 0xc2 && i + 1 < text.size()) {
      // U+0080..U+009F, the C1 controls, are two bytes C2 80..C2 9F.
      unsigned char d = static_cast<unsigned char>(text[i + 1]);
      if (d >= 0x80 && d <= 0x9f) {
        code = d;
        control = true;
        ++i;
      }
    }
    if (control) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "\\u{%x}", code);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  out += '"';
  return out;
}

std::string debug_dimension_map(const model::DimensionMap& map) {
  std::string out = "{";
  bool first = true;
  for (const auto& [name, value] : map) {
    if (!first) out += ", ";
    first = false;
    out += debug_quoted(name);
    out += ": ";
    out += debug_quoted(value);
  }
  out += "}";
  return out;
}

Error joint_not_found_error(std::string_view a, std::string_view b, const model::DimensionMap& map) {
  return Error("joint distribution not found for '" + std::string(a) + "' and '" + std::string(b) +
               "' at " + debug_dimension_map(map));
}

}  // namespace quor::store
