#include "seal/archive_key.h"

#include <sys/random.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <stdexcept>

namespace tessaron::seal {

namespace {

constexpr std::string_view alphabet = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";
constexpr std::size_t symbols = 32;  // 160 bits, five to a symbol
constexpr std::size_t groupLength = 4;

std::string grouped(std::string_view plain) {
  std::string out;
  for (std::size_t i = 0; i < plain.size(); ++i) {
    if (i > 0 && i % groupLength == 0) out.push_back('-');
    out.push_back(plain[i]);
  }
  return out;
}

}  // namespace

std::string newArchiveKey() {
  std::array<std::uint8_t, symbols * 5 / 8> bytes{};
  std::size_t filled = 0;
  while (filled < bytes.size()) {
    const ssize_t got = ::getrandom(bytes.data() + filled, bytes.size() - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("the kernel's random source cannot be read");
    }
    filled += static_cast<std::size_t>(got);
  }
  // Base32 by hand: five bits at a time is all it takes, and no library this program links offers it.
  std::string plain;
  std::uint32_t buffer = 0;
  int bits = 0;
  for (std::uint8_t byte : bytes) {
    buffer = (buffer << 8) | byte;
    bits += 8;
    while (bits >= 5) {
      bits -= 5;
      plain.push_back(alphabet[(buffer >> bits) & 31U]);
    }
  }
  return grouped(plain);
}

std::optional<std::string> normalizedKey(std::string_view typed) {
  std::string plain;
  for (char c : typed) {
    if (c == '-' || c == ' ' || c == '\t' || c == '\n' || c == '\r') continue;
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c == 'O') c = '0';
    if (c == 'I' || c == 'L') c = '1';
    if (alphabet.find(c) == std::string_view::npos) return std::nullopt;
    plain.push_back(c);
  }
  if (plain.size() != symbols) return std::nullopt;
  return grouped(plain);
}

}  // namespace tessaron::seal
