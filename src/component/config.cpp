#include "component/config.h"

#include <algorithm>

#include "diag/result_codes.h"
#include "engine/engine.h"
#include "engine/engine_config.h"
#include "support/setting_text.h"
#include "support/setting_values.h"

namespace corvane {
namespace {

using GeneralHandler = int32_t (*)(Engine&, const SettingRequest&, std::string&);

struct GeneralKey {
  const char* name;
  GeneralHandler handle;
};

int32_t ProcessFlag(std::atomic<bool>& flag, const SettingRequest& request, std::string& answer) {
  if (request.is_query) {
    answer = BooleanAnswer(flag.load());
  } else {
    flag.store(ParseBooleanValue(request.value));
  }
  return kOk;
}

int32_t AllInMainThreadKey(Engine&, const SettingRequest& request, std::string& answer) {
  if (request.is_query) answer = "0";
  return kOk;
}

int32_t CodePageKey(Engine& engine, const SettingRequest& request, std::string& answer) {
  if (request.is_query) {
    answer = SignedAnswer(static_cast<int32_t>(engine.code_page.load()));
  } else {
    engine.code_page.store(ParseIntegerValue(request.value));
  }
  return kOk;
}

int32_t CharsetModeKey(Engine& engine, const SettingRequest& request, std::string& answer) {
  if (request.is_query) {
    answer = SignedAnswer(engine.general.charset_mode.load());
  } else {
    engine.general.charset_mode.store(static_cast<int8_t>(ParseIntegerValue(request.value) & 0xFF));
  }
  return kOk;
}

int32_t LogDebugFileKey(Engine& engine, const SettingRequest& request, std::string& answer) {
  if (request.is_query) {
    answer = engine.general.LogDebugFile();
  } else {
    engine.general.SetLogDebugFile(request.value);
  }
  return kOk;
}

int32_t LogDebugOptionKey(Engine& engine, const SettingRequest& request, std::string& answer) {
  if (request.is_query) {
    answer = UnsignedAnswer(engine.general.log_debug_option.load());
  } else {
    engine.general.log_debug_option.store(ParseNumberValue(request.value));
  }
  return kOk;
}

int32_t LastErrorKey(Engine& engine, const SettingRequest& request, std::string& answer) {
  if (request.is_query) answer = engine.diag.LastError().text;
  return kOk;
}

int32_t ZeroMemoryKey(Engine&, const SettingRequest& r, std::string& a) {
  return ProcessFlag(GetProcessSettings().zero_memory, r, a);
}
int32_t UseInternalCryptoApiKey(Engine&, const SettingRequest& r, std::string& a) {
  return ProcessFlag(GetProcessSettings().use_internal_crypto_api, r, a);
}
int32_t UseFipsCompliantApiKey(Engine&, const SettingRequest& r, std::string& a) {
  return ProcessFlag(GetProcessSettings().use_fips_compliant_api, r, a);
}
int32_t Allow3DesInFipsKey(Engine&, const SettingRequest& r, std::string& a) {
  return ProcessFlag(GetProcessSettings().allow_3des_in_fips, r, a);
}
int32_t AllowPkcs1InFipsKey(Engine&, const SettingRequest& r, std::string& a) {
  return ProcessFlag(GetProcessSettings().allow_pkcs1_in_fips, r, a);
}
int32_t AllowSha1InFipsKey(Engine&, const SettingRequest& r, std::string& a) {
  return ProcessFlag(GetProcessSettings().allow_sha1_in_fips, r, a);
}

// LogLevel is absent: the engine key of that name always answers first.
const GeneralKey kGeneralKeys[] = {
    {"AllInMainThread", AllInMainThreadKey},
    {"CodePage", CodePageKey},
    {"CharsetMode", CharsetModeKey},
    {"LogDebugFile", LogDebugFileKey},
    {"LogDebugOption", LogDebugOptionKey},
    {"LastError", LastErrorKey},
    {"ZeroMemory", ZeroMemoryKey},
    {"UseInternalCryptoAPI", UseInternalCryptoApiKey},
    {"UseFIPSCompliantAPI", UseFipsCompliantApiKey},
    {"Allow3DESInFIPS", Allow3DesInFipsKey},
    {"AllowPKCS1InFIPS", AllowPkcs1InFipsKey},
    {"AllowSHA1InFIPS", AllowSha1InFipsKey},
};

// With ZeroMemory on, an old answer is wiped before its buffer is reused.
void StoreAnswer(std::string& buffer, std::string text) {
  if (GetProcessSettings().zero_memory.load()) std::fill(buffer.begin(), buffer.end(), '\0');
  buffer = std::move(text);
}

}  // namespace

int32_t Configure(Engine& engine, std::string_view setting_text, const char** answer) {
  std::string& buffer = engine.config_answers.Local();
  StoreAnswer(buffer, std::string());
  *answer = buffer.c_str();

  const SettingRequest request = ParseSettingText(setting_text);
  std::string text;
  int32_t result = kOk;
  bool matched = ConfigureEngineKey(engine, request, text, &result);
  if (!matched) {
    for (const GeneralKey& key : kGeneralKeys) {
      if (EqualsIgnoreCase(request.name, key.name)) {
        result = key.handle(engine, request, text);
        matched = true;
        break;
      }
    }
  }
  if (!matched) {
    engine.diag.SetLastError(engine.diag.LastError().code, kTextUnknownSetting);
    return kErrUnknownSetting;
  }
  if (request.is_query) {
    StoreAnswer(buffer, std::move(text));
    *answer = buffer.c_str();
  }
  return result;
}

}  // namespace corvane
