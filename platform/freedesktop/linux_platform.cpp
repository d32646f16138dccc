#include "platform/freedesktop/linux_platform.h"

namespace tessaron::platform::freedesktop {

namespace {
std::filesystem::path executable() {
  std::error_code ec;
  return std::filesystem::read_symlink("/proc/self/exe", ec);
}
}  // namespace

LinuxDesktopPlatform::LinuxDesktopPlatform(FramePlacement placement)
    : pages_(TextReading::pipelined, std::move(placement)),
      workspace_(bundle_, processes_),
      alerts_(bundle_),
      statusBar_(bundle_, bundle_.bundleIdentifier().value_or("tessaron")),
      loginItems_(AutostartLoginItems::entryPath(bundle_.bundleIdentifier().value_or("tessaron"))
                      .value_or("tessaron.desktop"),
                  executable(), bundle_.resourcePath("AppIcon.png")) {}

ApplicationFacts LinuxDesktopPlatform::applicationFacts() {
  return {[this](std::int32_t pid) { return pages_.applicationName(pid); },
          [this](std::int32_t pid) { return pages_.frames(pid); }};
}

}  // namespace tessaron::platform::freedesktop
