#include "platform/freedesktop/secret_keyring.h"

#include <libsecret/secret.h>

#include <memory>

#include "platform/freedesktop/glib_ownership.h"

namespace tessaron::platform::freedesktop {

namespace {

const SecretSchema* keySchema() {
  static const SecretSchema schema = {
      "com.marrowbeck.tessaron.Key",
      SECRET_SCHEMA_NONE,
      {{"name", SECRET_SCHEMA_ATTRIBUTE_STRING}, {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
      0,
      nullptr,
      nullptr,
      nullptr,
      nullptr,
      nullptr,
      nullptr,
      nullptr};
  return &schema;
}

using OwnedTable = std::unique_ptr<GHashTable, GlibRelease<GHashTable, g_hash_table_unref>>;
using OwnedValue = std::unique_ptr<SecretValue, GlibRelease<SecretValue, secret_value_unref>>;

struct ItemList {
  GList* items = nullptr;
  ~ItemList() { g_list_free_full(items, g_object_unref); }
};

}  // namespace

KeyringLookup SecretServiceKeyring::lookUp(const std::string& name) {
  GError* raw = nullptr;
  OwnedObject<SecretService> service(secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, &raw));
  OwnedError error(raw);
  if (!service) return {KeyringLookup::State::unavailable, {}, error ? error->message : "no Secret Service"};
  OwnedTable attributes(g_hash_table_new(g_str_hash, g_str_equal));
  g_hash_table_insert(attributes.get(), const_cast<char*>("name"), const_cast<char*>(name.c_str()));
  // Without SECRET_SEARCH_UNLOCK: a locked item is found, but stays locked and nobody is prompted.
  ItemList found{secret_service_search_sync(
      service.get(), keySchema(), attributes.get(),
      static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_LOAD_SECRETS), nullptr, &raw)};
  error.reset(raw);
  if (error) return {KeyringLookup::State::unavailable, {}, error->message};
  bool locked = false;
  for (GList* it = found.items; it; it = it->next) {
    auto* item = static_cast<SecretItem*>(it->data);
    if (secret_item_get_locked(item)) {
      locked = true;
      continue;
    }
    OwnedValue value(secret_item_get_secret(item));
    if (!value) continue;
    if (const gchar* text = secret_value_get_text(value.get()))
      return {KeyringLookup::State::found, text, {}};
  }
  if (locked) return {KeyringLookup::State::locked, {}, "the keyring that holds the key is locked"};
  return {KeyringLookup::State::absent, {}, {}};
}

std::optional<PlatformError> SecretServiceKeyring::store(const std::string& name, const std::string& label,
                                                         const std::string& secret) {
  GError* raw = nullptr;
  const gboolean stored =
      secret_password_store_sync(keySchema(), SECRET_COLLECTION_DEFAULT, label.c_str(), secret.c_str(),
                                 nullptr, &raw, "name", name.c_str(), nullptr);
  OwnedError error(raw);
  if (!stored) return PlatformError{error ? error->message : "the keyring did not keep the key"};
  return std::nullopt;
}

}  // namespace tessaron::platform::freedesktop
