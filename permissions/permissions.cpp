#include <chrono>

#include "base/log.h"
#include "capture/capture_switch.h"
#include "permissions/permissions.h"
#include "platform/platform.h"
#include "server/server.h"

namespace tessaron {

std::atomic<bool> gMayShowScreenRecordingAlert{true};

const char* const accessibilityAlertInformativeText =
    "To enable full functionality, please grant Accessibility permissions:\n"
    "1. Click \"Open System Preferences\".\n"
    "2. In the Privacy tab, select \"Accessibility\".\n"
    "3. Click the lock icon to make changes.\n"
    "4. Add or enable your app in the list.";

const char* const screenRecordingAlertInformativeText =
    "To enable full functionality, please grant Screen Recording permissions:\n"
    "1. Click \"Open System Preferences\".\n"
    "2. In the Privacy tab, select \"Screen & System Audio Recording\".\n"
    "3. Click the lock icon to make changes.\n"
    "4. Add or enable your app in the list.\n"
    "5. Hit 'Quit & Reopen the app\"";

PermissionsService::PermissionsService(Engine& engine, ServerSupervisor& server)
    : isScreenCaptureGranted(platform::current().shell().grants().isScreenCaptureAllowed()),
      isAccessibilityGranted(platform::current().shell().grants().isAccessibilityTrusted()),
      engine_(engine),
      server_(server) {}

void PermissionsService::schedulePermissionCheck() {
  platform::current().mainQueue().runAfter(std::chrono::seconds(1),
                                           [self = shared_from_this()] { self->checkPermissions(); });
}

void PermissionsService::checkPermissions() {
  auto& grants = platform::current().shell().grants();
  if (grants.isAccessibilityTrusted()) {
    if (grants.isScreenCaptureAllowed()) {
      log::tessaronApp().log("User just granted Screen Capturing Priviledge.");
      server_.start();
      startCaptureTask(engine_);
      return;
    }
    showScreenRecordingAlert();
  }
  schedulePermissionCheck();
}

namespace {

// The alert in the desktop's own words where it has them.
platform::AlertSpec grantAlert(const char* title, const char* explanation,
                               const std::optional<platform::GrantWording>& wording) {
  if (wording)
    return {title,
            wording->explanation,
            platform::AlertStyle::informational,
            {wording->requestButton, "Cancel"},
            std::nullopt};
  return {title,
          explanation,
          platform::AlertStyle::informational,
          {"Open System Preferences", "Cancel"},
          std::nullopt};
}

}  // namespace

void showAccessibilityAlert() {
  platform::AlertSpec alert =
      grantAlert("Accessibility Permissions Required", accessibilityAlertInformativeText,
                 platform::current().shell().grants().accessibilityWording());
  // Switched on elsewhere (the desktop's settings, another program) while the alert is open: it goes away.
  alert.dismissWhen = [] { return platform::current().shell().grants().isAccessibilityTrusted(); };
  if (platform::current().shell().alerts().ask(alert) == 0)
    platform::current().shell().grants().requestAccessibility();
}

void showScreenRecordingAlert() {
  if (!gMayShowScreenRecordingAlert.load()) return;
  const platform::AlertSpec alert =
      grantAlert("Screen Recording Permissions Required", screenRecordingAlertInformativeText,
                 platform::current().shell().grants().screenCaptureWording());
  const std::size_t answer = platform::current().shell().alerts().ask(alert);
  gMayShowScreenRecordingAlert.store(false);
  if (answer == 0) platform::current().shell().grants().requestScreenCapture();
}

}  // namespace tessaron
