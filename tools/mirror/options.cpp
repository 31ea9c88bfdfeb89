#include "options.h"

#include <cstdio>
#include <string>

#include <CLI/CLI.hpp>

#include "native.h"

namespace mirror {

const char* const kUsage = R"(usage: corvane-mirror --server DIR --root DIR [options]
       corvane-mirror uninstall --root DIR

Serves the folder DIR given by --server (standing in for a remote store) into
the sync root given by --root: files appear in the root as placeholders, their
data is fetched from the server folder when an application reads them, local
changes are uploaded to the server folder, and changes made directly in the
server folder are applied to the root. Ctrl-C deactivates the provider and
leaves the sync root registered; 'uninstall' removes the registration.

options:
  --label TEXT       display name of the sync root (default "Corvane mirror")
  --poll-ms N        how often to scan the server folder, in milliseconds
                     from 50 to 3600000 (default 1000)
  --log-level N      show library log lines up to level N: 0 none, 1 failures,
                     2 warnings (default), 3 milestones, 4 everything
  --populate-all     create every placeholder at start instead of on demand
  --help             show this text
  --version          show the version of the program and of the library

exit codes: 0 stopped cleanly, 1 the library failed, 2 bad arguments or
folders, 3 another corvane-mirror serves the sync root.
)";

namespace {

bool Inside(const std::string& path, const std::string& folder) {
  return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
         (path[folder.size()] == kSeparator || folder.back() == kSeparator);
}

uint64_t Fnv1a(const std::string& text) {
  uint64_t hash = 1469598103934665603ULL;
  for (unsigned char c : text) hash = (hash ^ c) * 1099511628211ULL;
  return hash;
}

}  // namespace

bool ParseOptions(int argc, char** argv, Options& options, std::string& problem) {
  CLI::App app{"Serves a folder into a sync root", "corvane-mirror"};
  app.set_help_flag();  // the usage text above is the help
  bool help = false, version = false, populate_all = false;
  app.add_flag("-h,--help", help);
  app.add_flag("--version", version);
  app.add_option("--server", options.server);
  app.add_option("--root", options.root);
  app.add_option("--label", options.label);
  app.add_option("--poll-ms", options.poll_ms)->check(CLI::Range(50, 3600000));
  app.add_option("--log-level", options.log_level)->check(CLI::Range(0, 4));
  app.add_flag("--populate-all", populate_all);
  CLI::App* uninstall = app.add_subcommand("uninstall");
  uninstall->set_help_flag();
  uninstall->add_flag("-h,--help", help);
  uninstall->add_option("--root", options.root);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    problem = e.what();
    return false;
  }
  if (help || version) {
    options.command = help ? Options::kHelp : Options::kVersion;
    return true;
  }
  options.on_demand = !populate_all;
  if (uninstall->parsed()) options.command = Options::kUninstall;
  if (options.root.empty()) {
    problem = "--root is required";
    return false;
  }
  if (options.command == Options::kServe && options.server.empty()) {
    problem = "--server is required";
    return false;
  }
  return true;
}

bool CheckFolders(Options& options, std::string& problem) {
  if (!CanonicalFolder("sync root", options.root, problem)) return false;
  if (options.command != Options::kServe) return true;
  if (!CanonicalFolder("server folder", options.server, problem)) return false;
  // Either way round, the mirror would copy its own output into itself.
  if (options.server == options.root) {
    problem = "the server folder and the sync root are the same folder '" + options.root + "'";
    return false;
  }
  if (Inside(options.server, options.root)) {
    problem = "the server folder '" + options.server + "' lies inside the sync root '" + options.root + "'";
    return false;
  }
  if (Inside(options.root, options.server)) {
    problem = "the sync root '" + options.root + "' lies inside the server folder '" + options.server + "'";
    return false;
  }
  return Accessible("the server folder", options.server, problem);
}

bool RootClaim::Acquire(const std::string& root, std::string& problem) {
  // A lock outside both folders, named after the root, so that it is neither
  // mirrored nor served.
  char name[32];
  snprintf(name, sizeof name, "%016llx", static_cast<unsigned long long>(Fnv1a(root)));
  std::string holder;
  if (lock_.Acquire(name, holder, problem)) return true;
  if (problem.empty())
    problem = "another corvane-mirror" + (holder.empty() ? std::string() : " (process " + holder + ")") +
              " already serves the sync root '" + root + "'";
  return false;
}

}  // namespace mirror
