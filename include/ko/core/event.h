/*
 * The event record shared byte-for-byte between the core and its plugins.
 *
 * Every video and audio frame, alarm, log line, configuration document, search
 * request and result travels as one fixed 224-byte record: a 56-byte header and
 * a 168-byte body. The layout is part of the plugin binary interface; it never
 * changes while the record's `version` is 1, and the static assertions at the
 * end of this file pin every offset.
 *
 * This header compiles as C (C11) and as C++. In C the record is the global
 * type `EventParms` and the constants are the KO_* macros; in C++ the record is
 * `ko::core::EventParms` and the constants are also available as constexpr
 * names in that namespace (see event.hpp for the C++ conveniences).
 *
 * Ownership: whoever submits a record owns it and its payload only for the
 * duration of the submission call; the core copies what it keeps. A record the
 * core hands to a plugin is valid only for the duration of that call, and its
 * payload only as long as the plugin holds a reference (see plugin_api.h).
 */
#ifndef KO_CORE_EVENT_H
#define KO_CORE_EVENT_H

#if !defined(__cplusplus) && (!defined(__STDC_VERSION__) || __STDC_VERSION__ < 201112L)
#error "the dvrcore SDK headers need C11 or later (-std=c11)"
#endif

#include <stddef.h>
#include <stdint.h>
#include <string.h>

/* Source id of the core itself; any other id is a plugin's, whose bits 16..23
 * hold its one-byte plugin identifier. */
#define KO_CORE_SOURCE_ID 0x80000000u

/* Version of the plugin binary interface as a whole; the SDK's CMake package
 * carries it as kosdk_ABI_VERSION. It is not a record's `version` word: the
 * event record carries KO_EVENT_VERSION (1), LoadParms 4 and PluginInfo 3
 * (see plugin_api.h), every other record 1. */
#define KO_ABI_VERSION 1

/* The event record's header: size and `version`, and its body's. */
#define KO_EVENT_SIZE 224u
#define KO_EVENT_VERSION 1u
#define KO_EVENT_BODY_SIZE 168u
#define KO_EVENT_BODY_VERSION 1u

/* Event types: one type bit, optionally with KO_EVENT_TYPE_MODIFIER. */
#define KO_EVENT_UNSPECIFIED 0x0u
#define KO_EVENT_VIDEO 0x1u
#define KO_EVENT_AUDIO 0x2u
#define KO_EVENT_ALARM 0x4u
#define KO_EVENT_PTZ 0x8u
#define KO_EVENT_SERIAL 0x10u
#define KO_EVENT_WATCHDOG 0x20u
#define KO_EVENT_LOG 0x40u
#define KO_EVENT_CONFIG 0x100u
#define KO_EVENT_DECREF 0x200u
#define KO_EVENT_POS 0x400u
#define KO_EVENT_CANCEL 0x1000u
#define KO_EVENT_IPC 0x2000u
#define KO_EVENT_CRYPTO 0x8000u
#define KO_EVENT_ANALYTIC 0x10000u
#define KO_EVENT_TYPE_MODIFIER 0x4000u

/* Classes (bits 24..26 of flags) and per-record flag bits. */
#define KO_EVENT_CLASS_LIVE 0x1000000u
#define KO_EVENT_CLASS_STORED 0x4000000u
#define KO_EVENT_FLAG_QUERY 0x1u
#define KO_EVENT_FLAG_TEXT 0x2u
#define KO_EVENT_FLAG_XML 0x10u

/* Bit 5 of mediaFlags marks an output (towards the camera) media stream. */
#define KO_MEDIA_FLAG_OUTPUT 0x20u

/* The helpers below are constant expressions in C++, and cast in each
 * language's own way so that neither warns. */
#ifdef __cplusplus
#define KO_CONSTEXPR constexpr
#define KO_CAST(type, value) static_cast<type>(value)
#define KO_CONST_CAST(type, value) const_cast<type>(value)
#else
#define KO_CONSTEXPR
#define KO_CAST(type, value) ((type)(value))
#define KO_CONST_CAST(type, value) ((type)(uintptr_t)(value))
#endif

#ifdef __cplusplus
namespace ko {
namespace core {
extern "C" {
#endif

/* The 168-byte body. Offsets in comments are from the start of the record. */
typedef struct EventBody {
  uint32_t size;                 /* 56: 168 */
  uint32_t version;              /* 60: 1 */
  uint64_t bodyParam;            /* 64: log level, deliver-back request, crypto size */
  uint8_t typeSpecificA[11];     /* 72: owned by the plugins exchanging the type */
  uint8_t mediaFlags;            /* 83: KO_MEDIA_FLAG_OUTPUT for video and audio */
  uint8_t typeSpecificB[132];    /* 84: owned by the plugins exchanging the type */
  void* context;                 /* 216: carried unchanged; handed to "Write" */
} EventBody;

typedef struct EventParms {
  uint32_t size;      /* 0: 224 */
  uint32_t version;   /* 4: 1 */
  uint32_t length;    /* 8: payload bytes at data; 0 = none */
  uint32_t reserved;  /* 12: zero in records the core builds */
  void* data;         /* 16: payload, may be null */
  uint64_t source;    /* 24: producer's source id (low 32 bits) */
  uint64_t requestId; /* 32: search id (low 32 bits); 0 = none */
  uint64_t type;      /* 40: event type (low 32 bits) */
  uint64_t flags;     /* 48: class and flag bits */
  EventBody body;     /* 56 */
} EventParms;

/* Zero-fills a record and stamps the record and body headers (size 224 and
 * 168, version 1 each). (C++ code uses ko::core::makeRecord / makeEvent from
 * event.hpp.) */
static inline void koEventInit(EventParms* record) {
  memset(record, 0, sizeof *record);
  record->size = KO_EVENT_SIZE;
  record->version = KO_EVENT_VERSION;
  record->body.size = KO_EVENT_BODY_SIZE;
  record->body.version = KO_EVENT_BODY_VERSION;
}

/* Source id of plugin `identifier` (bits 16..23) and its own `channel` (bits 0..15). */
static inline KO_CONSTEXPR uint32_t koSourceId(uint8_t identifier, uint16_t channel) {
  return (KO_CAST(uint32_t, identifier) << 16) | KO_CAST(uint32_t, channel);
}

/* Plugin identifier of a source id: bits 16..23 (0 for the core's id). */
static inline KO_CONSTEXPR uint8_t koSourceIdentifier(uint64_t source) {
  return KO_CAST(uint8_t, (KO_CAST(uint32_t, source) >> 16) & 0xffu);
}

/* Channel of a source id as koSourceId builds it: bits 0..15. */
static inline KO_CONSTEXPR uint16_t koSourceChannel(uint64_t source) {
  return KO_CAST(uint16_t, KO_CAST(uint32_t, source) & 0xffffu);
}

/* Event type as every classification sees it: low 32 bits, modifier cleared. */
static inline KO_CONSTEXPR uint32_t koEventBaseType(uint64_t type) {
  return KO_CAST(uint32_t, type) & ~KO_EVENT_TYPE_MODIFIER;
}

/* Non-zero when the core itself made the record (source KO_CORE_SOURCE_ID). */
static inline KO_CONSTEXPR int koIsCoreRecord(const EventParms* record) {
  return KO_CAST(uint32_t, record->source) == KO_CORE_SOURCE_ID;
}

/* A live text log record, as makeLogEvent builds it; `text` must outlive the submission. */
static inline void koLogEventInit(EventParms* record, uint64_t source, int32_t level, const char* text,
                                  uint32_t length) {
  koEventInit(record);
  record->type = KO_EVENT_LOG;
  record->flags = KO_EVENT_CLASS_LIVE | KO_EVENT_FLAG_TEXT;
  record->source = source;
  record->data = KO_CONST_CAST(char*, text);
  record->length = text ? length : 0u;
  record->body.bodyParam = KO_CAST(uint32_t, level);
}

/* The release of one retained payload (a decref record): `payload` is the
 * `data` pointer of the record you retained, `source` your own source id.
 * Submit exactly one per retained record. */
static inline void koDecrefEventInit(EventParms* record, uint64_t source, const void* payload) {
  koEventInit(record);
  record->type = KO_EVENT_DECREF;
  record->source = source;
  record->data = KO_CONST_CAST(void*, payload);
}

#ifdef __cplusplus
} /* extern "C" */
} /* namespace core */
} /* namespace ko */
#define KO_EVENT_PARMS_T ko::core::EventParms
#define KO_EVENT_BODY_T ko::core::EventBody
#define KO_STATIC_ASSERT static_assert
#else
#define KO_EVENT_PARMS_T EventParms
#define KO_EVENT_BODY_T EventBody
#define KO_STATIC_ASSERT _Static_assert
#endif

KO_STATIC_ASSERT(sizeof(void*) == 8, "the plugin interface is defined for 64-bit targets");
KO_STATIC_ASSERT(sizeof(KO_EVENT_PARMS_T) == 224, "EventParms is 224 bytes");
KO_STATIC_ASSERT(sizeof(KO_EVENT_BODY_T) == 168, "the event body is 168 bytes");
KO_STATIC_ASSERT(offsetof(KO_EVENT_PARMS_T, size) == 0, "size at 0");
KO_STATIC_ASSERT(offsetof(KO_EVENT_PARMS_T, version) == 4, "version at 4");
KO_STATIC_ASSERT(offsetof(KO_EVENT_PARMS_T, length) == 8, "length at 8");
KO_STATIC_ASSERT(offsetof(KO_EVENT_PARMS_T, reserved) == 12, "reserved at 12");
KO_STATIC_ASSERT(offsetof(KO_EVENT_PARMS_T, data) == 16, "data at 16");
KO_STATIC_ASSERT(offsetof(KO_EVENT_PARMS_T, source) == 24, "source at 24");
KO_STATIC_ASSERT(offsetof(KO_EVENT_PARMS_T, requestId) == 32, "requestId at 32");
KO_STATIC_ASSERT(offsetof(KO_EVENT_PARMS_T, type) == 40, "type at 40");
KO_STATIC_ASSERT(offsetof(KO_EVENT_PARMS_T, flags) == 48, "flags at 48");
KO_STATIC_ASSERT(offsetof(KO_EVENT_PARMS_T, body) == 56, "body at 56");
KO_STATIC_ASSERT(offsetof(KO_EVENT_PARMS_T, body.size) == 56, "body.size at 56");
KO_STATIC_ASSERT(offsetof(KO_EVENT_PARMS_T, body.version) == 60, "body.version at 60");
KO_STATIC_ASSERT(offsetof(KO_EVENT_PARMS_T, body.bodyParam) == 64, "bodyParam at 64");
KO_STATIC_ASSERT(offsetof(KO_EVENT_PARMS_T, body.typeSpecificA) == 72, "type-specific fields at 72");
KO_STATIC_ASSERT(offsetof(KO_EVENT_PARMS_T, body.mediaFlags) == 83, "mediaFlags at 83");
KO_STATIC_ASSERT(offsetof(KO_EVENT_PARMS_T, body.typeSpecificB) == 84, "type-specific fields at 84");
KO_STATIC_ASSERT(offsetof(KO_EVENT_PARMS_T, body.context) == 216, "context at 216");

#endif /* KO_CORE_EVENT_H */
