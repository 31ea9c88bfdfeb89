#include "engine/engine_settings.h"

namespace corvane {

void EngineSettings::Reset() {
  avoid_firing_events_for_methods = true;
  download_new_files = false;
  online_only = false;
  event_retry_interval = 1000;
  pending_task_timeout = 0;
  excluded_files.Set(u"");
  exclude_hidden_files = true;
  exclude_temporary_files = false;
  item_domain.Set(u"");
  reset_pinned_files = false;
  serialize_events = 0;
  max_worker_thread_count = 0;
  min_worker_thread_count = 0;
  worker_initial_stack_size = 0;
  wait_for_install_to_complete = 1000;
  pending_ops_processing_batch_size = 10000;
  track_office_lock_files = false;
  windows_fetch_optional_ranges = false;
  windows_recycle_bin_url.Set(u"");
  windows_storage_provider_id.Set(u"");
  windows_storage_provider_account.Set(u"");
  windows_registration_provider_name.Set(u"Corvane");
  windows_registration_provider_version.Set(u"1.0.0.0");
  windows_update_icon_on_retrieve_errors = false;
  windows_update_icon_on_update_errors = false;
  windows_create_placeholders_on_demand = false;
}

ProcessSettings& GetProcessSettings() {
  static ProcessSettings settings;
  return settings;
}

}  // namespace corvane
