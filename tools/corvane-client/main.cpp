// corvane-client: acts as an application on a sync root of the local
// cloud-files platform (list, read, write, pin, hydrate ... and show state).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/local/client.h"

namespace {

using corvane::platform::DWORD;
using corvane::platform::local::Client;

constexpr const char* kUsage = R"(usage: corvane-client <command> [arguments]

Acts as an application on files of a sync root. Paths are ordinary paths,
absolute or relative to the current folder.

commands:
  list <folder>                      list a folder (asks the provider for its
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
  --help                             show this text

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
  if (!path.empty() && path[0] == '/') return path;
  std::error_code ec;
  const std::string cwd = std::filesystem::current_path(ec).string();
  if (ec) return path;
  return path.empty() || path == "." ? cwd : cwd + "/" + path;
}

bool ParseNumber(const std::string& text, uint64_t& value) {
  if (text.empty() || text[0] == '-') return false;
  errno = 0;
  char* end = nullptr;
  value = strtoull(text.c_str(), &end, 0);
  return errno == 0 && end && *end == '\0';
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

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return Usage("no command given");
  if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    std::cout << kUsage;
    return 0;
  }
  std::string data;
  bool have_data = false, recursive = false, replace = false;
  std::vector<std::string> rest;
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--data") {
      if (i + 1 >= args.size()) return Usage("--data needs a value");
      data = args[++i];
      have_data = true;
    } else if (args[i] == "--recursive") {
      recursive = true;
    } else if (args[i] == "--replace") {
      replace = true;
    } else {
      rest.push_back(args[i]);
    }
  }
  const std::string& command = args[0];
  const auto need = [&](size_t min, size_t max) { return rest.size() >= min && rest.size() <= max; };
  Client client(Absolute("."));

  if (command == "list") {
    if (!need(0, 1)) return Usage("list takes one folder");
    const std::string folder = Absolute(rest.empty() ? "." : rest[0]);
    std::vector<corvane::platform::local::ClientEntry> entries;
    if (const DWORD e = client.List(folder, entries)) return Fail("cannot list '" + folder + "'", e);
    for (const auto& entry : entries) {
      std::cout << (entry.is_folder ? "d " : "f ") << entry.size << "\t"
                << Describe(entry.attributes, entry.state, entry.is_folder) << "\t" << entry.name
                << (entry.is_folder ? "/" : "") << "\n";
    }
    return 0;
  }
  if (command == "read") {
    if (!need(1, 3)) return Usage("read takes a file, and optionally an offset and a length");
    uint64_t offset = 0, length = UINT64_MAX;
    if (rest.size() > 1 && !ParseNumber(rest[1], offset)) return Usage("offset must be a number");
    if (rest.size() > 2 && !ParseNumber(rest[2], length)) return Usage("length must be a number");
    const std::string file = Absolute(rest[0]);
    if (const DWORD e = client.Read(file, offset, length, data)) return Fail("cannot read '" + file + "'", e);
    std::cout.write(data.data(), static_cast<std::streamsize>(data.size()));
    return 0;
  }
  if (command == "write" || command == "create") {
    if (!need(1, command == "write" ? 2 : 1)) return Usage(command + " takes a file" + (command == "write" ? " and an optional offset" : ""));
    if (!have_data) data.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    const std::string file = Absolute(rest[0]);
    DWORD e;
    if (command == "create") {
      e = client.CreateFile(file, data);
    } else if (rest.size() == 2) {
      uint64_t offset = 0;
      if (!ParseNumber(rest[1], offset)) return Usage("offset must be a number");
      e = client.Write(file, offset, data);
    } else {
      e = client.WriteAll(file, data);
    }
    if (e) return Fail("cannot write '" + file + "'", e);
    return 0;
  }
  if (command == "rename") {
    if (!need(2, 2)) return Usage("rename takes two paths");
    const std::string from = Absolute(rest[0]), to = Absolute(rest[1]);
    if (const DWORD e = client.Rename(from, to, replace)) return Fail("cannot rename '" + from + "' to '" + to + "'", e);
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
      {"hydrate", "hydrate", [](Client& c, const std::string& p, bool) { return c.Hydrate(p); }},
      {"dehydrate", "dehydrate", [](Client& c, const std::string& p, bool) { return c.Dehydrate(p); }},
  };
  for (const Single& s : kSingle) {
    if (command != s.name) continue;
    if (!need(1, 1)) return Usage(command + " takes one path");
    const std::string path = Absolute(rest[0]);
    if (const DWORD e = s.run(client, path, recursive)) return Fail(std::string("cannot ") + s.doing + " '" + path + "'", e);
    return 0;
  }
  if (command == "state") {
    if (!need(1, 1)) return Usage("state takes one path");
    const std::string path = Absolute(rest[0]);
    corvane::platform::local::ItemState state;
    if (const DWORD e = client.State(path, state)) return Fail("cannot read the state of '" + path + "'", e);
    std::cout << state.ToText();
    return 0;
  }
  return Usage("unknown command '" + command + "'");
}
