// The toolkit half of both Linux backends (GTK 3): the main thread's queue is the GLib main loop, alerts are
// modal message dialogs, the status item is a StatusNotifierItem (libayatana-appindicator3), which shows as
// an XEmbed tray icon where no StatusNotifier host runs.
#pragma once

#include <memory>
#include <string>

#include "platform/shell.h"
#include "platform/system.h"

namespace tessaron::platform::freedesktop {

// Initialises GTK for the display server named as GDK names it ("x11", "wayland") on the calling thread,
// which becomes the main thread; throws SelectionError when the toolkit cannot open the display.
void initToolkit(const std::string& backend);

class GtkMainQueue final : public MainQueue {
 public:
  void post(std::function<void()> work) override;
  void runAfter(std::chrono::nanoseconds delay, std::function<void()> work) override;
  void run() override;
  void stop() override;
};

class GtkAlerts final : public Alerts {
 public:
  explicit GtkAlerts(Installation& bundle) : bundle_(bundle) {}
  // Buttons stand right to left in the given order, so the first is the rightmost and the default; closing
  // the dialog answers as its last button (the one that declines).
  std::size_t ask(const AlertSpec& alert) override;
  SecretAnswer askForSecret(const AlertSpec& alert, const std::string& fieldLabel) override;

 private:
  SecretAnswer show(const AlertSpec& alert, const std::string* fieldLabel);
  Installation& bundle_;
};

class IndicatorStatusBar final : public StatusBar {
 public:
  IndicatorStatusBar(Installation& bundle, std::string identifier)
      : bundle_(bundle), identifier_(std::move(identifier)) {}
  std::shared_ptr<StatusItem> addStatusItem() override;
  // A notification through the desktop's notification service on the session bus.
  void postNotice(const Notice& notice) override;

 private:
  Installation& bundle_;
  std::string identifier_;
};

}  // namespace tessaron::platform::freedesktop
