/* A minimal C host: creates components with narrow and wide event sinks,
 * answers events and reads the per-thread errors through the exports. */
#include <halvex/corvane.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

typedef uint16_t char16;

int32_t bridge_fire_create_file(void* handle, const char16* path, int64_t size, int32_t* result_code);
int32_t bridge_fire_list_directory(void* handle, const char16* path, int32_t* result_code);
int32_t bridge_fire_log(void* handle, const char16* message);

static int failures = 0;
static int checks = 0;

#define CHECK(cond)                                              \
  do {                                                           \
    ++checks;                                                    \
    if (!(cond)) {                                               \
      ++failures;                                                \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
    }                                                            \
  } while (0)

struct HostState {
  int events;
  int errors;
  int32_t last_id;
  char narrow_path[64];
  char16 wide_path[64];
  int64_t size;
  int32_t error_code;
  char error_text[128];
  int list_fails;
};

static void CopyWide(char16* dst, const char16* src, size_t cap) {
  size_t i = 0;
  for (; i + 1 < cap && src[i] != 0; ++i) dst[i] = src[i];
  dst[i] = 0;
}

static int32_t NarrowSink(void* context, int32_t id, int32_t count, intptr_t* params, int32_t* cbparams) {
  struct HostState* s = (struct HostState*)context;
  (void)cbparams;
  s->events++;
  s->last_id = id;
  if (id == HALVEX_EVENT_CREATE_FILE && count == 8) {
    strncpy(s->narrow_path, (const char*)params[1], sizeof(s->narrow_path) - 1);
    s->size = *(const int64_t*)params[3];
    params[7] = HALVEX_ERR_PENDING;
    return 0;
  }
  if (id == HALVEX_EVENT_ERROR) {
    s->errors++;
    s->error_code = (int32_t)params[0];
    strncpy(s->error_text, (const char*)params[1], sizeof(s->error_text) - 1);
    return 0;
  }
  if (id == HALVEX_EVENT_LIST_DIRECTORY) return s->list_fails ? 5 : 0;
  return 0;
}

static int32_t WideSink(void* context, int32_t id, int32_t count, intptr_t* params, int32_t* cbparams) {
  struct HostState* s = (struct HostState*)context;
  (void)cbparams;
  s->events++;
  s->last_id = id;
  if (id == HALVEX_EVENT_CREATE_FILE && count == 8) {
    CopyWide(s->wide_path, (const char16*)params[1], 64);
    s->size = *(const int64_t*)params[3];
    return 0;
  }
  if (id == HALVEX_EVENT_LOG) return 0;
  return 0;
}

int main(void) {
  static const char16 path[] = {'\\', 'd', 'o', 'c', 0xE9, '.', 't', 'x', 't', 0};
  struct HostState narrow_state, wide_state;
  memset(&narrow_state, 0, sizeof narrow_state);
  memset(&wide_state, 0, sizeof wide_state);

  CHECK(Halvex_Corvane_StaticInit(NULL) == 0);

  void* narrow = Halvex_Corvane_Create(NarrowSink, &narrow_state, NULL, 0);
  void* wide = Halvex_Corvane_Create(WideSink, &wide_state, NULL, HALVEX_CREATE_WIDE_EVENTS);
  CHECK(narrow != NULL && wide != NULL);

  /* Narrow events: UTF-8 path (code page 65001), 64-bit size by pointer, result read back. */
  int32_t result_code = 0;
  CHECK(bridge_fire_create_file(narrow, path, 5000000000LL, &result_code) == 0);
  CHECK(strcmp(narrow_state.narrow_path, "\\doc\xc3\xa9.txt") == 0);
  CHECK(narrow_state.size == 5000000000LL);
  CHECK(result_code == HALVEX_ERR_PENDING);

  /* Wide events: the same path as UTF-16. */
  result_code = 0;
  CHECK(bridge_fire_create_file(wide, path, 7, &result_code) == 0);
  CHECK(memcmp(wide_state.wide_path, path, sizeof path) == 0);
  CHECK(wide_state.size == 7);
  CHECK(bridge_fire_log(wide, path) == 0);
  CHECK(wide_state.last_id == HALVEX_EVENT_LOG);

  /* A failing handler: event error on this thread and an Error event. */
  narrow_state.list_fails = 1;
  CHECK(bridge_fire_list_directory(narrow, path, &result_code) == 5);
  CHECK(narrow_state.errors == 1 && narrow_state.error_code == 5);
  CHECK(strcmp(narrow_state.error_text, "An unhandled error occurred in the ListDirectory event handler") == 0);
  CHECK(Halvex_Corvane_GetEventErrorCode(narrow) == 5);
  CHECK(strcmp(Halvex_Corvane_GetEventError(narrow), narrow_state.error_text) == 0);

  /* Last error through the exports, and the null-handle answers. */
  CHECK(Halvex_Corvane_SetLastErrorAndCode(narrow, HALVEX_ERR_ITEM_NOT_FOUND, "Item not found") ==
        HALVEX_ERR_ITEM_NOT_FOUND);
  CHECK(Halvex_Corvane_GetLastErrorCode(narrow) == HALVEX_ERR_ITEM_NOT_FOUND);
  CHECK(strcmp(Halvex_Corvane_GetLastError(narrow), "Item not found") == 0);
  CHECK(Halvex_Corvane_GetLastErrorCode(wide) == 0);
  CHECK(Halvex_Corvane_GetLastErrorCode(NULL) == HALVEX_ERR_OUT_OF_MEMORY);
  CHECK(Halvex_Corvane_GetLastError(NULL) == NULL);
  CHECK(Halvex_Corvane_Get(NULL, HALVEX_PROP_SYNC_ROOT_PATH, 0, NULL, NULL) == 0);
  CHECK(Halvex_Corvane_CheckIndex(wide, 99, 99) == 0);

  CHECK(Halvex_Corvane_Destroy(narrow) == 0);
  CHECK(Halvex_Corvane_Destroy(wide) == 0);
  CHECK(Halvex_Corvane_StaticDestroy() == 0);

  printf("%d passed, %d failed\n", checks - failures, failures);
  return failures == 0 ? 0 : 1;
}
