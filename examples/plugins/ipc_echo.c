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
 * command, and a word the core does not interpret; koIpcWriteHeader and
 * koIpcReadHeader write and read it. The target carries the identifier in
 * bits 20..27 (koIpcTarget), not in bits 16..23 as a source id does
 * (koSourceId). Commands 7 and 8 are the parent's own (start-up information
 * and stop): the core acts on them whatever the target. This plugin uses
 * 0x100 to announce itself and 0x101 for its echoes, which carry the
 * request's word 3 back so that the parent can pair them.
 */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "ko/core/plugin_api.h"

#define MY_IDENTIFIER 0x40u
#define CMD_HELLO 0x100u
#define CMD_ECHO 0x101u

static SubmitEventFn submit;
static uint32_t mySourceId;

static void logText(int32_t level, const char* text) {
  EventParms record;
  koLogEventInit(&record, mySourceId, level, text, (uint32_t)strlen(text));
  submit(&record);
}

static void sendPacket(uint32_t command, uint32_t word3, const char* payload, uint32_t payloadLength) {
  unsigned char packet[KO_IPC_HEADER_SIZE + 256];
  EventParms record;
  if (payloadLength > 256) payloadLength = 256;
  koIpcWriteHeader(packet, KO_IPC_HEADER_SIZE + payloadLength, koIpcTarget(MY_IDENTIFIER), command, word3);
  memcpy(packet + KO_IPC_HEADER_SIZE, payload, payloadLength);
  koEventInit(&record);
  record.type = KO_EVENT_IPC;
  record.source = mySourceId;
  record.data = packet;
  record.length = KO_IPC_HEADER_SIZE + payloadLength;
  submit(&record);
}

KO_PLUGIN_EXPORT int32_t Load(LoadParms* parms, PluginInfo* info) {
  submit = parms->submitEvent;
  mySourceId = koSourceId(MY_IDENTIFIER, 0);
  info->sourceId = mySourceId;
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
  sendPacket(CMD_HELLO, 0, hello, (uint32_t)(sizeof hello - 1));
}

KO_PLUGIN_EXPORT void Close(CloseParms* parms, CloseResult* result) {
  (void)parms;
  (void)result;
}

KO_PLUGIN_EXPORT void OnIpcResult(const void* packet, uint64_t length) {
  char line[160];
  char echo[200];
  IpcPacketHeader header;
  uint32_t payloadLength;
  if (!koIpcReadHeader(packet, length, &header)) return;
  payloadLength = header.length - KO_IPC_HEADER_SIZE;
  snprintf(line, sizeof line, "packet from parent: command 0x%x, %u bytes: %.*s", header.command,
           (unsigned)header.length, (int)(payloadLength > 80 ? 80 : payloadLength),
           (const char*)packet + KO_IPC_HEADER_SIZE);
  logText(25, line);
  snprintf(echo, sizeof echo, "echo: %.*s", (int)(payloadLength > 150 ? 150 : payloadLength),
           (const char*)packet + KO_IPC_HEADER_SIZE);
  sendPacket(CMD_ECHO, header.word3, echo, (uint32_t)strlen(echo));
}
