// Tunable values of one engine (the Config keys) and the few that are shared
// by every component of the process.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "core/shared_text.h"
#include "support/mutex.h"

namespace corvane {

// Every key of one engine: its type, its name and its value in a new
// component, written once for the members and for Reset().
#define CORVANE_ENGINE_SETTINGS(X)                                            \
  X(std::atomic<bool>, avoid_firing_events_for_methods, true)           \
  X(std::atomic<bool>, download_new_files, false)                       \
  X(std::atomic<bool>, online_only, false)                              \
  X(std::atomic<int32_t>, event_retry_interval, 1000)                   \
  X(std::atomic<int32_t>, pending_task_timeout, 0)                      \
  X(SharedText, excluded_files, u"")                                    \
  X(std::atomic<bool>, exclude_hidden_files, true)                      \
  X(std::atomic<bool>, exclude_temporary_files, false)                  \
  X(SharedText, item_domain, u"")                                       \
  X(std::atomic<bool>, reset_pinned_files, false)                       \
  X(std::atomic<uint32_t>, serialize_events, 0)                         \
  X(std::atomic<int32_t>, max_worker_thread_count, 0)                   \
  X(std::atomic<int32_t>, min_worker_thread_count, 0)                   \
  X(std::atomic<int32_t>, worker_initial_stack_size, 0)                 \
  X(std::atomic<int32_t>, wait_for_install_to_complete, 1000)           \
  X(std::atomic<int32_t>, pending_ops_processing_batch_size, 10000)     \
  X(std::atomic<bool>, track_office_lock_files, false)                  \
  X(std::atomic<bool>, windows_fetch_optional_ranges, false)            \
  X(SharedText, windows_recycle_bin_url, u"")                           \
  X(SharedText, windows_storage_provider_id, u"")                       \
  X(SharedText, windows_storage_provider_account, u"")                  \
  X(SharedText, windows_registration_provider_name, u"Corvane")         \
  X(SharedText, windows_registration_provider_version, u"1.0.0.0")      \
  X(std::atomic<bool>, windows_update_icon_on_retrieve_errors, false)   \
  X(std::atomic<bool>, windows_update_icon_on_update_errors, false)     \
  X(std::atomic<bool>, windows_create_placeholders_on_demand, false)

struct EngineSettings {
#define CORVANE_SETTING_MEMBER(type, name, initial) type name{initial};
  CORVANE_ENGINE_SETTINGS(CORVANE_SETTING_MEMBER)
#undef CORVANE_SETTING_MEMBER

  // Back to the values of a new component. LogLevel is process-wide and is
  // reset by the caller, not here.
  void Reset();
};

// General keys that belong to one component.
struct GeneralSettings {
  std::atomic<int8_t> charset_mode{0};
  std::atomic<uint32_t> log_debug_option{0};

  std::string LogDebugFile() const {
    MutexLock lock(mutex_);
    return log_debug_file_;
  }
  void SetLogDebugFile(std::string value) {
    MutexLock lock(mutex_);
    log_debug_file_ = std::move(value);
  }

 private:
  mutable Mutex mutex_;
  std::string log_debug_file_ GUARDED_BY(mutex_);
};

// Keys shared by every component of the process; they keep their values
// across components.
struct ProcessSettings {
  std::atomic<bool> zero_memory{false};
  std::atomic<bool> use_internal_crypto_api{false};
  std::atomic<bool> use_fips_compliant_api{false};
  std::atomic<bool> allow_3des_in_fips{false};
  std::atomic<bool> allow_pkcs1_in_fips{true};
  std::atomic<bool> allow_sha1_in_fips{true};
};

ProcessSettings& GetProcessSettings();

}  // namespace corvane
