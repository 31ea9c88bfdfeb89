// Tunable values of one engine (the Config keys) and the few that are shared
// by every component of the process.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "engine/shared_text.h"
#include "support/mutex.h"

namespace corvane {

struct EngineSettings {
  std::atomic<bool> avoid_firing_events_for_methods{true};
  std::atomic<bool> download_new_files{false};
  std::atomic<bool> online_only{false};
  std::atomic<int32_t> event_retry_interval{1000};
  std::atomic<int32_t> pending_task_timeout{0};
  SharedText excluded_files;
  std::atomic<bool> exclude_hidden_files{true};
  std::atomic<bool> exclude_temporary_files{false};
  SharedText item_domain;
  std::atomic<bool> reset_pinned_files{false};
  std::atomic<uint32_t> serialize_events{0};
  std::atomic<int32_t> max_worker_thread_count{0};
  std::atomic<int32_t> min_worker_thread_count{0};
  std::atomic<int32_t> worker_initial_stack_size{0};
  std::atomic<int32_t> wait_for_install_to_complete{1000};
  std::atomic<int32_t> pending_ops_processing_batch_size{10000};
  std::atomic<bool> track_office_lock_files{false};
  std::atomic<bool> windows_fetch_optional_ranges{false};
  SharedText windows_recycle_bin_url;
  SharedText windows_storage_provider_id;
  SharedText windows_storage_provider_account;
  SharedText windows_registration_provider_name{u"Corvane"};
  SharedText windows_registration_provider_version{u"1.0.0.0"};
  std::atomic<bool> windows_update_icon_on_retrieve_errors{false};
  std::atomic<bool> windows_update_icon_on_update_errors{false};
  std::atomic<bool> windows_create_placeholders_on_demand{false};

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
