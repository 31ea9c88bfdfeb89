#include "engine/engine_config.h"

#include "diag/log.h"
#include "diag/result_codes.h"
#include "engine/engine.h"
#include "support/setting_values.h"
#include "support/utf.h"

namespace corvane {
namespace {

constexpr const char* kTextTooLongRegistration =
    "The Windows registration provider name or version the maximum length of 255 characters";

enum class KeyType { kBool, kInt, kText, kCustom };

using CustomHandler = int32_t (*)(Engine&, const SettingRequest&, std::string&);

struct EngineKey {
  const char* name;
  KeyType type;
  bool stopped_only = false;
  std::atomic<bool> EngineSettings::*flag = nullptr;
  std::atomic<int32_t> EngineSettings::*number = nullptr;
  SharedText EngineSettings::*text = nullptr;
  CustomHandler custom = nullptr;
};

// String values are UTF-8 whatever the component's code page is.
int32_t ReadTextValue(Engine& engine, const SettingRequest& request, std::u16string& out) {
  if (!Utf8ToUtf16(request.value, out)) return engine.diag.RecordCode(kErrConversion);
  return kOk;
}

int32_t LogLevelKey(Engine&, const SettingRequest& request, std::string& answer) {
  if (request.is_query) {
    answer = SignedAnswer(CurrentLogLevel());
  } else {
    SetCurrentLogLevel(static_cast<int32_t>(ParseIntegerValue(request.value)));
  }
  return kOk;
}

// Reading the OS error hands it over: a second query answers "0".
int32_t OsLastErrorKey(Engine& engine, const SettingRequest& request, std::string& answer) {
  if (request.is_query) answer = UnsignedAnswer(engine.diag.TakeOsLastError());
  return kOk;
}

int32_t StatPendingTasksKey(Engine& engine, const SettingRequest& request, std::string& answer) {
  if (request.is_query) answer = SignedAnswer(engine.StatPendingTasks());
  return kOk;
}

int32_t PendingOperationCountKey(Engine& engine, const SettingRequest& request, std::string& answer) {
  if (request.is_query) answer = SignedAnswer(engine.PendingOperationCount());
  return kOk;
}

int32_t ItemDomainKey(Engine& engine, const SettingRequest& request, std::string& answer) {
  if (request.is_query) {
    answer = Utf16ToUtf8Lossy(engine.settings.item_domain.Get());
    return kOk;
  }
  std::u16string value;
  if (int32_t rc = ReadTextValue(engine, request, value); rc != kOk) return rc;
  return engine.SetItemDomain(value);
}

int32_t SerializeEventsKey(Engine& engine, const SettingRequest& request, std::string& answer) {
  if (request.is_query) {
    answer = SignedAnswer(static_cast<int32_t>(engine.settings.serialize_events.load()));
    return kOk;
  }
  return engine.SetSerializeEvents(ParseIntegerValue(request.value));
}

// An empty provider id or account stands for the sync root's label.
int32_t ProviderTextKey(Engine& engine, const SettingRequest& request, std::string& answer,
                        SharedText& stored) {
  if (request.is_query) {
    std::u16string value = stored.Get();
    answer = Utf16ToUtf8Lossy(value.empty() ? engine.SyncRootLabel() : value);
    return kOk;
  }
  std::u16string value;
  if (int32_t rc = ReadTextValue(engine, request, value); rc != kOk) return rc;
  stored.Set(value);
  return kOk;
}

int32_t ProviderIdKey(Engine& engine, const SettingRequest& request, std::string& answer) {
  return ProviderTextKey(engine, request, answer, engine.settings.windows_storage_provider_id);
}

int32_t ProviderAccountKey(Engine& engine, const SettingRequest& request, std::string& answer) {
  return ProviderTextKey(engine, request, answer, engine.settings.windows_storage_provider_account);
}

int32_t RegistrationTextKey(Engine& engine, const SettingRequest& request, std::string& answer,
                            SharedText& stored) {
  if (request.is_query) {
    answer = Utf16ToUtf8Lossy(stored.Get());
    return kOk;
  }
  std::u16string value;
  if (int32_t rc = ReadTextValue(engine, request, value); rc != kOk) return rc;
  if (value.size() > kMaxRegistrationTextLength) {
    return engine.diag.Record(kErrInvalidParameter, kTextTooLongRegistration);
  }
  stored.Set(value);
  return kOk;
}

int32_t ProviderNameKey(Engine& engine, const SettingRequest& request, std::string& answer) {
  return RegistrationTextKey(engine, request, answer, engine.settings.windows_registration_provider_name);
}

int32_t ProviderVersionKey(Engine& engine, const SettingRequest& request, std::string& answer) {
  return RegistrationTextKey(engine, request, answer,
                             engine.settings.windows_registration_provider_version);
}

// Looked up in this order; the first match wins.
const EngineKey kEngineKeys[] = {
    {"AvoidFiringEventsForMethods", KeyType::kBool, true, &EngineSettings::avoid_firing_events_for_methods},
    {"DownloadNewFiles", KeyType::kBool, false, &EngineSettings::download_new_files},
    {"LogLevel", KeyType::kCustom, false, nullptr, nullptr, nullptr, LogLevelKey},
    {"OnlineOnly", KeyType::kBool, false, &EngineSettings::online_only},
    {"EventRetryInterval", KeyType::kInt, false, nullptr, &EngineSettings::event_retry_interval},
    {"OSLastError", KeyType::kCustom, false, nullptr, nullptr, nullptr, OsLastErrorKey},
    {"StatPendingTasks", KeyType::kCustom, false, nullptr, nullptr, nullptr, StatPendingTasksKey},
    {"PendingTaskTimeout", KeyType::kInt, false, nullptr, &EngineSettings::pending_task_timeout},
    {"ExcludedFiles", KeyType::kText, false, nullptr, nullptr, &EngineSettings::excluded_files},
    {"ExcludeHiddenFiles", KeyType::kBool, false, &EngineSettings::exclude_hidden_files},
    {"ExcludeTemporaryFiles", KeyType::kBool, false, &EngineSettings::exclude_temporary_files},
    {"ItemDomain", KeyType::kCustom, true, nullptr, nullptr, nullptr, ItemDomainKey},
    {"ResetPinnedFiles", KeyType::kBool, false, &EngineSettings::reset_pinned_files},
    {"SerializeEvents", KeyType::kCustom, true, nullptr, nullptr, nullptr, SerializeEventsKey},
    {"MaxWorkerThreadCount", KeyType::kInt, true, nullptr, &EngineSettings::max_worker_thread_count},
    {"MinWorkerThreadCount", KeyType::kInt, true, nullptr, &EngineSettings::min_worker_thread_count},
    {"WorkerInitialStackSize", KeyType::kInt, true, nullptr, &EngineSettings::worker_initial_stack_size},
    {"WaitForInstallToComplete", KeyType::kInt, false, nullptr, &EngineSettings::wait_for_install_to_complete},
    {"PendingOperationCount", KeyType::kCustom, false, nullptr, nullptr, nullptr, PendingOperationCountKey},
    {"PendingOpsProcessingBatchSize", KeyType::kInt, false, nullptr,
     &EngineSettings::pending_ops_processing_batch_size},
    {"TrackOfficeLockFiles", KeyType::kBool, false, &EngineSettings::track_office_lock_files},
    {"WindowsFetchOptionalRanges", KeyType::kBool, false, &EngineSettings::windows_fetch_optional_ranges},
    {"WindowsRecycleBinURL", KeyType::kText, false, nullptr, nullptr, &EngineSettings::windows_recycle_bin_url},
    {"WindowsStorageProviderId", KeyType::kCustom, false, nullptr, nullptr, nullptr, ProviderIdKey},
    {"WindowsStorageProviderAccount", KeyType::kCustom, false, nullptr, nullptr, nullptr, ProviderAccountKey},
    {"WindowsRegistrationProviderName", KeyType::kCustom, false, nullptr, nullptr, nullptr, ProviderNameKey},
    {"WindowsRegistrationProviderVersion", KeyType::kCustom, false, nullptr, nullptr, nullptr,
     ProviderVersionKey},
    {"WindowsLastError", KeyType::kCustom, false, nullptr, nullptr, nullptr, OsLastErrorKey},
    {"WindowsUpdateIconOnRetrieveErrors", KeyType::kBool, false,
     &EngineSettings::windows_update_icon_on_retrieve_errors},
    {"WindowsUpdateIconOnUpdateErrors", KeyType::kBool, false,
     &EngineSettings::windows_update_icon_on_update_errors},
    {"WindowsCreatePlaceholdersOnDemand", KeyType::kBool, false,
     &EngineSettings::windows_create_placeholders_on_demand},
};

}  // namespace

bool ConfigureEngineKey(Engine& engine, const SettingRequest& request, std::string& answer,
                        int32_t* result) {
  for (const EngineKey& key : kEngineKeys) {
    if (!EqualsIgnoreCase(request.name, key.name)) continue;
    // Keys with a setter of their own (SerializeEvents, ItemDomain) check the
    // state there, after their range check or log line.
    if (key.stopped_only && !request.is_query && key.type != KeyType::kCustom &&
        engine.state.ActiveOrActivating()) {
      *result = engine.diag.Record(kErrAlreadyActive, ResultMessage(kErrAlreadyActive));
      return true;
    }
    EngineSettings& s = engine.settings;
    *result = kOk;
    switch (key.type) {
      case KeyType::kBool:
        if (request.is_query) {
          answer = BooleanAnswer((s.*key.flag).load());
        } else {
          (s.*key.flag).store(ParseBooleanValue(request.value));
        }
        break;
      case KeyType::kInt:
        if (request.is_query) {
          answer = SignedAnswer((s.*key.number).load());
        } else {
          (s.*key.number).store(static_cast<int32_t>(ParseIntegerValue(request.value)));
        }
        break;
      case KeyType::kText:
        if (request.is_query) {
          answer = Utf16ToUtf8Lossy((s.*key.text).Get());
        } else {
          std::u16string value;
          *result = ReadTextValue(engine, request, value);
          if (*result == kOk) (s.*key.text).Set(value);
        }
        break;
      case KeyType::kCustom:
        *result = key.custom(engine, request, answer);
        break;
    }
    return true;
  }
  return false;
}

}  // namespace corvane
