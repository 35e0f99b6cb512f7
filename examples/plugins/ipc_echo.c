/*
 * IpcEcho.so — talks to the parent daemon. Written in C to show that the SDK
 * headers work from C as they are.
 *
 * What it shows:
 *  - Packets from the parent: every packet whose target word carries this
 *    plugin's identifier in bits 20..27 arrives in "OnIpcResult" on the core's
 *    io thread, whole (16-byte header included). The pointer is valid only
 *    during the call.
 *  - Packets to the parent: submit a record of type ipc whose data is a
 *    complete packet (header included); the core copies it and sends it
 *    unchanged, in submission order. Result 1 means there is no channel.
 *
 * The packet header is four little-endian 32-bit words: total length, target,
 * command, and a word the core does not interpret. Commands 7 and 8 are the
 * parent's own (start-up information and stop); this plugin uses 0x100 to
 * announce itself and 0x101 for its echoes.
 */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "ko/core/plugin_api.h"

#define MY_SOURCE_ID 0x00400000u /* identifier 0x40 */
#define MY_TARGET (0x40u << 20)
#define CMD_HELLO 0x100u
#define CMD_ECHO 0x101u

static SubmitEventFn submit;

static void submitRecord(uint32_t type, uint64_t flags, const void* data, uint32_t length, uint64_t level) {
  EventParms record;
  koEventInit(&record);
  record.type = type;
  record.flags = flags;
  record.source = MY_SOURCE_ID;
  record.data = (void*)data;
  record.length = length;
  record.body.bodyParam = level;
  submit(&record);
}

static void logText(int32_t level, const char* text) {
  submitRecord(KO_EVENT_LOG, KO_EVENT_CLASS_LIVE | KO_EVENT_FLAG_TEXT, text, (uint32_t)strlen(text),
               (uint32_t)level);
}

static void sendPacket(uint32_t command, const char* payload, uint32_t payloadLength) {
  unsigned char packet[16 + 256];
  uint32_t header[4];
  if (payloadLength > 256) payloadLength = 256;
  header[0] = 16 + payloadLength;
  header[1] = MY_TARGET;
  header[2] = command;
  header[3] = 0;
  memcpy(packet, header, sizeof header);
  memcpy(packet + 16, payload, payloadLength);
  submitRecord(KO_EVENT_IPC, 0, packet, header[0], 0);
}

KO_PLUGIN_EXPORT int32_t Load(LoadParms* parms, PluginInfo* info) {
  submit = parms->submitEvent;
  info->sourceId = MY_SOURCE_ID;
  return 0;
}

KO_PLUGIN_EXPORT void Unload(UnloadParms* parms, UnloadResult* result) {
  (void)parms;
  (void)result;
}

KO_PLUGIN_EXPORT void Open(OpenParms* parms, OpenResult* result) {
  static const char hello[] = "IpcEcho ready";
  (void)parms;
  (void)result;
  sendPacket(CMD_HELLO, hello, (uint32_t)(sizeof hello - 1));
}

KO_PLUGIN_EXPORT void Close(CloseParms* parms, CloseResult* result) {
  (void)parms;
  (void)result;
}

KO_PLUGIN_EXPORT void OnIpcResult(const void* packet, uint64_t length) {
  char line[160];
  char echo[200];
  uint32_t header[4];
  uint32_t payloadLength;
  if (length < 16) return;
  memcpy(header, packet, sizeof header);
  payloadLength = (uint32_t)length - 16;
  snprintf(line, sizeof line, "packet from parent: command 0x%x, %u bytes: %.*s", header[2], (unsigned)length,
           (int)(payloadLength > 80 ? 80 : payloadLength), (const char*)packet + 16);
  logText(25, line);
  snprintf(echo, sizeof echo, "echo: %.*s", (int)(payloadLength > 150 ? 150 : payloadLength),
           (const char*)packet + 16);
  sendPacket(CMD_ECHO, echo, (uint32_t)strlen(echo));
}
