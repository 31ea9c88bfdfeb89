// corvane-client: acts as an application on a sync root of the local
// cloud-files platform, or under Wine of the stand-in cloud-files service
// (list, read, write, pin, hydrate ... and show state).
#include <CLI/CLI.hpp>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>
#endif

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "halvex/corvane.h"
#ifdef _WIN32
#include "standin_client.h"
#else
#include "platform/local/client.h"
#endif

namespace {

#ifdef _WIN32
using corvane::client::Client;
using corvane::client::ClientEntry;
using corvane::client::ItemState;

Client OpenClient() { return Client(); }
uint64_t OnDisk(const ItemState& state) { return state.on_disk; }
#else
using corvane::platform::DWORD;
using corvane::platform::local::Client;
using corvane::platform::local::ClientEntry;
using corvane::platform::local::ItemState;

std::string Absolute(const std::string& path);
Client OpenClient() { return Client(Absolute(".")); }
uint64_t OnDisk(const ItemState& state) {
  uint64_t on_disk = 0;
  for (const auto& range : state.hydrated) on_disk += static_cast<uint64_t>(range.Length);
  return on_disk;
}
#endif

#define CLIENT_TEXT_(x) #x
#define CLIENT_TEXT(x) CLIENT_TEXT_(x)
constexpr const char* kVersion = "corvane-client " CLIENT_TEXT(HALVEX_CORVANE_VERSION_MAJOR) "." CLIENT_TEXT(
    HALVEX_CORVANE_VERSION_MINOR) "." CLIENT_TEXT(HALVEX_CORVANE_VERSION_PATCH);

constexpr const char* kUsage = R"(usage: corvane-client <command> [arguments]

Acts as an application on files of a sync root. Paths are ordinary paths,
absolute or relative to the current folder.

commands:
  list [folder]                      list a folder (asks the provider for its
                                     placeholders the first time)
  read <file> [offset [length]]      write the file's bytes to stdout (waits
                                     for the provider to send missing data)
  write <file> [offset] [--data TEXT]
                                     write TEXT (or stdin) into the file at
                                     offset; without offset replace the content
  create <file> [--data TEXT]        create a new file
  mkdir <folder>                     create a folder
  delete <path> [--recursive]        delete a file or folder
  rename <from> <to> [--replace]     rename or move an item
  pin <path>                         keep the item on this device
  unpin <path>                       let the item go online-only
  hydrate <file>                     fetch all of the file's data
  dehydrate <file>                   free the space of the file's data
  state <path>                       show the item's cloud state

options:
  --progress, --no-progress          show (or hide) what list, read and
                                     hydrate wait for, about once a second, on
                                     stderr; shown by default on a terminal
  --help                             show this text ('<command> --help' for one)
  --version                          show the version

Numbers may be decimal or 0x hexadecimal. Exit codes: 0 done, 1 the
operation failed, 2 bad arguments.
The state folder is taken from CORVANE_STATE_DIR; CORVANE_REQUEST_TIMEOUT_MS
shortens how long a command waits for the provider (default 60000).
)";

int Fail(const std::string& what, DWORD error) {
  std::cerr << "corvane-client: " << what << ": " << Client::ErrorText(error) << " (error " << error << ")\n";
  return 1;
}

int Usage(const std::string& problem) {
  std::cerr << "corvane-client: " << problem << "\nTry 'corvane-client --help'.\n";
  return 2;
}

std::string Absolute(const std::string& path) {
#ifdef _WIN32
  std::error_code ec;
  const std::u8string full = std::filesystem::absolute(std::u8string(path.begin(), path.end()), ec).u8string();
  return ec ? path : std::string(full.begin(), full.end());
#else
  if (!path.empty() && path[0] == '/') return path;
  std::error_code ec;
  const std::string cwd = std::filesystem::current_path(ec).string();
  if (ec) return path;
  return path.empty() || path == "." ? cwd : cwd + "/" + path;
#endif
}

// CLI11 takes "-1" for an unsigned number and clips what overflows; a byte
// offset must be neither.
std::string CheckByteCount(const std::string& text) {
  if (text.empty() || text[0] == '-') return "must be a number of bytes, not '" + text + "'";
  errno = 0;
  char* end = nullptr;
  strtoull(text.c_str(), &end, 0);
  if (errno || *end) return "must be a number of bytes, not '" + text + "'";
  return {};
}

std::string Describe(uint32_t attributes, uint32_t state, bool folder) {
  std::string flags;
  if (state & 0x1) flags += "placeholder";
  if (state & 0x8) flags += flags.empty() ? "in-sync" : ",in-sync";
  if (state & 0x10) flags += folder ? ",not-populated" : ",partial";
  if (attributes & 0x80000) flags += ",pinned";
  if (attributes & 0x100000) flags += ",unpinned";
  return flags.empty() ? "-" : flags;
}

std::string Size(uint64_t bytes) {
  char text[32];
  if (bytes < 1024) snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
  else if (bytes < 1024 * 1024) snprintf(text, sizeof text, "%.1f KiB", bytes / 1024.0);
  else snprintf(text, sizeof text, "%.1f MiB", bytes / (1024.0 * 1024.0));
  return text;
}

// Runs `work` on a thread of its own while this one tells, on stderr, what
// it waits for: once at the start, about once a second, and at the end.
DWORD WithProgress(bool show, const std::function<DWORD()>& work, const std::function<std::string(int)>& report) {
  if (!show) return work();
  std::mutex mutex;
  std::condition_variable done_cv;
  bool done = false;
  DWORD result = 0;
  std::thread worker([&] {
    const DWORD r = work();
    std::lock_guard<std::mutex> lock(mutex);
    result = r;
    done = true;
    done_cv.notify_all();
  });
  std::unique_lock<std::mutex> lock(mutex);
  for (int seconds = 0;; ++seconds) {
    std::cerr << "corvane-client: " << report(seconds) << "\n";
    if (done_cv.wait_for(lock, std::chrono::seconds(1), [&] { return done; })) break;
  }
  lock.unlock();
  worker.join();
  std::cerr << "corvane-client: " << (result ? "failed" : "done") << "\n";
  return result;
}

// "hydrating 'x': 1.5 MiB of 3.0 MiB on disk", from the file's own state.
std::string DataOnDisk(const std::string& doing, const std::string& path, int seconds) {
  ItemState state;
  std::string text = doing + " '" + path + "'";
  if (OpenClient().State(path, state) == 0) text += ": " + Size(OnDisk(state)) + " of " + Size(state.size) + " on disk";
  return text + (seconds ? " (" + std::to_string(seconds) + " s)" : "");
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Acts as an application on files of a sync root", "corvane-client"};
  app.set_version_flag("--version", kVersion);
  app.require_subcommand(1);
  app.fallthrough();  // --progress may come after the command too
#ifdef _WIN32
  // Data goes through as it is, never as text.
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
  bool progress = _isatty(_fileno(stderr)) != 0;
#else
  bool progress = isatty(STDERR_FILENO) != 0;
#endif
  app.add_flag("--progress,!--no-progress", progress);

  std::string path, to, data, offset_text, length_text;
  bool have_data = false, recursive = false, replace = false;
  const auto with_path = [&](const char* name, const char* what, const char* positional) {
    CLI::App* command = app.add_subcommand(name, what);
    command->add_option(positional, path, std::string("the ") + positional)->required();
    return command;
  };
  CLI::App* list = app.add_subcommand("list", "list a folder");
  list->add_option("folder", path, "the folder (default: the current folder)");
  CLI::App* read = with_path("read", "write the file's bytes to stdout", "file");
  read->add_option("offset", offset_text, "where to start")->check(CheckByteCount);
  read->add_option("length", length_text, "how many bytes at most")->check(CheckByteCount);
  CLI::App* write = with_path("write", "write TEXT (or stdin) into the file", "file");
  write->add_option("offset", offset_text, "where to write; without it replace the content")->check(CheckByteCount);
  CLI::App* create = with_path("create", "create a new file", "file");
  for (CLI::App* command : {write, create})
    command->add_option("--data", data, "the bytes to write (default: stdin)")->each([&](const std::string&) {
      have_data = true;
    });
  with_path("mkdir", "create a folder", "folder");
  with_path("delete", "delete a file or folder", "path")->add_flag("--recursive", recursive, "with its content");
  CLI::App* rename = with_path("rename", "rename or move an item", "from");
  rename->add_option("to", to, "the new path")->required();
  rename->add_flag("--replace", replace, "replace an existing item");
  with_path("pin", "keep the item on this device", "path");
  with_path("unpin", "let the item go online-only", "path");
  with_path("hydrate", "fetch all of the file's data", "file");
  with_path("dehydrate", "free the space of the file's data", "file");
  with_path("state", "show the item's cloud state", "path");
  // The overview above says more than a generated list; '<command> --help'
  // keeps the generated text, as each subcommand took its formatter before.
  app.formatter(std::make_shared<CLI::FormatterLambda>(
      [](const CLI::App*, std::string, CLI::AppFormatMode) { return std::string(kUsage); }));

  if (argc < 2) return Usage("no command given");
  if (argv[1][0] != '-') {
    try {
      app.get_subcommand(argv[1]);
    } catch (const CLI::OptionNotFound&) {
      return Usage(std::string("unknown command '") + argv[1] + "'");
    }
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::cout << app.help();  // the command's own help when one was given
    return 0;
  } catch (const CLI::CallForVersion&) {
    std::cout << kVersion << "\n";
    return 0;
  } catch (const CLI::ParseError& e) {
    const std::string command = app.get_subcommands().empty() ? "" : app.get_subcommands()[0]->get_name() + ": ";
    return Usage(command + e.what());
  }

  const std::string command = app.get_subcommands()[0]->get_name();
  Client client = OpenClient();
  uint64_t offset = 0, length = UINT64_MAX;
  if (!offset_text.empty()) offset = strtoull(offset_text.c_str(), nullptr, 0);
  if (!length_text.empty()) length = strtoull(length_text.c_str(), nullptr, 0);
  const std::string target = Absolute(path.empty() ? "." : path);

  if (command == "list") {
    std::vector<ClientEntry> entries;
    const DWORD e = WithProgress(
        progress, [&] { return client.List(target, entries); },
        [&](int seconds) {
          return "listing '" + target + "'" + (seconds ? ": waiting for the provider (" + std::to_string(seconds) + " s)"
                                                       : std::string());
        });
    if (e) return Fail("cannot list '" + target + "'", e);
    for (const auto& entry : entries) {
      std::cout << (entry.is_folder ? "d " : "f ") << entry.size << "\t"
                << Describe(entry.attributes, entry.state, entry.is_folder) << "\t" << entry.name
                << (entry.is_folder ? "/" : "") << "\n";
    }
    return 0;
  }
  if (command == "read") {
    const DWORD e = WithProgress(
        progress, [&] { return client.Read(target, offset, length, data); },
        [&](int seconds) { return DataOnDisk("reading", target, seconds); });
    if (e) return Fail("cannot read '" + target + "'", e);
    std::cout.write(data.data(), static_cast<std::streamsize>(data.size()));
    return 0;
  }
  if (command == "hydrate") {
    const DWORD e = WithProgress(
        progress, [&] { return client.Hydrate(target); },
        [&](int seconds) { return DataOnDisk("hydrating", target, seconds); });
    if (e) return Fail("cannot hydrate '" + target + "'", e);
    return 0;
  }
  if (command == "write" || command == "create") {
    if (!have_data) data.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    DWORD e;
    if (command == "create") e = client.CreateFile(target, data);
    else if (!offset_text.empty()) e = client.Write(target, offset, data);
    else e = client.WriteAll(target, data);
    if (e) return Fail("cannot write '" + target + "'", e);
    return 0;
  }
  if (command == "rename") {
    const std::string destination = Absolute(to);
    if (const DWORD e = client.Rename(target, destination, replace))
      return Fail("cannot rename '" + target + "' to '" + destination + "'", e);
    return 0;
  }
  if (command == "state") {
    ItemState state;
    if (const DWORD e = client.State(target, state)) return Fail("cannot read the state of '" + target + "'", e);
    std::cout << state.ToText();
    return 0;
  }
  struct Single {
    const char* name;
    const char* doing;
    DWORD (*run)(Client&, const std::string&, bool);
  };
  static const Single kSingle[] = {
      {"mkdir", "create folder", [](Client& c, const std::string& p, bool) { return c.CreateFolder(p); }},
      {"delete", "delete", [](Client& c, const std::string& p, bool r) { return c.Delete(p, r); }},
      {"pin", "pin", [](Client& c, const std::string& p, bool) { return c.Pin(p); }},
      {"unpin", "unpin", [](Client& c, const std::string& p, bool) { return c.Unpin(p); }},
      {"dehydrate", "dehydrate", [](Client& c, const std::string& p, bool) { return c.Dehydrate(p); }},
  };
  for (const Single& s : kSingle) {
    if (command != s.name) continue;
    if (const DWORD e = s.run(client, target, recursive))
      return Fail(std::string("cannot ") + s.doing + " '" + target + "'", e);
    return 0;
  }
  return Usage("unknown command '" + command + "'");
}
