// Printf-style log formats checked at compile time against their arguments.
//
// Messages keep the placeholders the log has always used ("%{public}s", "%u", "%lld", "%@", ...). A format is
// parsed in a consteval constructor, so a message whose argument count or types do not fit its placeholders
// does not compile, instead of printing garbage or crashing at run time as a C varargs call would.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>

#include <fmt/format.h>

namespace tessaron::log {

// What a placeholder accepts.
enum class PlaceholderKind { string, uint32, int32, int64, object };

struct Placeholder {
  std::size_t begin = 0;  // offset of '%'
  std::size_t end = 0;    // one past the conversion letter
  PlaceholderKind kind = PlaceholderKind::string;
};

// Finds the placeholder that starts at or after `from`; returns false when there is none. A format error (an
// unknown conversion) makes constant evaluation fail, so it surfaces as a compile error.
constexpr bool nextPlaceholder(std::string_view text, std::size_t from, Placeholder& out) {
  for (std::size_t i = from; i < text.size(); ++i) {
    if (text[i] != '%') continue;
    if (i + 1 < text.size() && text[i + 1] == '%') {
      ++i;
      continue;
    }
    std::size_t j = i + 1;
    if (text.substr(j).starts_with("{public}"))
      j += 8;
    else if (text.substr(j).starts_with("{private}"))
      j += 9;
    std::string_view rest = text.substr(j);
    out.begin = i;
    if (rest.starts_with("lld")) {
      out.kind = PlaceholderKind::int64, out.end = j + 3;
    } else if (rest.starts_with("ld")) {
      out.kind = PlaceholderKind::int64, out.end = j + 2;
    } else if (rest.starts_with("d")) {
      out.kind = PlaceholderKind::int32, out.end = j + 1;
    } else if (rest.starts_with("u")) {
      out.kind = PlaceholderKind::uint32, out.end = j + 1;
    } else if (rest.starts_with("s")) {
      out.kind = PlaceholderKind::string, out.end = j + 1;
    } else if (rest.starts_with("@")) {
      out.kind = PlaceholderKind::object, out.end = j + 1;
    } else {
      throw "unknown log placeholder";  // not a constant expression: compile error
    }
    return true;
  }
  return false;
}

template <class T>
concept StringLike = std::convertible_to<const T&, std::string_view>;

// An object placeholder ("%@") takes a string, anything with a description() member, an exception or an
// error code: the forms in which failures travel through this program.
template <class T>
concept Describable = StringLike<T> || requires(const T& v) {
  { v.description() } -> std::convertible_to<std::string>;
} || std::derived_from<T, std::exception> || std::same_as<T, std::error_code>;

template <class T>
constexpr bool accepts(PlaceholderKind kind) {
  using U = std::remove_cvref_t<T>;
  constexpr bool isSigned = std::is_integral_v<U> && std::is_signed_v<U> && !std::is_same_v<U, bool>;
  constexpr bool isUnsigned = std::is_integral_v<U> && std::is_unsigned_v<U> && !std::is_same_v<U, bool>;
  switch (kind) {
    case PlaceholderKind::string:
      return StringLike<U>;
    case PlaceholderKind::uint32:
      return isUnsigned && sizeof(U) <= 4;
    case PlaceholderKind::int32:
      return isSigned && sizeof(U) <= 4;
    case PlaceholderKind::int64:
      return isSigned && sizeof(U) <= 8;
    case PlaceholderKind::object:
      return Describable<U>;
  }
  return false;
}

// A format string bound to the argument types of one call.
template <class... Args>
class Format {
 public:
  template <class S>
  requires std::convertible_to<const S&, std::string_view>
  consteval Format(const S& text) : text_(text) {  // NOLINT(google-explicit-constructor): used like a literal
    std::size_t index = 0;
    std::size_t from = 0;
    Placeholder p;
    while (nextPlaceholder(text_, from, p)) {
      if (index >= sizeof...(Args)) throw "log format has more placeholders than arguments";
      if (!argumentAccepts(index, p.kind)) throw "log argument type does not fit its placeholder";
      ++index;
      from = p.end;
    }
    if (index != sizeof...(Args)) throw "log format has fewer placeholders than arguments";
  }

  constexpr std::string_view text() const { return text_; }

 private:
  static constexpr bool argumentAccepts([[maybe_unused]] std::size_t index,
                                        [[maybe_unused]] PlaceholderKind kind) {
    std::size_t i = 0;
    bool result = false;
    ((result = (i++ == index) ? accepts<Args>(kind) : result), ...);
    return result;
  }

  std::string_view text_;
};

// Renders one argument for its placeholder.
template <class T>
std::string renderArgument(const T& value) {
  using U = std::remove_cvref_t<T>;
  if constexpr (StringLike<U>) {
    return std::string(std::string_view(value));
  } else if constexpr (std::is_integral_v<U>) {
    return fmt::format("{}", value);
  } else if constexpr (requires { value.description(); }) {
    return std::string(value.description());
  } else if constexpr (std::derived_from<U, std::exception>) {
    return value.what();
  } else {
    static_assert(std::same_as<U, std::error_code>);
    return value.message();
  }
}

// Fills the placeholders of `text` with the rendered arguments, in order.
template <class... Args>
std::string render(std::string_view text, const Args&... args) {
  std::string rendered[] = {std::string(), renderArgument(args)...};
  std::string out;
  out.reserve(text.size() + 16);
  std::size_t from = 0;
  std::size_t index = 1;
  Placeholder p;
  while (nextPlaceholder(text, from, p)) {
    for (std::size_t i = from; i < p.begin; ++i) {
      out.push_back(text[i]);
      if (text[i] == '%' && i + 1 < p.begin && text[i + 1] == '%') ++i;
    }
    out += rendered[index++];
    from = p.end;
  }
  for (std::size_t i = from; i < text.size(); ++i) {
    out.push_back(text[i]);
    if (text[i] == '%' && i + 1 < text.size() && text[i + 1] == '%') ++i;
  }
  return out;
}

}  // namespace tessaron::log
