// Owning handles for what GLib hands out: a reference-counted object, a GVariant, an error, a string. Each is
// released when its handle goes, so no early return leaks one and no path releases one twice.
#pragma once

#include <gio/gio.h>

#include <memory>
#include <string>
#include <utility>

namespace tessaron::platform::freedesktop {

template <class T, auto release>
struct GlibRelease {
  void operator()(T* value) const { release(value); }
};

template <class T>
using OwnedObject = std::unique_ptr<T, GlibRelease<T, g_object_unref>>;
using OwnedError = std::unique_ptr<GError, GlibRelease<GError, g_error_free>>;
using OwnedString = std::unique_ptr<gchar, GlibRelease<gchar, g_free>>;
using OwnedNodeInfo = std::unique_ptr<GDBusNodeInfo, GlibRelease<GDBusNodeInfo, g_dbus_node_info_unref>>;

// An owned GVariant. Adopts a full reference (what calls and lookups return); a floating one is sunk first.
class Variant {
 public:
  Variant() = default;
  explicit Variant(GVariant* adopted)
      : value_(adopted && g_variant_is_floating(adopted) ? g_variant_ref_sink(adopted) : adopted) {}
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
  Variant(Variant&& other) noexcept : value_(std::exchange(other.value_, nullptr)) {}
  Variant& operator=(Variant&& other) noexcept {
    std::swap(value_, other.value_);
    return *this;
  }
  ~Variant() {
    if (value_) g_variant_unref(value_);
  }
  GVariant* get() const { return value_; }
  explicit operator bool() const { return value_ != nullptr; }
  // The n-th member of a tuple or array.
  Variant child(std::size_t index) const { return Variant(g_variant_get_child_value(value_, index)); }
  // The value boxed in a variant ("v").
  Variant unboxed() const { return Variant(g_variant_get_variant(value_)); }
  // A dictionary's ("a{sv}") value of the key, of the type; empty when it has none.
  Variant lookup(const char* key, const GVariantType* type) const {
    return Variant(value_ ? g_variant_lookup_value(value_, key, type) : nullptr);
  }

 private:
  GVariant* value_ = nullptr;
};

// What a failed GLib call said, for the log; "no reason given" when it said nothing.
inline std::string messageOf(const OwnedError& error) {
  return error && error->message ? error->message : "no reason given";
}

}  // namespace tessaron::platform::freedesktop
