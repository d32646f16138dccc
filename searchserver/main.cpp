// server --appdata=FOLDER: the local search page on 127.0.0.1:5000. Reads the archive, never writes it.
//
// This first version serves a page that tells how many records the archive holds; full-text search comes
// with the search index.
#include <signal.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <thread>

#include <httplib.h>

namespace fs = std::filesystem;

namespace {

std::size_t countRecords(const fs::path& archive) {
  std::size_t records = 0;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(archive, fs::directory_options::skip_permission_denied, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
    if (it->path().extension() == ".txt") ++records;
  return records;
}

}  // namespace

int main(int argc, char** argv) {
  constexpr std::string_view prefix = "--appdata=";
  if (argc != 2 || std::string_view(argv[1]).substr(0, prefix.size()) != prefix) {
    std::fprintf(stderr, "usage: server --appdata=FOLDER\n");
    return 2;
  }
  const fs::path archive = std::string_view(argv[1]).substr(prefix.size());

  // SIGTERM and SIGINT stop the server cleanly: a thread waits for them and ends the listen loop.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);

  httplib::Server server;
  server.Get("/", [&](const httplib::Request&, httplib::Response& response) {
    response.set_header("Content-Security-Policy", "default-src 'none'; style-src 'unsafe-inline'");
    response.set_header("X-Content-Type-Options", "nosniff");
    response.set_content(
        "<!doctype html><html lang=\"en\"><head><meta charset=\"utf-8\"><title>Tessaron</title></head>"
        "<body><h1>Tessaron</h1><p>" +
            std::to_string(countRecords(archive)) + " records archived.</p></body></html>",
        "text/html; charset=utf-8");
  });
  std::thread([&server, set] {
    int signal = 0;
    sigwait(&set, &signal);
    server.stop();
  }).detach();
  if (!server.bind_to_port("127.0.0.1", 5000)) {
    std::fprintf(stderr, "server: cannot listen on 127.0.0.1:5000\n");
    return 1;
  }
  server.listen_after_bind();
  return 0;
}
