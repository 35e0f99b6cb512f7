// C++ conveniences over the plugin binary interface: named constants, the
// source-id rules, type names, the typed payload views and one record builder
// that zero-fills and stamps every record the same way.
//
// Everything here is header-only and allocation-free, so plugins and the core
// share exactly the same rules. The helpers of event.h and plugin_api.h
// (koSourceId, koIpcTarget, koIsCoreRecord, ...) are constexpr in C++ and
// live in this namespace too.
#pragma once

#if __cplusplus < 201703L
#error "ko/core/event.hpp needs C++17 or later (-std=c++17); event.h and plugin_api.h need only C++11"
#endif

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>

#include "event.h"
#include "plugin_api.h"

namespace ko::core {

inline constexpr uint32_t CoreSourceId = KO_CORE_SOURCE_ID;

inline constexpr uint32_t EventTypeUnspecified = KO_EVENT_UNSPECIFIED;
inline constexpr uint32_t EventTypeVideo = KO_EVENT_VIDEO;
inline constexpr uint32_t EventTypeAudio = KO_EVENT_AUDIO;
inline constexpr uint32_t EventTypeAlarm = KO_EVENT_ALARM;
inline constexpr uint32_t EventTypePtz = KO_EVENT_PTZ;
inline constexpr uint32_t EventTypeSerial = KO_EVENT_SERIAL;
inline constexpr uint32_t EventTypeWatchdog = KO_EVENT_WATCHDOG;
inline constexpr uint32_t EventTypeLog = KO_EVENT_LOG;
inline constexpr uint32_t EventTypeConfig = KO_EVENT_CONFIG;
inline constexpr uint32_t EventTypeDecref = KO_EVENT_DECREF;
inline constexpr uint32_t EventTypePos = KO_EVENT_POS;
inline constexpr uint32_t EventTypeCancel = KO_EVENT_CANCEL;
inline constexpr uint32_t EventTypeIpc = KO_EVENT_IPC;
inline constexpr uint32_t EventTypeCrypto = KO_EVENT_CRYPTO;
inline constexpr uint32_t EventTypeAnalytic = KO_EVENT_ANALYTIC;
inline constexpr uint32_t EventTypeModifier = KO_EVENT_TYPE_MODIFIER;

inline constexpr uint64_t EventClassLive = KO_EVENT_CLASS_LIVE;
inline constexpr uint64_t EventClassStored = KO_EVENT_CLASS_STORED;
inline constexpr uint64_t EventFlagQuery = KO_EVENT_FLAG_QUERY;
inline constexpr uint64_t EventFlagText = KO_EVENT_FLAG_TEXT;
inline constexpr uint64_t EventFlagXml = KO_EVENT_FLAG_XML;
inline constexpr uint8_t MediaFlagOutput = KO_MEDIA_FLAG_OUTPUT;

inline constexpr uint64_t WantBit = KO_WANT_BIT;
inline constexpr uint64_t SearchBit = KO_SEARCH_BIT;

inline constexpr uint32_t IoctlWorkerThread = KO_IOCTL_WORKER_THREAD;
inline constexpr uint32_t IoctlConfigEvent = KO_IOCTL_CONFIG_EVENT;
inline constexpr uint32_t IoctlIpcPacket = KO_IOCTL_IPC_PACKET;

// Packets to and from the parent: the header's four words, and the largest
// whole packet, header included.
inline constexpr uint32_t IpcPacketHeaderSize = KO_IPC_HEADER_SIZE;
inline constexpr uint32_t IpcPacketMaxSize = KO_IPC_MAX_PACKET;

// The crypto service's operations (in `flags`) and results (see plugin_api.h).
inline constexpr uint64_t CryptoOpEncipher = KO_CRYPTO_ENCIPHER;
inline constexpr uint64_t CryptoOpDecipher = KO_CRYPTO_DECIPHER;
inline constexpr int32_t CryptoOk = KO_CRYPTO_OK;
inline constexpr int32_t CryptoBadOperation = KO_CRYPTO_BAD_OPERATION;
inline constexpr int32_t CryptoNoData = KO_CRYPTO_NO_DATA;
inline constexpr int32_t CryptoOutOfMemory = KO_CRYPTO_OUT_OF_MEMORY;
inline constexpr int32_t CryptoNothingDeciphered = KO_CRYPTO_NOTHING_DECIPHERED;
inline constexpr uint32_t CryptoMaxGrowth = KO_CRYPTO_MAX_GROWTH;

// The type as every classification sees it: low 32 bits, modifier cleared.
constexpr uint32_t baseType(uint64_t type) noexcept { return koEventBaseType(type); }

// One byte that indexes per-source tables: 0 for the core, else bits 16..23.
// The core and the plugin with identifier 0 share index 0.
constexpr uint8_t sourceIndex(uint64_t source) noexcept {
  const auto id = static_cast<uint32_t>(source);
  return id == CoreSourceId ? 0 : static_cast<uint8_t>((id >> 16) & 0xffu);
}

// Two source ids have the same origin when their keys are equal. Routing
// compares origins, never whole ids, so a plugin may use the other bits for
// its own channels.
constexpr uint32_t originKey(uint64_t source) noexcept {
  const auto id = static_cast<uint32_t>(source);
  return id == CoreSourceId ? CoreSourceId : (id & 0x00ff0000u);
}

// Class tests: a live record comes from a camera or plugin as it happens, a
// stored one answers a search.
constexpr bool isLive(const EventParms& record) noexcept { return (record.flags & EventClassLive) != 0; }
constexpr bool isStored(const EventParms& record) noexcept { return (record.flags & EventClassStored) != 0; }

// Printed name of an event type; a value with more than one type bit is
// "unknown".
constexpr std::string_view eventTypeName(uint64_t type) noexcept {
  switch (baseType(type)) {
    case EventTypeUnspecified: return "unspecified";
    case EventTypeVideo: return "video";
    case EventTypeAudio: return "audio";
    case EventTypeAlarm: return "alarm";
    case EventTypePtz: return "ptz";
    case EventTypeSerial: return "serial";
    case EventTypeWatchdog: return "watchdog";
    case EventTypeLog: return "log";
    case EventTypeConfig: return "config";
    case EventTypeDecref: return "decref";
    case EventTypePos: return "pos";
    case EventTypeCancel: return "cancel";
    case EventTypeIpc: return "ipc";
    case EventTypeCrypto: return "crypto";
    case EventTypeAnalytic: return "analytic";
    default: return "unknown";
  }
}

// --- Typed payload views -------------------------------------------------
// Each view is the same 224-byte record seen under a fixed class and type; a
// pointer to the record is a pointer to its view.

template <uint32_t Class, uint32_t Type>
struct XmlEvt : EventParms {
  static constexpr uint32_t eventClass = Class;
  static constexpr uint32_t eventType = Type;
};
template <uint32_t Class, uint32_t Type>
struct TxtEvt : EventParms {
  static constexpr uint32_t eventClass = Class;
  static constexpr uint32_t eventType = Type;
};
template <uint32_t Class, uint32_t Type>
struct VideoBase : EventParms {
  static constexpr uint32_t eventClass = Class;
  static constexpr uint32_t eventType = Type;
};
template <uint32_t Class, uint32_t Type>
struct AudioBase : EventParms {
  static constexpr uint32_t eventClass = Class;
  static constexpr uint32_t eventType = Type;
};

struct StoredVideoEvt : VideoBase<67108864, 1> {};
struct VideoEvt : VideoBase<16777216, 1> {};
struct VideoOutEvt : VideoEvt {};
struct StoredAudioEvt : AudioBase<67108864, 2> {};
struct AudioEvt : AudioBase<16777216, 2> {};
struct AudioOutEvt : AudioEvt {};
struct StoredAlarmEvt : XmlEvt<67108864, 4> {};
struct AlarmEvt : XmlEvt<16777216, 4> {};
struct PTZEvt : XmlEvt<16777216, 8> {};
struct SerialEvt : TxtEvt<16777216, 16> {};
struct WatchdogEvt : EventParms {};
struct StoredLogEvt : XmlEvt<67108864, 64> {};
struct LogEvt : TxtEvt<16777216, 64> {};
struct ConfigEvt : XmlEvt<16777216, 256> {};
struct StoredPOSEvt : XmlEvt<67108864, 1024> {};
struct POSEvt : TxtEvt<16777216, 1024> {};
struct StoredAnalyticEvt : XmlEvt<67108864, 65536> {};
struct AnalyticEvt : XmlEvt<16777216, 65536> {};

enum class EventView {
  None,
  StoredVideo, VideoOut, Video,
  StoredAudio, AudioOut, Audio,
  StoredAlarm, Alarm,
  PTZ, Serial, Watchdog,
  StoredLog, Log,
  Config,
  StoredPOS, POS,
  StoredAnalytic, Analytic,
};

// Which view names a record.
constexpr EventView eventView(const EventParms& record) noexcept {
  const bool stored = (record.flags & EventClassStored) != 0;
  const uint32_t t = baseType(record.type);
  const auto raw = static_cast<uint32_t>(record.type);
  const bool output = (record.body.mediaFlags & MediaFlagOutput) != 0;
  switch (t) {
    case EventTypeVideo:
      if (stored) return EventView::StoredVideo;
      return raw == EventTypeVideo && output ? EventView::VideoOut : EventView::Video;
    case EventTypeAudio:
      if (stored) return EventView::StoredAudio;
      return raw == EventTypeAudio && output ? EventView::AudioOut : EventView::Audio;
    case EventTypeAlarm: return stored ? EventView::StoredAlarm : EventView::Alarm;
    case EventTypePtz: return EventView::PTZ;
    case EventTypeSerial: return EventView::Serial;
    case EventTypeWatchdog: return EventView::Watchdog;
    case EventTypeLog: return stored ? EventView::StoredLog : EventView::Log;
    case EventTypeConfig: return EventView::Config;
    case EventTypePos: return stored ? EventView::StoredPOS : EventView::POS;
    case EventTypeAnalytic: return stored ? EventView::StoredAnalytic : EventView::Analytic;
    default: return EventView::None;
  }
}

// --- Payload views ---------------------------------------------------------
// What a record's size words say it carries, and never more: a view is empty
// when the pointer is null or an inner size exceeds `length`. Valid as long as
// the payload is (during the call, or while you hold a reference).

// Read-only bytes; under C++20 it converts to std::span<const unsigned char>.
class PayloadBytes {
 public:
  constexpr PayloadBytes() noexcept = default;
  constexpr PayloadBytes(const unsigned char* data, size_t size) noexcept : data_(data), size_(size) {}
  constexpr const unsigned char* data() const noexcept { return data_; }
  constexpr size_t size() const noexcept { return size_; }
  constexpr bool empty() const noexcept { return size_ == 0; }
  constexpr const unsigned char* begin() const noexcept { return data_; }
  constexpr const unsigned char* end() const noexcept { return data_ + size_; }
  constexpr unsigned char operator[](size_t i) const noexcept { return data_[i]; }

 private:
  const unsigned char* data_ = nullptr;
  size_t size_ = 0;
};

// The `length` bytes at `data`.
inline PayloadBytes payloadBytes(const EventParms& record) noexcept {
  if (record.data == nullptr) return {};
  return {static_cast<const unsigned char*>(record.data), record.length};
}

// The same bytes as text (XML or plain text payloads carry no terminating zero).
inline std::string_view payloadText(const EventParms& record) noexcept {
  const PayloadBytes bytes = payloadBytes(record);
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// A crypto record's data: the first `bodyParam` bytes of its buffer.
inline PayloadBytes cryptoData(const EventParms& record) noexcept {
  const PayloadBytes buffer = payloadBytes(record);
  if (record.body.bodyParam > buffer.size()) return {};
  return {buffer.data(), static_cast<size_t>(record.body.bodyParam)};
}

// The payload of a packet to or from the parent, after its header: empty
// unless the header's length word lies within IpcPacketHeaderSize..`length`.
inline std::string_view ipcPacketPayload(const void* packet, uint64_t length) noexcept {
  IpcPacketHeader header{};
  if (koIpcReadHeader(packet, length, &header) == 0) return {};
  return {static_cast<const char*>(packet) + IpcPacketHeaderSize, header.length - IpcPacketHeaderSize};
}

// An IPC record's packet payload.
inline std::string_view ipcPacketPayload(const EventParms& record) noexcept {
  return record.data != nullptr ? ipcPacketPayload(record.data, record.length) : std::string_view();
}

// --- Record builder --------------------------------------------------------
// Sizes and `version` words: 1 for every record but LoadParms (4) and
// PluginInfo (3); none of them is KO_ABI_VERSION.

template <typename T> struct RecordHeader;
template <> struct RecordHeader<EventParms> {
  static constexpr uint32_t size = KO_EVENT_SIZE, version = KO_EVENT_VERSION;
};
template <> struct RecordHeader<LoadParms> {
  static constexpr uint32_t size = KO_LOAD_PARMS_SIZE, version = KO_LOAD_PARMS_VERSION;
};
template <> struct RecordHeader<PluginInfo> {
  static constexpr uint32_t size = KO_PLUGIN_INFO_SIZE, version = KO_PLUGIN_INFO_VERSION;
};
template <> struct RecordHeader<OpenParms> { static constexpr uint32_t size = 24, version = 1; };
template <> struct RecordHeader<OpenResult> { static constexpr uint32_t size = 16, version = 1; };
template <> struct RecordHeader<CloseParms> { static constexpr uint32_t size = 12, version = 1; };
template <> struct RecordHeader<CloseResult> { static constexpr uint32_t size = 12, version = 1; };
template <> struct RecordHeader<UnloadParms> { static constexpr uint32_t size = 8, version = 1; };
template <> struct RecordHeader<UnloadResult> { static constexpr uint32_t size = 12, version = 1; };
template <> struct RecordHeader<IoctlParms> { static constexpr uint32_t size = 40, version = 1; };
template <> struct RecordHeader<IoctlResult> { static constexpr uint32_t size = 28, version = 1; };
template <> struct RecordHeader<ReadParms> { static constexpr uint32_t size = 40, version = 1; };
template <> struct RecordHeader<WriteParms> { static constexpr uint32_t size = 232, version = 1; };
template <> struct RecordHeader<WriteResult> { static constexpr uint32_t size = 32, version = 1; };

// Zero-fills a record and stamps its header (and, for the event record, the
// body header too). Every record the core or a test plugin builds comes from
// here.
template <typename T>
T makeRecord() noexcept {
  static_assert(std::is_standard_layout_v<T> && std::is_trivially_copyable_v<T>);
  static_assert(sizeof(T) == RecordHeader<T>::size);
  T record;
  std::memset(&record, 0, sizeof record);
  record.size = RecordHeader<T>::size;
  record.version = RecordHeader<T>::version;
  if constexpr (std::is_same_v<T, EventParms>) {
    record.body.size = KO_EVENT_BODY_SIZE;
    record.body.version = KO_EVENT_BODY_VERSION;
  }
  return record;
}

// An event record with its routing fields set; the body stays zero.
inline EventParms makeEvent(uint32_t type, uint64_t flags, uint64_t source,
                            const void* data = nullptr, uint32_t length = 0) noexcept {
  auto record = makeRecord<EventParms>();
  record.type = type;
  record.flags = flags;
  record.source = source;
  record.data = const_cast<void*>(data);
  record.length = length;
  return record;
}

// A live text log record at `level` from `source`; the text is not copied, so
// it must outlive the submission call (the core copies what it keeps).
inline EventParms makeLogEvent(uint64_t source, int32_t level, std::string_view text) noexcept {
  auto record = makeEvent(EventTypeLog, EventClassLive | EventFlagText, source, text.data(),
                          static_cast<uint32_t>(text.size()));
  record.body.bodyParam = static_cast<uint32_t>(level);
  return record;
}

// The release of one retained payload: `payload` is the `data` pointer of
// the record you retained, `source` your own source id. Submit exactly one
// per retained record; the submission never waits.
inline EventParms makeDecrefEvent(uint64_t source, const void* payload) noexcept {
  return makeEvent(EventTypeDecref, 0, source, payload, 0);
}

static_assert(std::is_standard_layout_v<EventParms>);
static_assert(sizeof(StoredVideoEvt) == 224 && sizeof(VideoOutEvt) == 224 && sizeof(AudioOutEvt) == 224 &&
              sizeof(LogEvt) == 224 && sizeof(ConfigEvt) == 224 && sizeof(AnalyticEvt) == 224);
static_assert(std::is_standard_layout_v<VideoOutEvt> && std::is_standard_layout_v<StoredAnalyticEvt>);

}  // namespace ko::core
