#include "platform/wayland/places.h"

namespace tessaron::platform::wayland {

namespace {
bool overlap(const Rect& a, const Rect& b) {
  return a.x < b.x + b.width && b.x < a.x + a.width && a.y < b.y + b.height && b.y < a.y + a.height;
}
}  // namespace

void markCovered(std::vector<CompositorWindow>& frontToBack) {
  for (std::size_t i = 0; i < frontToBack.size(); ++i) {
    frontToBack[i].coveredBy.clear();
    for (std::size_t above = 0; above < i; ++above)
      if (frontToBack[above].output == frontToBack[i].output &&
          overlap(frontToBack[above].frame, frontToBack[i].frame))
        frontToBack[i].coveredBy.push_back(frontToBack[above].id);
  }
}

}  // namespace tessaron::platform::wayland
