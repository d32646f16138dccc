#include "base/log.h"

#include <glib.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <optional>

#if TESSARON_HAVE_JOURNAL
#include <systemd/sd-journal.h>
#endif

namespace tessaron::log {

std::string_view levelName(Level level) {
  return level == Level::error ? "error" : "default";
}

std::string_view categoryName(Category category) {
  switch (category) {
    case Category::tessaronApp:
      return "Tessaron App";
    case Category::contentView:
      return "Content View";
    case Category::utils:
      return "Utils";
    case Category::capturer:
      return "Capturer";
    case Category::chromiumPages:
      return "GetChromeContent";
    case Category::firefoxLikePages:
      return "GetSafariContent";
  }
  return "Utils";
}

std::string stderrLine(const Message& m) {
  return m.subsystem + " [" + m.category + "] " + std::string(levelName(m.level)) + ": " + m.text;
}

void MemorySink::write(const Message& message) {
  std::lock_guard lock(mutex_);
  messages_.push_back(message);
}

std::vector<Message> MemorySink::messages() const {
  std::lock_guard lock(mutex_);
  return messages_;
}

std::vector<std::string> MemorySink::texts() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> out;
  for (const auto& m : messages_)
    out.push_back(m.text);
  return out;
}

std::vector<std::string> MemorySink::texts(Category category) const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> out;
  for (const auto& m : messages_)
    if (m.category == categoryName(category)) out.push_back(m.text);
  return out;
}

bool MemorySink::contains(std::string_view text) const {
  std::lock_guard lock(mutex_);
  for (const auto& m : messages_)
    if (m.text == text) return true;
  return false;
}

void MemorySink::clear() {
  std::lock_guard lock(mutex_);
  messages_.clear();
}

namespace {

class StderrSink final : public Sink {
 public:
  void write(const Message& message) override {
    std::string line = stderrLine(message);
    line.push_back('\n');
    std::lock_guard lock(mutex_);
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
  }

 private:
  std::mutex mutex_;
};

#if TESSARON_HAVE_JOURNAL
class JournalSink final : public Sink {
 public:
  void write(const Message& m) override {
    int priority = m.level == Level::error ? 3 /* LOG_ERR */ : 5 /* LOG_NOTICE, the default level */;
    sd_journal_send("MESSAGE=%s", m.text.c_str(), "PRIORITY=%d", priority, "SYSLOG_IDENTIFIER=%s",
                    m.subsystem.c_str(), "TESSARON_SUBSYSTEM=%s", m.subsystem.c_str(), "TESSARON_CATEGORY=%s",
                    m.category.c_str(), nullptr);
  }
};

// The journal is reachable when its socket accepts a datagram connection; sd_journal_send itself fails
// silently, so without this check messages would vanish on machines without a journal.
bool journalReachable() {
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  constexpr std::string_view path = "/run/systemd/journal/socket";
  path.copy(address.sun_path, path.size());
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  ::close(fd);
  return ok;
}
#endif

std::shared_ptr<Sink> defaultSink() {
  const char* choice = std::getenv("TESSARON_LOG");
  std::string_view wanted = choice ? choice : "";
  if (wanted == "memory") return std::make_shared<MemorySink>();
  if (wanted == "stderr") return std::make_shared<StderrSink>();
#if TESSARON_HAVE_JOURNAL
  if (journalReachable()) return std::make_shared<JournalSink>();
#endif
  return std::make_shared<StderrSink>();
}

std::mutex& sinkMutex() {
  static std::mutex mutex;
  return mutex;
}

std::shared_ptr<Sink>& sinkSlot() {
  static std::shared_ptr<Sink> sink = defaultSink();
  return sink;
}

std::shared_ptr<Sink> currentSink() {
  std::lock_guard lock(sinkMutex());
  return sinkSlot();
}

std::mutex& subsystemMutex() {
  static std::mutex mutex;
  return mutex;
}

std::string& subsystemSlot() {
  static std::string value = TESSARON_BUNDLE_ID;
  return value;
}

}  // namespace

std::shared_ptr<Sink> setSink(std::shared_ptr<Sink> sink) {
  std::lock_guard lock(sinkMutex());
  std::swap(sinkSlot(), sink);
  return sink;
}

std::shared_ptr<MemorySink> useMemorySink() {
  auto sink = std::make_shared<MemorySink>();
  setSink(sink);
  return sink;
}

void setSubsystem(std::string value) {
  std::lock_guard lock(subsystemMutex());
  subsystemSlot() = std::move(value);
}

std::string subsystem() {
  std::lock_guard lock(subsystemMutex());
  return subsystemSlot();
}

Channel::Channel(std::string subsystem, Category category)
    : subsystem_(std::move(subsystem)), category_(category) {}

namespace {

std::atomic<bool> namingBySetting{false};
std::atomic<int> namingForTests{0};

// The run's key for tags, from the kernel's random source.
const std::array<unsigned char, 32>& tagKey() {
  static const std::array<unsigned char, 32> key = [] {
    std::array<unsigned char, 32> bytes{};
    std::size_t filled = 0;
    while (filled < bytes.size()) {
      const ssize_t got = ::getrandom(bytes.data() + filled, bytes.size() - filled, 0);
      if (got > 0) filled += static_cast<std::size_t>(got);
    }
    return bytes;
  }();
  return key;
}

}  // namespace

std::string seen(std::string_view text) {
  if (text.empty() || namingBySetting.load() || namingForTests.load() > 0) return std::string(text);
  const auto& key = tagKey();
  gchar* digest = g_compute_hmac_for_data(G_CHECKSUM_SHA256, key.data(), key.size(),
                                          reinterpret_cast<const guchar*>(text.data()), text.size());
  std::string tag = "[seen " + std::string(digest, 8) + "]";
  g_free(digest);
  return tag;
}

void nameWhatWasSeen(bool on) {
  namingBySetting = on;
}

NamingWhatWasSeen::NamingWhatWasSeen() {
  ++namingForTests;
}

NamingWhatWasSeen::~NamingWhatWasSeen() {
  --namingForTests;
}

void Channel::emit(Level level, std::string text) const {
  Message message{subsystem_, std::string(categoryName(category_)), level, std::move(text)};
  if (HeldLines::holdMessage(message)) return;
  currentSink()->write(message);
}

namespace {
thread_local HeldLines* innermostHold = nullptr;
}

HeldLines::HeldLines() : outer_(innermostHold) {
  innermostHold = this;
}

HeldLines::~HeldLines() {
  release();
}

bool HeldLines::holdMessage(Message& message) {
  if (!innermostHold) return false;
  innermostHold->lines_.push_back({std::move(message), {}});
  return true;
}

bool HeldLines::holdOutput(std::string_view line) {
  if (!innermostHold) return false;
  innermostHold->lines_.push_back({std::nullopt, std::string(line)});
  return true;
}

void HeldLines::release() {
  if (!active_) return;
  active_ = false;
  innermostHold = outer_;
  for (auto& line : lines_) {
    if (line.message) {
      if (!holdMessage(*line.message)) currentSink()->write(*line.message);
    } else
      standardOutputLine(line.output);
  }
  lines_.clear();
}

void HeldLines::discard() {
  if (!active_) return;
  active_ = false;
  innermostHold = outer_;
  lines_.clear();
}

const Channel& channel(Category category) {
  // Each channel is made on first use, thread-safely, and lives until the process ends.
  constexpr std::size_t count = static_cast<std::size_t>(Category::firefoxLikePages) + 1;
  static std::array<std::once_flag, count> once;
  static std::array<std::optional<Channel>, count> channels;
  auto index = static_cast<std::size_t>(category);
  std::call_once(once[index], [&] { channels[index].emplace(subsystem(), category); });
  return *channels[index];
}

const Channel& tessaronApp() {
  return channel(Category::tessaronApp);
}
const Channel& contentView() {
  return channel(Category::contentView);
}
const Channel& utils() {
  return channel(Category::utils);
}
const Channel& capturer() {
  return channel(Category::capturer);
}
const Channel& chromiumPages() {
  return channel(Category::chromiumPages);
}
const Channel& firefoxLikePages() {
  return channel(Category::firefoxLikePages);
}

}  // namespace tessaron::log

namespace tessaron {

namespace {
std::mutex outputMutex;
OutputCapture* activeCapture = nullptr;
}  // namespace

void standardOutputLine(std::string_view line) {
  if (log::HeldLines::holdOutput(line)) return;
  std::lock_guard lock(outputMutex);
  if (activeCapture) {
    std::lock_guard captureLock(activeCapture->mutex_);
    activeCapture->lines_.emplace_back(line);
    return;
  }
  std::string text(line);
  text.push_back('\n');
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

OutputCapture::OutputCapture() {
  std::lock_guard lock(outputMutex);
  activeCapture = this;
}

OutputCapture::~OutputCapture() {
  std::lock_guard lock(outputMutex);
  if (activeCapture == this) activeCapture = nullptr;
}

std::vector<std::string> OutputCapture::lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

void OutputCapture::clear() {
  std::lock_guard lock(mutex_);
  lines_.clear();
}

}  // namespace tessaron
