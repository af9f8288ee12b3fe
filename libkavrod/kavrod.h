/*
 * kavrod: the default companion library of the kavro link driver, and the
 * wire format it speaks to client programs.
 *
 * The link driver loads the library at start and calls its two functions:
 * DeliverPayload for every payload received from the PBX, SignalLinkEvent for
 * every link event. The library passes both on to the client programs
 * connected to the Unix socket
 *
 *     $KAVRO_RUN_DIR/kavrod          (KAVRO_RUN_DIR defaults to /run/kavro)
 *
 * of type SOCK_SEQPACKET, mode 0660. Each record is one packet, little-endian:
 *
 *     u32 kind     KAVROD_RECORD_PAYLOAD, KAVROD_RECORD_LINK_EVENT or
 *                  KAVROD_RECORD_LINK_STATE
 *     u32 value    payload: the frame's address byte; link event: its code;
 *                  link state: 1 when the link is up, 0 when it is not
 *     bytes        payload: the payload bytes; otherwise none
 *
 * A packet is never longer than KAVROD_RECORD_MAX bytes; read it whole with a
 * buffer of that size. The first record on every connection is the link
 * state; clients that do not need it skip it (and any other kind they do not
 * know). Then every connected client receives every record from the moment
 * it connected, in order. Records that arrive while no client is connected
 * wait (up to KAVROD_BACKLOG_MAX payloads) for the first client that takes
 * records. After the KAVROD_EVENT_SHUTDOWN record the socket is closed: the
 * link has ended. A connection closed before the link-state record was
 * refused: KAVROD_CLIENTS_MAX clients are connected already.
 *
 * A client may send requests, one per packet of KAVROD_REQUEST_SIZE bytes:
 *
 *     u32 code     KAVROD_REQUEST_CREDIT
 *     u32 value    the number of further records the client is ready for
 *
 * A client that never sends a credit is sent everything. Once it has sent
 * one, it is sent no more records than it has granted in all (the link-state
 * record does not count), so a client that asks for N records, reads them and
 * leaves takes nothing else with it: what it was not sent waits for the next
 * client. Send the first credit right after connecting, before reading: the
 * library sends nothing but the link-state record to a new client until it
 * has either read a credit from it or seen it read that first record. Any
 * other packet is ignored. When the link driver ends, whatever is queued and
 * the KAVROD_EVENT_SHUTDOWN record are sent regardless of credit.
 *
 * A client that falls KAVROD_CLIENT_QUEUE_MAX records behind holds the link
 * driver back until it catches up; one that then takes nothing for
 * KAVROD_STALL_MS milliseconds is disconnected.
 *
 * Client programs need only the constants below; the two functions are for the
 * link driver and for companion libraries of one's own, which must export them
 * by name with C linkage.
 */
#ifndef KAVROD_H
#define KAVROD_H

#include <kavro/kavro_wire.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The socket's file name inside the run directory. */
#define KAVROD_SOCKET_NAME "kavrod"
/* The run directory when KAVRO_RUN_DIR is not set. */
#define KAVROD_DEFAULT_RUN_DIR "/run/kavro"

/* The lock file that marks the run directory as served; the library holds
 * it with flock while it runs. Left in place when the library ends. */
#define KAVROD_LOCK_NAME "kavrod.lock"

/* Record kinds. */
#define KAVROD_RECORD_PAYLOAD 1u
#define KAVROD_RECORD_LINK_EVENT 2u
#define KAVROD_RECORD_LINK_STATE 3u

/* Client requests. */
#define KAVROD_REQUEST_CREDIT 1u
#define KAVROD_REQUEST_SIZE 8u

/* Sizes: the record header, the longest payload, the longest record. */
#define KAVROD_HEADER_SIZE 8u
#define KAVROD_PAYLOAD_MAX 65535u
#define KAVROD_RECORD_MAX (KAVROD_HEADER_SIZE + KAVROD_PAYLOAD_MAX)

/* Payloads kept while no client is connected. */
#define KAVROD_BACKLOG_MAX 1024u
/* Records one client may fall behind before the link driver is held back. */
#define KAVROD_CLIENT_QUEUE_MAX 4096u
/* How long a client that holds the link driver back may take nothing. */
#define KAVROD_STALL_MS 5000u
/* Clients served at once. */
#define KAVROD_CLIENTS_MAX 64u

/* Link event codes: the link driver's own (kavro/kavro_wire.h). */
#define KAVROD_EVENT_SHUTDOWN KAVRO_EVENT_SHUTDOWN
#define KAVROD_EVENT_ESTABLISHED KAVRO_EVENT_ESTABLISHED
#define KAVROD_EVENT_SERVICE_ANSWERED KAVRO_EVENT_SERVICE_ANSWERED
#define KAVROD_EVENT_FAILED KAVRO_EVENT_FAILED

#if defined(__GNUC__)
#define KAVROD_EXPORT __attribute__((visibility("default")))
#else
#define KAVROD_EXPORT
#endif

/*
 * Takes a payload received with `address` for the clients. `payload` is a
 * block of `length` bytes allocated with malloc. Returns -1 when the library
 * cannot hold the payload (no client connected and the backlog full, the
 * library ending, longer than KAVROD_PAYLOAD_MAX): the block stays the
 * caller's. Any other result: the library owns the block and frees it with
 * free. While a client is KAVROD_CLIENT_QUEUE_MAX records behind, the call
 * waits for it, at most until that client has taken nothing for
 * KAVROD_STALL_MS.
 */
KAVROD_EXPORT int32_t DeliverPayload(uint32_t address, void* payload, uint32_t length);

/*
 * Passes link event `code` to the clients. KAVROD_EVENT_SHUTDOWN is the last
 * call: it returns once every connected client has been handed the event (or
 * after a bounded wait), and the library then stops serving.
 */
KAVROD_EXPORT void SignalLinkEvent(uint32_t code);

#ifdef __cplusplus
}
#endif

#endif /* KAVROD_H */
