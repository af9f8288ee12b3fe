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
 *     u32 kind     KAVROD_RECORD_PAYLOAD or KAVROD_RECORD_LINK_EVENT
 *     u32 value    payload: the frame's address byte; link event: its code
 *     bytes        payload: the payload bytes; link event: none
 *
 * A packet is never longer than KAVROD_RECORD_MAX bytes; read it whole with a
 * buffer of that size. Every connected client receives every record from the
 * moment it connected, in order. Records that arrive while no client is
 * connected wait (up to KAVROD_BACKLOG_MAX of them) for the first client that
 * connects. A client that does not keep up is disconnected. After the
 * KAVROD_EVENT_SHUTDOWN record the socket is closed: the link has ended.
 *
 * Client programs need only the constants below; the two functions are for the
 * link driver and for companion libraries of one's own, which must export them
 * by name with C linkage.
 */
#ifndef KAVROD_H
#define KAVROD_H

#include <stdint.h>

#include <kavro/kavro_wire.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The socket's file name inside the run directory. */
#define KAVROD_SOCKET_NAME "kavrod"
/* The run directory when KAVRO_RUN_DIR is not set. */
#define KAVROD_DEFAULT_RUN_DIR "/run/kavro"

/* Record kinds. */
#define KAVROD_RECORD_PAYLOAD 1u
#define KAVROD_RECORD_LINK_EVENT 2u

/* Sizes: the record header, the longest payload, the longest record. */
#define KAVROD_HEADER_SIZE 8u
#define KAVROD_PAYLOAD_MAX 65535u
#define KAVROD_RECORD_MAX (KAVROD_HEADER_SIZE + KAVROD_PAYLOAD_MAX)

/* Records kept while no client is connected. */
#define KAVROD_BACKLOG_MAX 1024u

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
 * cannot hold the payload (too many records waiting, no memory, longer than
 * KAVROD_PAYLOAD_MAX): the block stays the caller's. Any other result: the
 * library owns the block and frees it with free.
 */
KAVROD_EXPORT int32_t DeliverPayload(uint32_t address, void *payload, uint32_t length);

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
