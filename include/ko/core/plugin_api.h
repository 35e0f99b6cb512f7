/*
 * The plugin binary interface: the records exchanged with a plugin and the
 * entry points a plugin exports. Compiles as C and as C++.
 *
 * A plugin is a shared object exporting up to ten functions by their plain
 * names. "Load"/"Unload" and "Open"/"Close" are mandatory pairs; the rest are
 * optional. Every parameter and result record starts with `size` and `version`
 * (1 for every record but LoadParms, 4, and PluginInfo, 3); the core
 * zero-fills both records and stamps their headers before each call.
 *
 * Entry points, who calls them and on which thread:
 *
 *   Load(LoadParms* in, PluginInfo* out) -> int32_t          main thread
 *       0 = loaded. Fill `out` with your source id, interest words and thread
 *       requests. Keep `in->submitEvent`: it is how you submit events, from
 *       any thread, for as long as you are loaded. Anything else = failure;
 *       "Unload" is then never called.
 *   Unload(UnloadParms*, UnloadResult*)                      main thread
 *       Called after your worker and reader threads have returned.
 *   Open(OpenParms*, OpenResult*)                            main thread
 *   Close(CloseParms*, CloseResult*)                         main thread
 *       After "Close" your worker ("IOCTL" code 1) and reader ("Read") calls
 *       must return: unloading joins them and waits until they do.
 *   OnEvent(EventParms*) -> int                              dispatch thread
 *       Low 8 bits non-zero = you retained the record and its payload; give
 *       the reference back later with one decref record (type KO_EVENT_DECREF,
 *       data = the payload pointer, source = your own source id). The record
 *       itself is valid only during the call. Do not block here.
 *   OnSearch(EventParms* request)                            a search thread
 *       Submit your results (KO_EVENT_CLASS_STORED, requestId = the request's)
 *       from this same thread before returning; a result with a payload waits
 *       until your previous result's payload has been released by everyone.
 *   Read(ReadParms*, NULL)                                   reader or search thread
 *   Write(WriteParms*, WriteResult*, void* context)          dispatch thread
 *       Only when "OnEvent" is absent and PluginInfo.acceptsWrite is non-zero.
 *   IOCTL(IoctlParms*, IoctlResult*)                         various, by code
 *       code 1: your worker thread's body (runs until you return);
 *       code 2: a configuration event when "OnEvent" is absent (dispatch thread);
 *       code 4: an IPC packet when "OnIpcResult" is absent (io thread).
 *   OnIpcResult(const void* packet, uint64_t length)         io thread
 *       A packet from the parent daemon addressed to you, header included.
 *
 * Calls of different entry points may overlap: a plugin must accept them
 * concurrently.
 */
#ifndef KO_CORE_PLUGIN_API_H
#define KO_CORE_PLUGIN_API_H

#include "event.h"

/* WantBit in an interest word asks for records of that type; SearchBit offers
 * to answer searches for it. */
#define KO_WANT_BIT 0x2000000u
#define KO_SEARCH_BIT 0x4000000u

/* IOCTL codes sent by the core. */
#define KO_IOCTL_WORKER_THREAD 1u
#define KO_IOCTL_CONFIG_EVENT 2u
#define KO_IOCTL_IPC_PACKET 4u

/* Put before each exported entry point: plain C name, default visibility, so
 * the core finds it with dlsym even when the plugin hides everything else. */
#ifdef __cplusplus
#define KO_PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))
#else
#define KO_PLUGIN_EXPORT __attribute__((visibility("default")))
#endif

/* Packets exchanged with the parent daemon: a 16-byte header of four
 * little-endian 32-bit words (length, target, command, one word for the
 * plugin), then the payload. Commands 7 and 8 are the parent's own. */
#define KO_IPC_HEADER_SIZE 16u
#define KO_IPC_MAX_PACKET 65536u
#define KO_IPC_COMMAND_STARTUP 7u
#define KO_IPC_COMMAND_STOP 8u

/* The crypto service: a record of type KO_EVENT_CRYPTO whose `flags` hold the
 * operation, `data` the buffer, `length` its capacity and `bodyParam` the
 * bytes of data in it. On success (0) the buffer is transformed in place,
 * `bodyParam` holds the new size and `flags` the opposite operation. A
 * positive result n asks for a buffer of n bytes; nothing changed. */
#define KO_CRYPTO_ENCIPHER 2u
#define KO_CRYPTO_DECIPHER 1024u
#define KO_CRYPTO_OK 0
#define KO_CRYPTO_BAD_OPERATION (-1)      /* `flags` hold neither operation */
#define KO_CRYPTO_NO_DATA (-2)            /* no buffer, nothing to decipher, or more data than buffer */
#define KO_CRYPTO_OUT_OF_MEMORY (-12)     /* the core's work buffer; nothing changed */
#define KO_CRYPTO_NOTHING_DECIPHERED (-13)
/* Enciphering adds at most this many bytes (an IV block and padding). */
#define KO_CRYPTO_MAX_GROWTH 32u

/* The `version` words of the records that do not carry 1: LoadParms carries
 * 4 and PluginInfo 3. Every other record of this interface (the event record
 * included) carries 1. None of them is KO_ABI_VERSION, the version of the
 * interface as a whole. */
#define KO_LOAD_PARMS_SIZE 40u
#define KO_LOAD_PARMS_VERSION 4u
#define KO_PLUGIN_INFO_SIZE 112u
#define KO_PLUGIN_INFO_VERSION 3u

#ifdef __cplusplus
namespace ko {
namespace core {
extern "C" {
#endif

typedef int32_t (*SubmitEventFn)(EventParms* record);

typedef struct LoadParms {
  uint32_t size;             /* 40 */
  uint32_t version;          /* 4 */
  uint64_t zero;
  SubmitEventFn submitEvent; /* the core's event entry; valid while loaded */
  void* reservedPointer;     /* null */
  uint32_t reservedCount;    /* 0 */
  uint32_t padding;
} LoadParms;

typedef struct PluginInfo {
  uint32_t size;     /* 112 */
  uint32_t version;  /* 3 */
  uint64_t sourceId; /* KO_CORE_SOURCE_ID, or your identifier in bits 16..23 */
  uint64_t videoWord;
  uint64_t audioWord;
  uint64_t alarmWord;
  uint64_t ptzWord;
  uint64_t serialWord;
  uint64_t closeRank; /* larger values are closed earlier */
  uint64_t logWord;
  uint64_t spareWord;
  uint64_t posWord;
  uint64_t analyticWord;
  uint8_t wantsWorkerThread; /* lend an "IOCTL" code-1 worker thread */
  uint8_t spareFlag;
  uint8_t wantsAsyncReader;  /* lend a "Read" thread; searches go to "Read" without "OnSearch" */
  uint8_t acceptsWrite;      /* deliver events through "Write" without "OnEvent" */
  uint8_t spareTail[12];
} PluginInfo;

typedef struct OpenParms {
  uint32_t size;    /* 24 */
  uint32_t version; /* 1 */
  uint8_t zero[16];
} OpenParms;

typedef struct OpenResult {
  uint32_t size;    /* 16 */
  uint32_t version; /* 1 */
  uint8_t zero[8];
} OpenResult;

typedef struct CloseParms {
  uint32_t size;    /* 12 */
  uint32_t version; /* 1 */
  uint32_t zero;
} CloseParms;

typedef struct CloseResult {
  uint32_t size;    /* 12 */
  uint32_t version; /* 1 */
  uint32_t zero;
} CloseResult;

typedef struct UnloadParms {
  uint32_t size;    /* 8 */
  uint32_t version; /* 1 */
} UnloadParms;

typedef struct UnloadResult {
  uint32_t size;    /* 12 */
  uint32_t version; /* 1 */
  uint32_t zero;
} UnloadResult;

typedef struct IoctlParms {
  uint32_t size;    /* 40 */
  uint32_t version; /* 1 */
  uint32_t code;
  uint32_t zero1;
  uint64_t zero2;
  uint32_t dataLength;
  uint32_t zero3;
  void* data;
} IoctlParms;

typedef struct IoctlResult {
  uint32_t size;    /* 28 */
  uint32_t version; /* 1 */
  uint32_t code;
  uint32_t zero1;
  uint32_t answer;  /* non-zero = yes (code 2: the event was retained) */
  uint32_t zero2;
  uint32_t zero3;
} IoctlResult;

typedef struct ReadParms {
  uint32_t size;    /* 40 */
  uint32_t version; /* 1 */
  uint32_t zero1;
  uint32_t one;     /* 1 */
  uint32_t dataLength;
  uint32_t zero2;
  void* data;
  uint64_t requestId; /* the search request's requestId field, whole */
} ReadParms;

typedef struct WriteParms {
  uint32_t size;    /* 232 */
  uint32_t version; /* 1 */
  uint64_t zero1;
  uint32_t length;
  uint32_t zero2;
  void* data;
  uint64_t source;
  uint64_t requestId;
  uint64_t type;
  uint64_t flags;
  EventBody body;   /* the record's body, byte for byte */
} WriteParms;

typedef struct WriteResult {
  uint32_t size;    /* 32 */
  uint32_t version; /* 1 */
  uint8_t zero[20];
  uint32_t answer;  /* non-zero = the event was retained */
} WriteResult;

/* The four header words of a packet, in host order. */
typedef struct IpcPacketHeader {
  uint32_t length;  /* whole packet, header included: 16..65536 */
  uint32_t target;  /* the plugin's identifier in bits 20..27 */
  uint32_t command; /* 7 and 8 are the parent's own */
  uint32_t word3;   /* not read by the core */
} IpcPacketHeader;

/* Packet target word addressing plugin `identifier`: bits 20..27, not 16..23 as in a source id. */
static inline KO_CONSTEXPR uint32_t koIpcTarget(uint8_t identifier) {
  return KO_CAST(uint32_t, identifier) << 20;
}

/* Plugin identifier a packet target word addresses: bits 20..27. */
static inline KO_CONSTEXPR uint8_t koIpcTargetIdentifier(uint32_t target) {
  return KO_CAST(uint8_t, (target >> 20) & 0xffu);
}

/* Writes the 16-byte little-endian header; `length` counts the header too. */
static inline void koIpcWriteHeader(void* packet, uint32_t length, uint32_t target, uint32_t command,
                                    uint32_t word3) {
  const uint32_t words[4] = {length, target, command, word3};
  uint8_t* out = KO_CAST(uint8_t*, packet);
  unsigned i;
  for (i = 0; i < 16u; ++i) out[i] = KO_CAST(uint8_t, words[i / 4u] >> (8u * (i % 4u)));
}

/* Reads a header; 1 when the `available` bytes hold the whole packet (16 <= length <= available). */
static inline int koIpcReadHeader(const void* packet, uint64_t available, IpcPacketHeader* header) {
  const uint8_t* in = KO_CAST(const uint8_t*, packet);
  uint32_t words[4] = {0, 0, 0, 0};
  unsigned i;
  if (!packet || available < KO_IPC_HEADER_SIZE) return 0;
  for (i = 0; i < 16u; ++i) words[i / 4u] |= KO_CAST(uint32_t, in[i]) << (8u * (i % 4u));
  header->length = words[0];
  header->target = words[1];
  header->command = words[2];
  header->word3 = words[3];
  return header->length >= KO_IPC_HEADER_SIZE && header->length <= available;
}

typedef int32_t (*LoadFn)(LoadParms*, PluginInfo*);
typedef void (*UnloadFn)(UnloadParms*, UnloadResult*);
typedef void (*OnIpcResultFn)(const void* packet, uint64_t length);
typedef void (*IoctlFn)(IoctlParms*, IoctlResult*);
typedef void (*OpenFn)(OpenParms*, OpenResult*);
typedef void (*CloseFn)(CloseParms*, CloseResult*);
typedef int (*OnEventFn)(EventParms*);
typedef void (*OnSearchFn)(EventParms*);
typedef void (*ReadFn)(ReadParms*, void*);
typedef void (*WriteFn)(WriteParms*, WriteResult*, void* context);

#ifdef __cplusplus
} /* extern "C" */
} /* namespace core */
} /* namespace ko */
#define KO_NS_ ko::core::
#else
#define KO_NS_
#endif

KO_STATIC_ASSERT(sizeof(KO_NS_ LoadParms) == 40, "LoadParms is 40 bytes");
KO_STATIC_ASSERT(offsetof(KO_NS_ LoadParms, submitEvent) == 16, "submitEvent at 16");
KO_STATIC_ASSERT(offsetof(KO_NS_ LoadParms, reservedPointer) == 24, "reserved pointer at 24");
KO_STATIC_ASSERT(offsetof(KO_NS_ LoadParms, reservedCount) == 32, "reserved count at 32");

KO_STATIC_ASSERT(sizeof(KO_NS_ PluginInfo) == 112, "PluginInfo is 112 bytes");
KO_STATIC_ASSERT(offsetof(KO_NS_ PluginInfo, sourceId) == 8, "sourceId at 8");
KO_STATIC_ASSERT(offsetof(KO_NS_ PluginInfo, videoWord) == 16, "videoWord at 16");
KO_STATIC_ASSERT(offsetof(KO_NS_ PluginInfo, audioWord) == 24, "audioWord at 24");
KO_STATIC_ASSERT(offsetof(KO_NS_ PluginInfo, alarmWord) == 32, "alarmWord at 32");
KO_STATIC_ASSERT(offsetof(KO_NS_ PluginInfo, ptzWord) == 40, "ptzWord at 40");
KO_STATIC_ASSERT(offsetof(KO_NS_ PluginInfo, serialWord) == 48, "serialWord at 48");
KO_STATIC_ASSERT(offsetof(KO_NS_ PluginInfo, closeRank) == 56, "closeRank at 56");
KO_STATIC_ASSERT(offsetof(KO_NS_ PluginInfo, logWord) == 64, "logWord at 64");
KO_STATIC_ASSERT(offsetof(KO_NS_ PluginInfo, spareWord) == 72, "spareWord at 72");
KO_STATIC_ASSERT(offsetof(KO_NS_ PluginInfo, posWord) == 80, "posWord at 80");
KO_STATIC_ASSERT(offsetof(KO_NS_ PluginInfo, analyticWord) == 88, "analyticWord at 88");
KO_STATIC_ASSERT(offsetof(KO_NS_ PluginInfo, wantsWorkerThread) == 96, "wantsWorkerThread at 96");
KO_STATIC_ASSERT(offsetof(KO_NS_ PluginInfo, spareFlag) == 97, "spareFlag at 97");
KO_STATIC_ASSERT(offsetof(KO_NS_ PluginInfo, wantsAsyncReader) == 98, "wantsAsyncReader at 98");
KO_STATIC_ASSERT(offsetof(KO_NS_ PluginInfo, acceptsWrite) == 99, "acceptsWrite at 99");
KO_STATIC_ASSERT(offsetof(KO_NS_ PluginInfo, spareTail) == 100, "spareTail at 100");

KO_STATIC_ASSERT(sizeof(KO_NS_ OpenParms) == 24, "OpenParms is 24 bytes");
KO_STATIC_ASSERT(sizeof(KO_NS_ OpenResult) == 16, "OpenResult is 16 bytes");
KO_STATIC_ASSERT(sizeof(KO_NS_ CloseParms) == 12, "CloseParms is 12 bytes");
KO_STATIC_ASSERT(sizeof(KO_NS_ CloseResult) == 12, "CloseResult is 12 bytes");
KO_STATIC_ASSERT(sizeof(KO_NS_ UnloadParms) == 8, "UnloadParms is 8 bytes");
KO_STATIC_ASSERT(sizeof(KO_NS_ UnloadResult) == 12, "UnloadResult is 12 bytes");

KO_STATIC_ASSERT(sizeof(KO_NS_ IoctlParms) == 40, "IoctlParms is 40 bytes");
KO_STATIC_ASSERT(offsetof(KO_NS_ IoctlParms, code) == 8, "ioctl code at 8");
KO_STATIC_ASSERT(offsetof(KO_NS_ IoctlParms, dataLength) == 24, "ioctl length at 24");
KO_STATIC_ASSERT(offsetof(KO_NS_ IoctlParms, data) == 32, "ioctl data at 32");
KO_STATIC_ASSERT(sizeof(KO_NS_ IoctlResult) == 28, "IoctlResult is 28 bytes");
KO_STATIC_ASSERT(offsetof(KO_NS_ IoctlResult, code) == 8, "ioctl result code at 8");
KO_STATIC_ASSERT(offsetof(KO_NS_ IoctlResult, answer) == 16, "ioctl answer at 16");

KO_STATIC_ASSERT(sizeof(KO_NS_ ReadParms) == 40, "ReadParms is 40 bytes");
KO_STATIC_ASSERT(offsetof(KO_NS_ ReadParms, one) == 12, "read constant 1 at 12");
KO_STATIC_ASSERT(offsetof(KO_NS_ ReadParms, dataLength) == 16, "read length at 16");
KO_STATIC_ASSERT(offsetof(KO_NS_ ReadParms, data) == 24, "read data at 24");
KO_STATIC_ASSERT(offsetof(KO_NS_ ReadParms, requestId) == 32, "read requestId at 32");

KO_STATIC_ASSERT(sizeof(KO_NS_ WriteParms) == 232, "WriteParms is 232 bytes");
KO_STATIC_ASSERT(offsetof(KO_NS_ WriteParms, length) == 16, "write length at 16");
KO_STATIC_ASSERT(offsetof(KO_NS_ WriteParms, data) == 24, "write data at 24");
KO_STATIC_ASSERT(offsetof(KO_NS_ WriteParms, source) == 32, "write source at 32");
KO_STATIC_ASSERT(offsetof(KO_NS_ WriteParms, requestId) == 40, "write requestId at 40");
KO_STATIC_ASSERT(offsetof(KO_NS_ WriteParms, type) == 48, "write type at 48");
KO_STATIC_ASSERT(offsetof(KO_NS_ WriteParms, flags) == 56, "write flags at 56");
KO_STATIC_ASSERT(offsetof(KO_NS_ WriteParms, body) == 64, "write body at 64");
KO_STATIC_ASSERT(sizeof(KO_NS_ WriteResult) == 32, "WriteResult is 32 bytes");
KO_STATIC_ASSERT(sizeof(KO_NS_ IpcPacketHeader) == KO_IPC_HEADER_SIZE, "an IPC packet header is 16 bytes");
KO_STATIC_ASSERT(offsetof(KO_NS_ WriteResult, answer) == 28, "write answer at 28");

#undef KO_NS_

#endif /* KO_CORE_PLUGIN_API_H */
