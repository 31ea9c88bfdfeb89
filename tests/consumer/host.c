/* A host built the way another project builds one: against the installed
 * header and library only. It registers the folder given as its argument,
 * activates, sees one local change arrive as an event, makes one remote
 * item and asks its status, then deactivates and uninstalls.
 *
 *   consumer_host ROOT        (CORVANE_STATE_DIR should name a scratch folder)
 */
#define _POSIX_C_SOURCE 200809L
#include <halvex/corvane.h>

#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#define TEXT_(x) #x
#define TEXT(x) TEXT_(x)
#define HEADER_VERSION \
  TEXT(HALVEX_CORVANE_VERSION_MAJOR) "." TEXT(HALVEX_CORVANE_VERSION_MINOR) "." TEXT(HALVEX_CORVANE_VERSION_PATCH)

static int failures = 0;

#define CHECK(cond)                                                       \
  do {                                                                    \
    if (!(cond)) {                                                        \
      ++failures;                                                         \
      fprintf(stderr, "consumer_host: check failed: %s (line %d)\n", #cond, __LINE__); \
    }                                                                     \
  } while (0)

struct Host {
  pthread_mutex_t lock;
  pthread_cond_t changed;
  int activated;
  int32_t activation_code;
  int created;
  char created_path[256];
  int32_t created_attributes;
};

static int32_t Sink(void* context, int32_t id, int32_t count, intptr_t* params, int32_t* cbparams) {
  struct Host* host = (struct Host*)context;
  (void)cbparams;
  pthread_mutex_lock(&host->lock);
  if (id == HALVEX_EVENT_ACTIVATED && count == 1) {
    host->activated = 1;
    host->activation_code = (int32_t)params[0];
  } else if (id == HALVEX_EVENT_CREATE_FILE && count == 8) {
    host->created++;
    snprintf(host->created_path, sizeof host->created_path, "%s", (const char*)params[1]);
    host->created_attributes = (int32_t)params[2];
    params[7] = HALVEX_OK; /* stored: the file becomes an in-sync placeholder */
  }
  pthread_cond_broadcast(&host->changed);
  pthread_mutex_unlock(&host->lock);
  return 0;
}

/* Waits up to 30 s for *flag to become non-zero. */
static int WaitFor(struct Host* host, const int* flag) {
  struct timespec until;
  int ok;
  clock_gettime(CLOCK_REALTIME, &until);
  until.tv_sec += 30;
  pthread_mutex_lock(&host->lock);
  while (!*flag && pthread_cond_timedwait(&host->changed, &host->lock, &until) == 0) {
  }
  ok = *flag != 0;
  pthread_mutex_unlock(&host->lock);
  return ok;
}

static int32_t Do(void* c, int32_t method, int32_t count, intptr_t* params, int32_t* cbparams) {
  int32_t rc = Halvex_Corvane_Do(c, method, count, params, cbparams, NULL);
  if (rc != 0) fprintf(stderr, "consumer_host: method %d: %d %s\n", method, rc, Halvex_Corvane_GetLastError(c));
  return rc;
}

int main(int argc, char** argv) {
  struct Host host;
  void* c;
  intptr_t params[6];
  int32_t cbparams[6] = {0};
  int64_t size = 5, no_time = 0;
  char local_file[1024];
  struct stat st;
  FILE* f;

  if (argc != 2) {
    fprintf(stderr, "usage: consumer_host ROOT\n");
    return 2;
  }
  memset(&host, 0, sizeof host);
  pthread_mutex_init(&host.lock, NULL);
  pthread_cond_init(&host.changed, NULL);
  c = Halvex_Corvane_Create(Sink, &host, NULL, 0);
  CHECK(c != NULL);
  if (!c) return 1;

  /* The header and the library it runs with are the same version. */
  params[0] = (intptr_t) "BuildInfo";
  params[1] = 0;
  CHECK(Do(c, HALVEX_METHOD_CONFIG, 1, params, cbparams) == 0);
  CHECK(params[1] && strcmp((const char*)params[1], HEADER_VERSION) == 0);
  CHECK(strcmp((const char*)Halvex_Corvane_Get(c, HALVEX_PROP_VERSION, 0, NULL, NULL),
               "HALVEX_VERSION_" TEXT(HALVEX_CORVANE_VERSION_MAJOR) "_" TEXT(HALVEX_CORVANE_VERSION_MINOR) "_" TEXT(
                   HALVEX_CORVANE_VERSION_PATCH)) == 0);

  CHECK(Halvex_Corvane_Set(c, HALVEX_PROP_SYNC_ROOT_PATH, 0, (intptr_t)argv[1], 0) == 0);
  CHECK(strcmp((const char*)Halvex_Corvane_Get(c, HALVEX_ID_NARROW + HALVEX_PROP_SYNC_ROOT_PATH, 0, NULL, NULL),
               argv[1]) == 0);
  CHECK(Halvex_Corvane_Set(c, HALVEX_PROP_SYNC_ROOT_LABEL, 0, (intptr_t) "Consumer", 0) == 0);
  CHECK(Do(c, HALVEX_METHOD_INSTALL, 0, params, cbparams) == 0);

  params[0] = 0; /* asynchronous: ends with the Activated event */
  CHECK(Do(c, HALVEX_METHOD_ACTIVATE, 1, params, cbparams) == 0);
  CHECK(WaitFor(&host, &host.activated));
  CHECK(host.activation_code == 0);
  CHECK(Halvex_Corvane_Get(c, HALVEX_PROP_ACTIVATION_STATE, 0, NULL, NULL) == HALVEX_STATE_ACTIVE);

  /* A user writes a file into the root: the host hears of it. */
  snprintf(local_file, sizeof local_file, "%s/local.txt", argv[1]);
  f = fopen(local_file, "w");
  CHECK(f != NULL);
  if (f) {
    fputs("written by a user\n", f);
    fclose(f);
  }
  CHECK(WaitFor(&host, &host.created));
  CHECK(strcmp(host.created_path, "\\local.txt") == 0);
  CHECK((host.created_attributes & HALVEX_ATTR_DIRECTORY) == 0);

  /* The remote store has a file: it appears as a placeholder, data not here. */
  params[0] = (intptr_t) "remote.txt";
  params[1] = 0;
  params[2] = (intptr_t)&size;
  params[3] = params[4] = params[5] = (intptr_t)&no_time;
  CHECK(Do(c, HALVEX_METHOD_CREATE_FILE, 6, params, cbparams) == 0);
  snprintf(local_file, sizeof local_file, "%s/remote.txt", argv[1]);
  CHECK(stat(local_file, &st) == 0 && st.st_size == 5);
  params[0] = (intptr_t) "remote.txt";
  params[1] = 0;
  CHECK(Do(c, HALVEX_METHOD_GET_FILE_STATUS, 2, params, cbparams) == 0);
  CHECK(((int32_t)params[1] & HALVEX_STATUS_IN_SYNC) != 0);
  CHECK(((int32_t)params[1] & (HALVEX_STATUS_DATA_ON_DISK | HALVEX_STATUS_NOT_IN_SYNC)) == 0);

  CHECK(Do(c, HALVEX_METHOD_DEACTIVATE, 0, params, cbparams) == 0);
  CHECK(Halvex_Corvane_Get(c, HALVEX_PROP_ACTIVATION_STATE, 0, NULL, NULL) == HALVEX_STATE_STOPPED);
  CHECK(Do(c, HALVEX_METHOD_UNINSTALL, 0, params, cbparams) == 0);
  CHECK(Halvex_Corvane_Destroy(c) == 0);

  if (failures) return 1;
  printf("consumer_host: library %s, install, activate, event, status, deactivate, uninstall: ok\n",
         HEADER_VERSION);
  return 0;
}
