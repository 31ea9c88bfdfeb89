// corvane-mirror: a whole sync provider in a few hundred lines. It serves a
// "server" folder into a sync root through the Corvane library, using only
// the public header. The life of a provider, in the order main() runs it:
//
//   Create the component with an event sink   (Halvex_Corvane_Create)
//   Describe the root and tune settings        (Set SyncRootPath, Config)
//   Install: register the sync root            (stays after the process ends)
//   Activate: connect and start answering      (events start to arrive)
//   ... serve until Ctrl-C ...
//   Deactivate: disconnect, keep registration  (Uninstall would remove it)
//   Destroy the component
#include <cstdio>
#include <string>
#include <vector>

#include "component.h"
#include "console.h"
#include "downloads.h"
#include "events.h"
#include "native.h"
#include "options.h"
#include "server_snapshot.h"
#include "server_watch.h"
#include "uploads.h"

namespace mirror {
namespace {

bool Configure(Component& component, const Options& options) {
  const std::string settings[] = {
      "LogLevel=" + std::to_string(options.log_level < 1 ? 1 : options.log_level),
      // Folders are listed when an application first opens them.
      std::string("WindowsCreatePlaceholdersOnDemand=") + (options.on_demand ? "true" : "false"),
      // How long the library waits before asking again after HALVEX_ERR_RETRY.
      "EventRetryInterval=1000",
  };
  for (const std::string& setting : settings) {
    if (component.Config(setting) != 0) {
      Complain("cannot set %s: %s", setting.c_str(), component.LastError().c_str());
      return false;
    }
  }
  if (component.SetSyncRootPath(options.root) != 0 || component.SetSyncRootLabel(options.label) != 0) {
    Complain("cannot set the sync root: %s", component.LastError().c_str());
    return false;
  }
  return true;
}

int Uninstall(const Options& options) {
  RootClaim claim;
  std::string problem;
  if (!claim.Acquire(options.root, problem)) {
    Complain("%s; stop it before uninstalling", problem.c_str());
    return kExitRootBusy;
  }
  Component component(nullptr, nullptr);
  if (!component.valid() || component.SetSyncRootPath(options.root) != 0) {
    Complain("cannot create the component");
    return kExitFailed;
  }
  if (component.Uninstall() != 0) {
    Complain("cannot uninstall %s: %s", options.root.c_str(), component.LastError().c_str());
    return kExitFailed;
  }
  Say("uninstalled the sync root %s; its files stay where they are", options.root.c_str());
  return kExitOk;
}

int Serve(const Options& options, StopRequests& stop_requests) {
  RootClaim claim;
  std::string problem;
  if (!claim.Acquire(options.root, problem)) {
    Complain("%s", problem.c_str());
    return kExitRootBusy;
  }

  // What the server holds now is the starting point: only later changes are
  // "server changes". Items the root has not listed yet come with listings.
  ServerIndex index;
  index.Reset(ScanServer(options.server));

  EventContext events;
  Component component(OnEvent, &events);
  if (!component.valid()) {
    Complain("cannot create the component");
    return kExitFailed;
  }
  Downloads downloads(component, options.server, 2);
  Uploads uploads(component, index, options.server);
  events.component = &component;
  events.downloads = &downloads;
  events.uploads = &uploads;
  events.server_root = options.server;
  events.log_level = options.log_level;
  // Destroying the component may still raise an event or two; by then the
  // handlers must no longer reach the parts destroyed before it.
  struct Detach {
    EventContext& events;
    ~Detach() { events.downloads = nullptr, events.uploads = nullptr; }
  } detach{events};

  if (!Configure(component, options)) return kExitFailed;
  if (component.Install() != 0) {
    Complain("cannot register %s as a sync root: %s", options.root.c_str(), component.LastError().c_str());
    return kExitFailed;
  }
  downloads.Start();  // events may arrive while Activate runs
  if (component.Activate() != 0) {
    const std::string why = component.LastError();
    downloads.Stop();
    // The registration is left as it is: the usual cause is another provider
    // connected to this root, whose registration an Uninstall would remove.
    Complain("cannot activate the provider for %s: %s", options.root.c_str(), why.c_str());
    Complain("the sync root stays registered; 'corvane-mirror uninstall --root %s' removes it",
             options.root.c_str());
    return kExitFailed;
  }
  ServerWatch watch(component, index, options.server, options.root, options.poll_ms);
  watch.Start();
  Say("serving %s into %s (Ctrl-C to stop)", options.server.c_str(), options.root.c_str());

  const std::string why = stop_requests.Wait();

  Say("stopping (%s)", why.c_str());
  watch.Stop();
  const int32_t rc = component.Deactivate();
  downloads.Stop();
  if (rc != 0) {
    Complain("deactivation failed: %s", component.LastError().c_str());
    return kExitFailed;
  }
  Say("deactivated; %s stays registered (remove it with: corvane-mirror uninstall --root %s)",
      options.root.c_str(), options.root.c_str());
  return kExitOk;
}

}  // namespace
}  // namespace mirror

int main(int argc, char** argv) {
  using namespace mirror;
  StopRequests stop_requests;
  std::vector<std::string> arguments = Utf8Arguments(argc, argv);
  std::vector<char*> utf8_argv;
  for (std::string& argument : arguments) utf8_argv.push_back(argument.data());
  Options options;
  std::string problem;
  if (!ParseOptions(argc, utf8_argv.data(), options, problem)) {
    fprintf(stderr, "corvane-mirror: %s\nTry 'corvane-mirror --help'.\n", problem.c_str());
    return kExitBadInput;
  }
  if (options.command == Options::kHelp) {
    fputs(kUsage, stdout);
    return kExitOk;
  }
  if (options.command == Options::kVersion) {
    // The header it was built with, and the library it runs with.
    Component component(nullptr, nullptr);
    std::string library = "unknown";
    if (component.valid()) component.Config("BuildInfo", &library);
    printf("corvane-mirror %d.%d.%d (library %s)\n", HALVEX_CORVANE_VERSION_MAJOR, HALVEX_CORVANE_VERSION_MINOR,
           HALVEX_CORVANE_VERSION_PATCH, library.c_str());
    return kExitOk;
  }
  if (!CheckFolders(options, problem)) {
    fprintf(stderr, "corvane-mirror: %s\n", problem.c_str());
    return kExitBadInput;
  }
  return options.command == Options::kUninstall ? Uninstall(options) : Serve(options, stop_requests);
}
