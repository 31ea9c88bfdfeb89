// Registration of the sync root with the platform and the shell, the
// connection of the provider to it, and their removal at uninstall.
#pragma once

#include <cstdint>
#include <string>

#include "provider/placeholder_requests.h"
#include "support/mutex.h"

namespace corvane {

class EngineCore;
class Provider;
struct PlaceholderCallbackEntries;

// The connection of a launched provider; released by DeactivateProvider.
struct SyncRootConnection {
  std::u16string path;
  ConnectRootRequest request;
  RootConnection* connection = nullptr;  // owned until disconnected
};

// What a registration works with, copied when it starts: a registration
// thread that outlives its time limit must not read settings the host may
// be changing meanwhile.
struct RegistrationInputs {
  std::u16string root;  // the effective sync-root folder
  bool installing = false;
  bool on_demand = false;  // WindowsCreatePlaceholdersOnDemand
  bool online_only = false;
  std::u16string label;
  std::u16string icon;
  std::u16string provider_id;
  std::u16string provider_account;
  std::u16string provider_name;
  std::u16string provider_version;
  std::u16string recycle_bin_url;
  bool has_item_domain = false;
  int32_t wait_for_install_ms = 0;
};

RegistrationInputs ReadRegistrationInputs(EngineCore& engine);

// Shared by the registration thread and RegisterProvider, which waits for it
// with a time limit. A connection made after the waiter gave up is not
// published: the thread disconnects it itself.
struct RegistrationJob {
  explicit RegistrationJob(RegistrationInputs in) : inputs(std::move(in)) {}
  const RegistrationInputs inputs;
  Provider* provider = nullptr;  // the owner of a connection it makes
  const PlaceholderCallbackEntries* callbacks = nullptr;  // what the platform calls once connected
  Mutex mutex;
  CondVar finished_cv;
  bool finished GUARDED_BY(mutex) = false;
  bool abandoned GUARDED_BY(mutex) = false;
  int32_t result GUARDED_BY(mutex) = 0;
};

// The label, or "Corvane" when SyncRootLabel is empty.
std::u16string EffectiveLabel(std::u16string_view label);
// "<provider id>!<user SID>!<account>", each of the two settings falling
// back to the label; false when the user's SID cannot be read.
bool BuildSyncRootId(const RegistrationInputs& inputs, std::u16string* id);

// Register (installing) or connect (activating); a result code.
int32_t RegisterSyncProvider(EngineCore& engine, RegistrationJob& job);
int32_t RegisterShellSyncRoot(EngineCore& engine, const RegistrationInputs& inputs);
int32_t UnregisterShellSyncRoot(EngineCore& engine, const RegistrationInputs& inputs);
// Unregisters, through the shell, a registration of the sync-root id left
// behind by a root that no longer is one.
bool RemoveStaleShellRegistration(EngineCore& engine, const RegistrationInputs& inputs);

// Disconnects and frees the engine's connection, if any.
void DisconnectSyncRoot(EngineCore& engine);

}  // namespace corvane
