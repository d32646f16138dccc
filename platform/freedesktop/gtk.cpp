// GTK 3 main loop, message dialogs and the tray item. Every GTK call runs on the main thread: calls from
// other threads are handed to the main loop (alerts wait for their answer, menu changes do not).
#include "platform/freedesktop/gtk.h"

#include <gtk/gtk.h>
#include <libayatana-appindicator/app-indicator.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>

#include "platform/freedesktop/glib_ownership.h"
#include "platform/platform.h"

namespace tessaron::platform::freedesktop {

namespace {

std::thread::id mainThread;

bool onMainThread() {
  return std::this_thread::get_id() == mainThread;
}

gboolean runBoxed(gpointer data) {
  (*static_cast<std::function<void()>*>(data))();
  return G_SOURCE_REMOVE;
}

void deleteBoxed(gpointer data) {
  delete static_cast<std::function<void()>*>(data);
}

void postToMain(std::function<void()> work, guint delayMs = 0) {
  auto* boxed = new std::function<void()>(std::move(work));
  if (delayMs == 0)
    g_idle_add_full(G_PRIORITY_DEFAULT, runBoxed, boxed, deleteBoxed);
  else
    g_timeout_add_full(G_PRIORITY_DEFAULT, delayMs, runBoxed, boxed, deleteBoxed);
}

// Runs on the main thread: at once when already there, else queued.
void onMain(std::function<void()> work) {
  if (onMainThread())
    work();
  else
    postToMain(std::move(work));
}

std::mutex loopMutex;
GMainLoop* runningLoop = nullptr;
bool stopRequested = false;

}  // namespace

void initToolkit(const std::string& backend) {
  mainThread = std::this_thread::get_id();
  // The dialogs go to the same display server the backend reads windows from.
  gdk_set_allowed_backends(backend.c_str());
  if (!gtk_init_check(nullptr, nullptr))
    throw SelectionError{backend + ": GTK cannot open the display for the tray item and dialogs", 1};
}

void GtkMainQueue::post(std::function<void()> work) {
  postToMain(std::move(work));
}

void GtkMainQueue::runAfter(std::chrono::nanoseconds delay, std::function<void()> work) {
  // Milliseconds, rounded up: work never runs before its time.
  const auto ms =
      std::chrono::ceil<std::chrono::milliseconds>(std::max(delay, std::chrono::nanoseconds::zero()));
  postToMain(std::move(work), static_cast<guint>(std::max<std::int64_t>(ms.count(), 1)));
}

void GtkMainQueue::run() {
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  {
    std::lock_guard lock(loopMutex);
    if (stopRequested) {
      stopRequested = false;
      g_main_loop_unref(loop);
      return;
    }
    runningLoop = loop;
  }
  g_main_loop_run(loop);
  {
    std::lock_guard lock(loopMutex);
    runningLoop = nullptr;
  }
  g_main_loop_unref(loop);
}

void GtkMainQueue::stop() {
  std::lock_guard lock(loopMutex);
  if (runningLoop)
    g_main_loop_quit(runningLoop);
  else
    stopRequested = true;
}

std::size_t GtkAlerts::ask(const AlertSpec& alert) {
  return show(alert, nullptr).button;
}

SecretAnswer GtkAlerts::askForSecret(const AlertSpec& alert, const std::string& fieldLabel) {
  return show(alert, &fieldLabel);
}

SecretAnswer GtkAlerts::show(const AlertSpec& alert, const std::string* fieldLabel) {
  if (!onMainThread()) {
    std::promise<SecretAnswer> answer;
    postToMain([&] { answer.set_value(show(alert, fieldLabel)); });
    return answer.get_future().get();
  }
  GtkMessageType type = GTK_MESSAGE_WARNING;
  if (alert.style == AlertStyle::informational) type = GTK_MESSAGE_INFO;
  if (alert.style == AlertStyle::critical) type = GTK_MESSAGE_ERROR;
  GtkWidget* dialog =
      gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, type, GTK_BUTTONS_NONE, "%s", alert.title.c_str());
  if (!alert.explanation.empty())
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", alert.explanation.c_str());
  gtk_window_set_title(GTK_WINDOW(dialog), "Tessaron");
  gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
  gtk_window_set_keep_above(GTK_WINDOW(dialog), TRUE);
  const std::string icon = bundle_.resourcePath(alert.iconName.value_or("AppIcon") + ".png").string();
  gtk_window_set_icon_from_file(GTK_WINDOW(dialog), icon.c_str(), nullptr);

  std::vector<std::string> buttons = alert.buttons;
  if (buttons.empty()) buttons.push_back("OK");
  for (std::size_t i = buttons.size(); i-- > 0;)
    gtk_dialog_add_button(GTK_DIALOG(dialog), buttons[i].c_str(), static_cast<gint>(i));
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), 0);
  GtkWidget* field = nullptr;
  if (fieldLabel) {
    GtkWidget* area = gtk_message_dialog_get_message_area(GTK_MESSAGE_DIALOG(dialog));
    gtk_container_add(GTK_CONTAINER(area), gtk_label_new(fieldLabel->c_str()));
    field = gtk_entry_new();
    gtk_entry_set_visibility(GTK_ENTRY(field), FALSE);
    gtk_entry_set_activates_default(GTK_ENTRY(field), TRUE);
    gtk_container_add(GTK_CONTAINER(area), field);
    gtk_widget_show_all(area);
    gtk_widget_grab_focus(field);
  }
  struct Watch {
    GtkWidget* dialog;
    const std::function<bool()>& dismissWhen;
    gint lastButton;
  } watch{dialog, alert.dismissWhen, static_cast<gint>(buttons.size() - 1)};
  const guint watching = alert.dismissWhen
                             ? g_timeout_add_seconds(
                                   1,
                                   [](gpointer data) -> gboolean {
                                     auto* w = static_cast<Watch*>(data);
                                     if (!w->dismissWhen()) return G_SOURCE_CONTINUE;
                                     gtk_dialog_response(GTK_DIALOG(w->dialog), w->lastButton);
                                     return G_SOURCE_CONTINUE;  // removed below, once the dialog has answered
                                   },
                                   &watch)
                             : 0;
  gint response = gtk_dialog_run(GTK_DIALOG(dialog));
  if (watching) g_source_remove(watching);
  SecretAnswer answer;
  if (field) answer.text = gtk_entry_get_text(GTK_ENTRY(field));
  gtk_widget_destroy(dialog);
  if (response < 0 || static_cast<std::size_t>(response) >= buttons.size())
    response = static_cast<gint>(buttons.size() - 1);
  answer.button = static_cast<std::size_t>(response);
  return answer;
}

namespace {

class IndicatorStatusItem final : public StatusItem {
 public:
  IndicatorStatusItem(Installation& bundle, const std::string& identifier) : bundle_(bundle) {
    const std::string resources = bundle_.resourcePath("logo.png").parent_path().string();
    onMain([this, identifier, resources] {
      // Where no StatusNotifier host runs, the library's fallback icon looks for this folder in the default
      // icon theme's search path and reads past that list's end when it is not there (a crash under the
      // address sanitizer, stray reads otherwise): it is put there first.
      gtk_icon_theme_append_search_path(gtk_icon_theme_get_default(), resources.c_str());
      indicator_ = app_indicator_new(identifier.c_str(), "logo", APP_INDICATOR_CATEGORY_APPLICATION_STATUS);
      app_indicator_set_icon_theme_path(indicator_, resources.c_str());
      app_indicator_set_title(indicator_, "Tessaron");
      app_indicator_set_status(indicator_, APP_INDICATOR_STATUS_ACTIVE);
    });
  }

  bool hasButton() override { return true; }

  void setButtonImage(const std::string& imageName) override {
    onMain([this, imageName] { app_indicator_set_icon_full(indicator_, imageName.c_str(), "Tessaron"); });
  }

  // A tray menu cannot hold a panel: the panel's image leads the menu, the entries follow.
  void setMenu(const std::string& panelImageName, std::vector<MenuEntry> entries) override {
    auto shared = std::make_shared<std::vector<MenuEntry>>(std::move(entries));
    const std::string image = bundle_.resourcePath(panelImageName + ".png").string();
    onMain([this, shared, image] {
      entries_ = shared;
      GtkWidget* menu = gtk_menu_new();
      const OwnedObject<GdkPixbuf> pixbuf(gdk_pixbuf_new_from_file_at_size(image.c_str(), 96, 96, nullptr));
      if (pixbuf) {
        GtkWidget* header = gtk_menu_item_new();
        gtk_container_add(GTK_CONTAINER(header), gtk_image_new_from_pixbuf(pixbuf.get()));
        gtk_widget_set_sensitive(header, FALSE);
        gtk_menu_shell_append(GTK_MENU_SHELL(menu), header);
      }
      line_ = gtk_menu_item_new_with_label(panelLine_.c_str());
      gtk_widget_set_sensitive(line_, FALSE);
      gtk_menu_shell_append(GTK_MENU_SHELL(menu), line_);
      gtk_menu_shell_append(GTK_MENU_SHELL(menu), gtk_separator_menu_item_new());
      items_.clear();
      for (auto& entry : *entries_) {
        GtkWidget* item = gtk_menu_item_new_with_label(entry.title.c_str());
        g_signal_connect(item, "activate", G_CALLBACK(+[](GtkMenuItem*, gpointer data) {
                           auto* press = static_cast<std::function<void()>*>(data);
                           if (*press) (*press)();
                         }),
                         &entry.onPress);
        gtk_menu_shell_append(GTK_MENU_SHELL(menu), item);
        items_.push_back(item);
      }
      gtk_widget_show_all(menu);
      if (panelLine_.empty()) gtk_widget_hide(line_);
      app_indicator_set_menu(indicator_, GTK_MENU(menu));
    });
  }

  void setEntryTitle(std::size_t index, const std::string& title) override {
    onMain([this, index, title] {
      if (index < items_.size()) gtk_menu_item_set_label(GTK_MENU_ITEM(items_[index]), title.c_str());
    });
  }

  void setPanelLine(const std::string& text) override {
    onMain([this, text] {
      panelLine_ = text;
      app_indicator_set_title(indicator_, text.empty() ? "Tessaron" : ("Tessaron \u2014 " + text).c_str());
      if (!line_) return;
      gtk_menu_item_set_label(GTK_MENU_ITEM(line_), text.c_str());
      gtk_widget_set_visible(line_, !text.empty());
    });
  }

 private:
  Installation& bundle_;
  // Main thread only.
  AppIndicator* indicator_ = nullptr;
  std::shared_ptr<std::vector<MenuEntry>> entries_;
  std::vector<GtkWidget*> items_;
  GtkWidget* line_ = nullptr;
  std::string panelLine_;
};

}  // namespace

std::shared_ptr<StatusItem> IndicatorStatusBar::addStatusItem() {
  return std::make_shared<IndicatorStatusItem>(bundle_, identifier_);
}

void IndicatorStatusBar::postNotice(const Notice& notice) {
  const OwnedObject<GDBusConnection> session(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr));
  if (!session) return;
  g_dbus_connection_set_exit_on_close(session.get(), FALSE);  // losing the bus must not end the program
  const std::string icon = bundle_.resourcePath("logo.png").string();
  GVariantBuilder actions, hints;
  g_variant_builder_init(&actions, G_VARIANT_TYPE("as"));
  g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&hints, "{sv}", "desktop-entry", g_variant_new_string(identifier_.c_str()));
  // Asynchronous: a notification service that is slow or missing never holds up the caller.
  g_dbus_connection_call(session.get(), "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                         "org.freedesktop.Notifications", "Notify",
                         g_variant_new("(susssasa{sv}i)", "Tessaron", 0U, icon.c_str(), notice.title.c_str(),
                                       notice.body.c_str(), &actions, &hints, -1),
                         G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr, nullptr);
}

}  // namespace tessaron::platform::freedesktop
