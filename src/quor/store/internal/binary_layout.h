// Internal to the store: the shape of the binary layout as the encoder and
// the decoder both need it: byte order, which stored types are lists,
// optionals, pairs, text maps and variants, and how many bytes a value
// takes once encoded.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "quor/store/internal/record_fields.h"
#include "quor/util/text_id_map.h"

namespace quor::store::internal {

template <class T>
T to_little(T v) {
  if constexpr (std::endian::native == std::endian::big) {
    T out;
    auto* s = reinterpret_cast<unsigned char*>(&v);
    auto* d = reinterpret_cast<unsigned char*>(&out);
    for (size_t i = 0; i < sizeof(T); ++i) d[i] = s[sizeof(T) - 1 - i];
    return out;
  } else {
    return v;
  }
}

// ---------------------------------------------------------------- type kinds

template <class T>
struct is_vector : std::false_type {};
template <class T>
struct is_vector<std::vector<T>> : std::true_type {};
template <class T>
struct is_optional : std::false_type {};
template <class T>
struct is_optional<std::optional<T>> : std::true_type {};
template <class T>
struct is_pair : std::false_type {};
template <class A, class B>
struct is_pair<std::pair<A, B>> : std::true_type {};
template <class T>
struct is_text_map : std::false_type {};
template <class V>
struct is_text_map<std::map<std::string, V>> : std::true_type {};
template <class V>
struct is_text_map<std::unordered_map<std::string, V>> : std::true_type {};
template <>
struct is_text_map<util::TextIdMap> : std::true_type {};

// The stored enums derive from std::variant; the alternative's position is
// its index on disk.
template <class T>
concept StoredVariant = requires { typename T::variant; } &&
                        std::is_base_of_v<typename T::variant, T>;

template <class T>
constexpr size_t alternatives() {
  return std::variant_size_v<typename T::variant>;
}

// The fewest bytes an encoded T takes, so that a count can be weighed
// against the bytes left before anything is reserved for it.
template <class T>
uint64_t min_encoded_size() {
  if constexpr (std::is_same_v<T, bool>) {
    return 1;
  } else if constexpr (std::is_arithmetic_v<T>) {
    return sizeof(T);
  } else if constexpr (std::is_same_v<T, std::string> || is_vector<T>::value ||
                       is_text_map<T>::value) {
    return 8;
  } else if constexpr (is_optional<T>::value) {
    return 1;
  } else if constexpr (is_pair<T>::value) {
    return min_encoded_size<typename T::first_type>() + min_encoded_size<typename T::second_type>();
  } else if constexpr (StoredVariant<T>) {
    return 4;
  } else {
    static const uint64_t n = [] {
      uint64_t sum = 0;
      T probe{};
      RecordFields<T>::each(probe, [&sum](auto& f, std::string_view) {
        sum += min_encoded_size<std::remove_cvref_t<decltype(f)>>();
        return true;
      });
      return sum;
    }();
    return n;
  }
}

// ---------------------------------------------------------------- sizes

template <class T>
uint64_t encoded_size(const T& v) {
  if constexpr (std::is_same_v<T, bool>) {
    return 1;
  } else if constexpr (std::is_arithmetic_v<T>) {
    return sizeof(T);
  } else if constexpr (std::is_same_v<T, std::string> || std::is_same_v<T, std::string_view>) {
    return 8 + v.size();
  } else if constexpr (std::is_same_v<T, std::vector<uint64_t>>) {
    return 8 + 8 * v.size();
  } else if constexpr (is_vector<T>::value) {
    uint64_t n = 8;
    for (const auto& e : v) n += encoded_size(e);
    return n;
  } else if constexpr (is_optional<T>::value) {
    return 1 + (v ? encoded_size(*v) : 0);
  } else if constexpr (is_pair<T>::value) {
    return encoded_size(v.first) + encoded_size(v.second);
  } else if constexpr (is_text_map<T>::value) {
    uint64_t n = 8;
    for (const auto& [k, e] : v) n += encoded_size(k) + encoded_size(e);
    return n;
  } else if constexpr (StoredVariant<T>) {
    return 4 + std::visit([](const auto& alt) { return encoded_size(alt); },
                          static_cast<const typename T::variant&>(v));
  } else {
    uint64_t n = 0;
    RecordFields<T>::each(v, [&n](const auto& f, std::string_view) {
      n += encoded_size(f);
      return true;
    });
    return n;
  }
}

}  // namespace quor::store::internal
