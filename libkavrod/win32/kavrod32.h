/*
 * kavrod32.h: what client programs on Windows need to talk to the kavro
 * link driver (kavro.exe) and to its companion library KAVROD32.dll.
 *
 * Sending: find the driver's hidden window and send it WM_COPYDATA.
 *
 *     HWND w = FindWindowA(KAVRO_WINDOW_CLASS, NULL);
 *     COPYDATASTRUCT cds = { KAVRO_COMMAND_PAYLOAD | address, length, bytes };
 *     LRESULT ok = SendMessageA(w, WM_COPYDATA, 0, (LPARAM)&cds);
 *
 * The answer is 1 when the payload was taken, 0 when it was refused.
 * KAVRO_COMMAND_SERVICE (no data) repeats the service request; WM_CLOSE
 * takes the link down and ends the driver.
 *
 * Receiving: connect to the named pipe KAVROD_PIPE_NAME (a message pipe,
 * local clients only), switch it to message read mode and read one record
 * per ReadFile with a buffer of KAVROD_RECORD_MAX bytes. Each record is
 *
 *     u32 kind     KAVROD_RECORD_PAYLOAD or KAVROD_RECORD_LINK_EVENT
 *     u32 value    payload: the frame's address byte; link event: its code
 *     bytes        payload: the payload bytes; link event: none
 *
 * little-endian. Every connected client receives every record from the
 * moment it connected, in order; records that arrive while no client is
 * connected wait (up to KAVROD_BACKLOG_MAX) for the first client. A client
 * that does not keep up is disconnected. After KAVROD_EVENT_SHUTDOWN the
 * pipe closes: the link has ended.
 */
#ifndef KAVROD32_H
#define KAVROD32_H

#include <stdint.h>

#define KAVRO_WINDOW_CLASS "KavroControlProg"
#define KAVRO_WINDOW_TITLE "Tovik CTI Layer II Control"

/* WM_COPYDATA command words (dwData): the high 16 bits select the command;
 * for a payload the low 8 bits are the address byte. */
#define KAVRO_COMMAND_PAYLOAD 0x00010000u
#define KAVRO_COMMAND_SERVICE 0x11110000u

#define KAVROD_PIPE_NAME "\\\\.\\pipe\\kavrod"

#define KAVROD_RECORD_PAYLOAD 1u
#define KAVROD_RECORD_LINK_EVENT 2u

#define KAVROD_HEADER_SIZE 8u
#define KAVROD_PAYLOAD_MAX 65535u
#define KAVROD_RECORD_MAX (KAVROD_HEADER_SIZE + KAVROD_PAYLOAD_MAX)
#define KAVROD_BACKLOG_MAX 1024u

#define KAVROD_EVENT_SHUTDOWN 0u
#define KAVROD_EVENT_ESTABLISHED 1u
#define KAVROD_EVENT_SERVICE_ANSWERED 17u
#define KAVROD_EVENT_FAILED 18u

/*
 * The library's two functions, for the driver and for companion libraries
 * of one's own: exported by ordinal only (7 and 8), stdcall. The payload
 * block comes from msvcrt.dll's malloc; a library that takes it (any result
 * but -1) releases it with msvcrt.dll's free.
 */
#ifdef __cplusplus
extern "C" {
#endif
int32_t __stdcall DeliverPayload(uint32_t address, void *payload, uint32_t length); /* ordinal 7 */
void __stdcall SignalLinkEvent(uint32_t code);                                     /* ordinal 8 */
#ifdef __cplusplus
}
#endif

#endif /* KAVROD32_H */
