/* Corvane: a component that lets an application act as a cloud-storage sync
 * provider. This is the whole public interface: sixteen flat C functions and
 * the numbers a host passes to them. It compiles as C and as C++. */
#ifndef HALVEX_CORVANE_H
#define HALVEX_CORVANE_H

#include <stdint.h>

/* The version of this header. The library answers the same numbers at run
 * time: Config("BuildInfo") gives "MAJOR.MINOR.PATCH", Config("MajorVersion")
 * gives "MAJOR", and property HALVEX_PROP_VERSION "HALVEX_VERSION_MAJOR_MINOR_PATCH". */
#define HALVEX_CORVANE_VERSION_MAJOR 26
#define HALVEX_CORVANE_VERSION_MINOR 0
#define HALVEX_CORVANE_VERSION_PATCH 9657

#if defined(_WIN32)
#  if defined(CORVANE_BUILDING_LIBRARY)
#    define HALVEX_API __declspec(dllexport)
#  else
#    define HALVEX_API __declspec(dllimport)
#  endif
#elif defined(__GNUC__) || defined(__clang__)
#  define HALVEX_API __attribute__((visibility("default")))
#else
#  define HALVEX_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Event sink ---------------------------------------------------------
 * Called for every event. `params` has one pointer-sized slot per parameter:
 * an integer, a pointer to an int64_t, or a pointer to a NUL-terminated
 * string (UTF-16 when the component was created with HALVEX_CREATE_WIDE_EVENTS,
 * otherwise 8-bit in the component's code page). Return 0 when handled, any
 * other value is the handler's failure code. */
typedef int32_t (*HalvexEventSink)(void* context, int32_t event_id, int32_t param_count,
                                   intptr_t* params, int32_t* cbparams);

#define HALVEX_CREATE_WIDE_EVENTS 0x1

/* ---- Exports ------------------------------------------------------------- */
HALVEX_API int32_t Halvex_Corvane_StaticInit(void* module);
HALVEX_API int32_t Halvex_Corvane_StaticDestroy(void);
HALVEX_API void* Halvex_Corvane_Create(HalvexEventSink sink, void* context, void* reserved, int32_t flags);
HALVEX_API int32_t Halvex_Corvane_Destroy(void* handle);
HALVEX_API int32_t Halvex_Corvane_CheckIndex(void* handle, int32_t property_id, int32_t index);
HALVEX_API intptr_t Halvex_Corvane_Get(void* handle, int32_t property_id, int32_t index, int32_t* length,
                                       int64_t* value64);
HALVEX_API int32_t Halvex_Corvane_Set(void* handle, int32_t property_id, int32_t index, intptr_t value,
                                      int32_t length);
HALVEX_API int32_t Halvex_Corvane_Do(void* handle, int32_t method_id, int32_t param_count, intptr_t* params,
                                     int32_t* cbparams, int64_t* result64);
HALVEX_API const char* Halvex_Corvane_GetLastError(void* handle);
HALVEX_API int32_t Halvex_Corvane_GetLastErrorCode(void* handle);
HALVEX_API int32_t Halvex_Corvane_SetLastErrorAndCode(void* handle, int32_t code, const char* text);
HALVEX_API const char* Halvex_Corvane_GetEventError(void* handle);
HALVEX_API int32_t Halvex_Corvane_GetEventErrorCode(void* handle);
HALVEX_API int32_t Halvex_Corvane_SetEventErrorAndCode(void* handle, int32_t code, const char* text);
HALVEX_API intptr_t Halvex_EvtStr(void* record, int32_t operation, void* value, int32_t encoding);
HALVEX_API int32_t Halvex_Stream(void* stream, int32_t operation, void* arguments, void* result);

/* ---- String record of Halvex_EvtStr (32 bytes on 64-bit systems) ---------- */
typedef struct HalvexEvtStr {
  int32_t error;      /* system error of the last failed conversion */
  uint32_t code_page; /* code page of the 8-bit text */
  uint32_t flags;     /* HALVEX_EVTSTR_OWNS_* */
  int32_t reserved;
  char* narrow;       /* 8-bit text or NULL */
  uint16_t* wide;     /* UTF-16 text or NULL */
} HalvexEvtStr;

#define HALVEX_EVTSTR_OWNS_NARROW 0x1
#define HALVEX_EVTSTR_OWNS_WIDE 0x2
#define HALVEX_EVTSTR_READ 0
#define HALVEX_EVTSTR_SET_REF 1
#define HALVEX_EVTSTR_SET_COPY 2
#define HALVEX_EVTSTR_NARROW 1
#define HALVEX_EVTSTR_WIDE 2

/* ---- Identifiers ----------------------------------------------------------
 * Add HALVEX_ID_WIDE to a property or method ID to pass UTF-16 strings.
 * Get and Set also take a property ID plus HALVEX_ID_NARROW, which means the
 * same as the ID itself (8-bit strings); Do takes no method ID in that range. */
#define HALVEX_ID_WIDE 10000
#define HALVEX_ID_NARROW 20000

/* Properties */
#define HALVEX_PROP_VERSION 0
#define HALVEX_PROP_ACTIVATION_STATE 1
#define HALVEX_PROP_SERIALIZE_EVENTS 2
#define HALVEX_PROP_SYNC_ROOT_ICON 3
#define HALVEX_PROP_SYNC_ROOT_LABEL 4
#define HALVEX_PROP_SYNC_ROOT_PATH 5
#define HALVEX_PROP_CODE_PAGE 8000

/* Values of HALVEX_PROP_ACTIVATION_STATE */
#define HALVEX_STATE_STOPPED 0
#define HALVEX_STATE_ACTIVATING 1
#define HALVEX_STATE_ACTIVE 2

/* Methods */
#define HALVEX_METHOD_ACTIVATE 2
#define HALVEX_METHOD_CONFIG 3
#define HALVEX_METHOD_CREATE_FILE 4
#define HALVEX_METHOD_CREATE_FOLDER 5
#define HALVEX_METHOD_DEACTIVATE 6
#define HALVEX_METHOD_DELETE_FILE 7
#define HALVEX_METHOD_DELETE_FOLDER 8
#define HALVEX_METHOD_FINALIZE_TASK 9
#define HALVEX_METHOD_GET_FILE_ATTRIBUTES 10
#define HALVEX_METHOD_GET_LOCAL_FILE_DATA 11
#define HALVEX_METHOD_GET_FILE_STATUS 12
#define HALVEX_METHOD_GET_FOLDER_ATTRIBUTES 13
#define HALVEX_METHOD_GET_FOLDER_STATUS 14
#define HALVEX_METHOD_INSTALL 15
#define HALVEX_METHOD_LIST_FILE 16
#define HALVEX_METHOD_LIST_FOLDER 17
#define HALVEX_METHOD_PIN_FILE 18
#define HALVEX_METHOD_PIN_FOLDER 19
#define HALVEX_METHOD_PUT_ITEM_DATA 20
#define HALVEX_METHOD_RENAME_FILE 21
#define HALVEX_METHOD_RENAME_FOLDER 22
#define HALVEX_METHOD_RESET_FILE 23
#define HALVEX_METHOD_RESET_FOLDER 24
#define HALVEX_METHOD_SET_FILE_ATTRIBUTES 25
#define HALVEX_METHOD_SET_FOLDER_ATTRIBUTES 26
#define HALVEX_METHOD_SYNC_FILE 27
#define HALVEX_METHOD_UNINSTALL 28
#define HALVEX_METHOD_UNPIN_FILE 29
#define HALVEX_METHOD_UNPIN_FOLDER 30
#define HALVEX_METHOD_UPDATE_FILE 31
#define HALVEX_METHOD_UPDATE_FOLDER 32
#define HALVEX_METHOD_TO_WIDE_STRING 2003

/* Events */
#define HALVEX_EVENT_ACTIVATED 1
#define HALVEX_EVENT_CANCEL_TASK 2
#define HALVEX_EVENT_CREATE_FILE 3
#define HALVEX_EVENT_CREATE_FOLDER 4
#define HALVEX_EVENT_DELETE_FILE 5
#define HALVEX_EVENT_DELETE_FOLDER 6
#define HALVEX_EVENT_ERROR 7
#define HALVEX_EVENT_GET_FILE_DATA 8
#define HALVEX_EVENT_LIST_DIRECTORY 9
#define HALVEX_EVENT_LOG 10
#define HALVEX_EVENT_RENAME_FILE 11
#define HALVEX_EVENT_RENAME_FOLDER 12
#define HALVEX_EVENT_RESET_FILE 13
#define HALVEX_EVENT_UPDATE_FILE 14
#define HALVEX_EVENT_UPDATE_FOLDER 15
#define HALVEX_EVENT_PLATFORM_REQUEST 2004
/* Second call of a PlatformRequest exchange: the host may free its buffer. */
#define HALVEX_PLATFORM_REQUEST_RELEASE 2000

/* ---- Result codes ---------------------------------------------------------- */
#define HALVEX_OK 0
#define HALVEX_ERR_PENDING 0x21000001
#define HALVEX_ERR_NOT_ACTIVE 0x21000002
#define HALVEX_ERR_ALREADY_ACTIVE 0x21000003
#define HALVEX_ERR_INVALID_PARAMETER 0x21000004
#define HALVEX_ERR_INVALID_OPID 0x21000005
#define HALVEX_ERR_OPERATION_DENIED 0x21000006
#define HALVEX_ERR_INIT_FAILED 0x21000007
#define HALVEX_ERR_NOT_INSTALLED 0x21000008
#define HALVEX_ERR_READ_BEYOND_EOF 0x21000009
#define HALVEX_ERR_LOCAL_DATA_FAILED 0x2100000A
#define HALVEX_ERR_TOO_MANY_ITEMS 0x21000010
#define HALVEX_ERR_ITEM_NOT_FOUND 0x21000011
#define HALVEX_ERR_LOCAL_ITEM_NOT_FOUND 0x21000012
#define HALVEX_ERR_ITEM_EXISTS 0x21000013
#define HALVEX_ERR_INVALID_ITEM_NAME 0x21000014
#define HALVEX_ERR_INVALID_ITEM_ID 0x21000015
#define HALVEX_ERR_INVALID_ITEM_ATTRIBUTES 0x21000016
#define HALVEX_ERR_INVALID_ITEM_PROPERTY 0x21000017
#define HALVEX_ERR_NO_DATA 0x21000030
#define HALVEX_ERR_CANCELLED 0x21000031
#define HALVEX_ERR_TASK_EXPIRED 0x21000032
#define HALVEX_ERR_BACKEND 0x21000040
#define HALVEX_ERR_OS_CALL_FAILED 0x21000041
#define HALVEX_ERR_RETRY 0x21000042
#define HALVEX_ERR_NO_STORAGE_ACCESS 0x21000050
#define HALVEX_ERR_INTERNAL 0x21000100
#define HALVEX_ERR_OUT_OF_MEMORY 200
/* Operating-system codes the component reports itself. */
#define HALVEX_ERR_NOT_READY 21
#define HALVEX_ERR_CONVERSION 434
#define HALVEX_ERR_UNKNOWN_SETTING (-1)

/* ---- Item attribute bits ---------------------------------------------------
 * The Attributes of methods and events. Events leave DIRECTORY out: the
 * event itself says file or folder. */
#define HALVEX_ATTR_READONLY 0x2
#define HALVEX_ATTR_HIDDEN 0x4
#define HALVEX_ATTR_SYSTEM 0x8
#define HALVEX_ATTR_PINNED 0x00100000
#define HALVEX_ATTR_UNPINNED 0x00200000
#define HALVEX_ATTR_DIRECTORY 0x40000000
#define HALVEX_ATTR_VALID_MASK 0x4030000E

/* ---- UpdateFlags of the UpdateFile and UpdateFolder events -------------------
 * Which properties of a local item changed. CONTENT is given only for files
 * whose data is all on disk. */
#define HALVEX_UPDATE_CREATION_TIME 0x02
#define HALVEX_UPDATE_LAST_WRITE_TIME 0x04
#define HALVEX_UPDATE_LAST_ACCESS_TIME 0x08
#define HALVEX_UPDATE_ATTRIBUTES 0x20
#define HALVEX_UPDATE_CONTENT 0x40

/* ---- Status of GetFileStatus and GetFolderStatus ----------------------------
 * Exactly one of IN_SYNC and NOT_IN_SYNC is set for an item that exists. */
#define HALVEX_STATUS_DATA_ON_DISK 0x1
#define HALVEX_STATUS_IN_SYNC 0x400000
#define HALVEX_STATUS_NOT_IN_SYNC 0x800000

/* ---- Create and update flags ---------------------------------------------- */
#define HALVEX_FLAG_RETRIEVE 0x001
#define HALVEX_FLAG_MARK_SYNCED 0x002
#define HALVEX_FLAG_UPDATE_EXISTING 0x004
#define HALVEX_FLAG_SUPERSEDE 0x008
#define HALVEX_FLAG_CREATE_NEW 0x010
#define HALVEX_FLAG_FORCE_UPDATE 0x020
#define HALVEX_FLAG_KEEP_TASKS 0x040
#define HALVEX_FLAG_FROM_LISTING 0x080
#define HALVEX_FLAG_KEEP_DATA 0x100
#define HALVEX_FLAG_UPDATE_CALL 0x200

/* ---- Log levels ------------------------------------------------------------- */
#define HALVEX_LOG_FAILURE 1
#define HALVEX_LOG_WARNING 2
#define HALVEX_LOG_MILESTONE 3
#define HALVEX_LOG_VERBOSE 4
#define HALVEX_LOG_CLOUD_TRACE 8705

#ifdef __cplusplus
}
#endif

#endif /* HALVEX_CORVANE_H */
