// The application's six log channels and its plain standard-output lines.
//
// Every log message goes through one channel: subsystem = the bundle identifier, one of six categories, level
// default or error. Where it ends up is decided once per process (see Sink): the systemd journal when one is
// reachable, else standard error as `<subsystem> [<category>] <default|error>: <message>`;
// TESSARON_LOG=stderr forces standard error and TESSARON_LOG=memory keeps messages in memory for tests.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "base/log_format.h"

namespace tessaron {
void standardOutputLine(std::string_view line);
}

namespace tessaron::log {

enum class Level { normal, error };  // "default" and "error" in the log's own words
std::string_view levelName(Level level);

enum class Category { tessaronApp, contentView, utils, capturer, chromiumPages, firefoxLikePages };
std::string_view categoryName(Category category);

struct Message {
  std::string subsystem;
  std::string category;
  Level level = Level::normal;
  std::string text;
  bool operator==(const Message&) const = default;
};

// The standard-error line of a message; fixed so that scripts can read it.
std::string stderrLine(const Message& message);

// Where messages go. Implementations must accept calls from any thread.
class Sink {
 public:
  virtual ~Sink() = default;
  virtual void write(const Message& message) = 0;
};

// Keeps every message; what tests read.
class MemorySink final : public Sink {
 public:
  void write(const Message& message) override;
  std::vector<Message> messages() const;
  // Texts of the messages, optionally only those of one category.
  std::vector<std::string> texts() const;
  std::vector<std::string> texts(Category category) const;
  bool contains(std::string_view text) const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::vector<Message> messages_;
};

// Installs a sink for the rest of the process (or until the next call) and returns the previous one.
std::shared_ptr<Sink> setSink(std::shared_ptr<Sink> sink);
// Installs a fresh memory sink and returns it.
std::shared_ptr<MemorySink> useMemorySink();

// The subsystem every channel created from now on carries. Defaults to the compiled bundle identifier; the
// launch sets it from the bundle, and an application without an identifier logs as "tessaron".
void setSubsystem(std::string subsystem);
std::string subsystem();

class Channel {
 public:
  Channel(std::string subsystem, Category category);

  template <class... Args>
  void log(Format<std::type_identity_t<Args>...> format, const Args&... args) const {
    emit(Level::normal, render(format.text(), args...));
  }
  template <class... Args>
  void error(Format<std::type_identity_t<Args>...> format, const Args&... args) const {
    emit(Level::error, render(format.text(), args...));
  }

  Category category() const { return category_; }
  const std::string& subsystemName() const { return subsystem_; }

 private:
  void emit(Level level, std::string text) const;
  std::string subsystem_;
  Category category_;
};

// Holds back the log and standard-output lines that the calling thread writes while it lives, so that lines
// naming a page reach the log only once the page may be named at all. release() passes them on in their order
// (to an enclosing hold, else to where they would have gone); discard() drops them. Destruction releases.
class HeldLines {
 public:
  HeldLines();
  ~HeldLines();
  HeldLines(const HeldLines&) = delete;
  HeldLines& operator=(const HeldLines&) = delete;
  void release();
  void discard();

 private:
  friend class Channel;
  friend void tessaron::standardOutputLine(std::string_view line);
  // Keeps the message or output line when a hold is active on this thread; false when it must go out now.
  static bool holdMessage(Message& message);
  static bool holdOutput(std::string_view line);
  // A message, or (for standard output) a line with no channel.
  struct Line {
    std::optional<Message> message;
    std::string output;
  };
  std::vector<Line> lines_;
  HeldLines* outer_ = nullptr;
  bool active_ = true;
};

// What a person saw (a page's title, its address, its words) is named in the log only while naming is on (the
// person's "fullLogging" setting, for a debugging session): the log outlives what is forgotten from the
// archive, and others may read it. Otherwise each such text is given as a short tag, "[seen 1a2b3c4d]", the
// same for the same text throughout one run (a keyed hash whose key is made anew at each start, so that a
// tag cannot be turned back into its text by trying likely ones). An empty text stays empty.
std::string seen(std::string_view text);
// The person's setting.
void nameWhatWasSeen(bool on);
// The scripted desktop's tests pin the exact lines of a run, names and all.
class NamingWhatWasSeen {
 public:
  NamingWhatWasSeen();
  ~NamingWhatWasSeen();
  NamingWhatWasSeen(const NamingWhatWasSeen&) = delete;
  NamingWhatWasSeen& operator=(const NamingWhatWasSeen&) = delete;
};

// The six channels, each created on first use and kept for the life of the process.
const Channel& tessaronApp();
const Channel& contentView();
const Channel& utils();
const Channel& capturer();
const Channel& chromiumPages();
const Channel& firefoxLikePages();
const Channel& channel(Category category);

}  // namespace tessaron::log

namespace tessaron {

// Writes one plain line to standard output and flushes it, so lines never interleave mid-line and reach a
// pipe at once.
void standardOutputLine(std::string_view line);

// Tests capture standard-output lines here instead of the real stream; nullptr restores it.
class OutputCapture {
 public:
  OutputCapture();
  ~OutputCapture();
  OutputCapture(const OutputCapture&) = delete;
  OutputCapture& operator=(const OutputCapture&) = delete;
  std::vector<std::string> lines() const;
  void clear();

 private:
  friend void standardOutputLine(std::string_view line);
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace tessaron
