// The status item's menu: the panel with the logo and one button per action, and what each action does.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "app/action_type.h"
#include "base/search_address.h"
#include "platform/platform.h"

namespace tessaron {

class Engine;
class ServerSupervisor;

// The panel's state. The toggle's title follows `isCapturing`; whether it starts or stops capturing is
// decided by the capture switch.
class ContentView : public std::enable_shared_from_this<ContentView> {
 public:
  ContentView(std::shared_ptr<platform::StatusItem> item, Engine& engine, ServerSupervisor& server);
  // The engine whose capturing the panel switches, and the search server it opens and quits.
  Engine& engine() const { return engine_; }
  ServerSupervisor& server() const { return server_; }
  // The last action chosen, persisted under the user default "ActionType" (default: toggle).
  ActionType actionType() const;
  void setActionType(ActionType action);
  bool isCapturing() const { return isCapturing_.load(); }
  void setIsCapturing(bool value);
  // A button press, on the main thread: records the action and runs it on a worker thread.
  void press(ActionType action);
  // Each choice the person makes about capturing starts a new pause generation; a timed pause resumes
  // capturing only if no choice came after it.
  std::uint64_t newPauseGeneration() { return ++pauseGeneration_; }
  std::uint64_t pauseGeneration() const { return pauseGeneration_.load(); }
  // Measures the room the archive takes where it is now and shows it in the panel's line, off the calling
  // thread (a large archive takes a while to walk); a measure still running is waited for first.
  void showArchiveSize();
  // Whether the last measure found a sealed archive locked.
  bool archiveLocked() const { return archiveLocked_.load(); }

 private:
  std::shared_ptr<platform::StatusItem> item_;
  Engine& engine_;
  ServerSupervisor& server_;
  std::atomic<bool> isCapturing_{true};
  std::atomic<std::uint64_t> pauseGeneration_{0};
  std::atomic<bool> archiveLocked_{false};
  std::mutex sizerMutex_;
  std::jthread sizer_;  // last: a measure still running ends before the rest goes
};

// Shows the archive's size in the panel's line now and again every period (sooner while a sealed archive is
// locked, so that its size shows soon after it opens), on the main queue, for as long as the panel lives.
void keepArchiveSizeShown(const std::weak_ptr<ContentView>& view);
// How often the panel's line about the archive's size is measured again, and while the archive is locked.
inline constexpr std::chrono::minutes archiveSizePeriod{10};
inline constexpr std::chrono::seconds lockedArchiveSizePeriod{30};

// How long "Pause for an Hour" pauses.
inline constexpr std::chrono::hours timedPauseLength{1};

class ApplicationMenu {
 public:
  // Attaches the panel to the status item and returns it; called once at launch.
  std::shared_ptr<ContentView> createMenu(const std::shared_ptr<platform::StatusItem>& item, Engine& engine,
                                          ServerSupervisor& server);
};

// Runs one action (off the main thread).
void performAction(ActionType action, ContentView& view);

// The address Learn More opens: the guide installed in the bundle.
std::string productPageAddress();

inline std::string searchPageAddress() {
  return searchOrigin() + "/";
}

}  // namespace tessaron
