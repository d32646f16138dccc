// The two grants capturing needs (accessibility and screen recording): the alerts that ask for them, and the
// once-a-second check that starts the search server and capturing when both are present.
#pragma once

#include <atomic>
#include <memory>
#include <string>

namespace tessaron {

// Whether the screen-recording alert may still be shown; it is shown at most once per process.
extern std::atomic<bool> gMayShowScreenRecordingAlert;

class Engine;
class ServerSupervisor;

class PermissionsService : public std::enable_shared_from_this<PermissionsService> {
 public:
  // Records both grants as they stand now (a snapshot; the check asks afresh). Capturing starts on `engine`.
  PermissionsService(Engine& engine, ServerSupervisor& server);

  // Runs checkPermissions on the main queue 1.0 s from now; the queued work keeps the service alive.
  void schedulePermissionCheck();
  // On the main thread: both grants present starts the server, then capturing, and ends the checks; otherwise
  // shows the screen-recording alert (once) when only that grant is missing, and checks again in a second.
  void checkPermissions();

  const bool isScreenCaptureGranted;
  const bool isAccessibilityGranted;
  const bool displayedScreenCaptureAlert = false;
  const bool displayedAccessibilityAlert = false;

 private:
  Engine& engine_;
  ServerSupervisor& server_;
};

// Modal, in the desktop's own words where its grants have them; the first button ("Open System Preferences")
// asks the desktop for the grant.
void showAccessibilityAlert();
void showScreenRecordingAlert();

// The alerts' texts, exactly as shown on a desktop without words of its own.
extern const char* const accessibilityAlertInformativeText;
extern const char* const screenRecordingAlertInformativeText;

}  // namespace tessaron
