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
 * Acknowledged client (for a bridge that must lose nothing). A client that
 * sends, right after connecting and before reading its first record,
 *
 *     u32 code     KAVROD_REQUEST_ACKNOWLEDGED
 *     u32 value    0
 *
 * becomes the acknowledged client. It is sent payloads and link events as
 * kinds KAVROD_RECORD_PAYLOAD_ID and KAVROD_RECORD_LINK_EVENT_ID, with a
 * header of KAVROD_ID_HEADER_SIZE bytes, little-endian:
 *
 *     u32 kind, u32 value    as for kinds 1 and 2
 *     u64 start_id           fixed for the life of the link driver's
 *                            process, different for every start
 *     u64 sequence           numbers every payload and event of the process
 *                            from 1 upwards; a gap is a payload no one
 *                            could take (see DeliverPayload)
 *
 * then the payload bytes (at most KAVROD_ID_RECORD_MAX bytes in all). The
 * link-state record still comes first, with its 8-byte header. The client
 * acknowledges with a packet of KAVROD_ACK_REQUEST_SIZE bytes:
 *
 *     u32 code     KAVROD_REQUEST_ACK
 *     u32 0
 *     u64 sequence every record up to and including it is acknowledged
 *
 * and may send credit as any client does. From the first acknowledged
 * client on (the backlog waiting then included) the library keeps every
 * record until it is acknowledged, also while no acknowledged client is
 * connected, up to the deep buffer (KAVROD_CLIENT_QUEUE_MAX records,
 * KAVROD_CLIENT_BYTES_MAX bytes); beyond it the oldest unacknowledged
 * records go first and are counted as lost. When the acknowledged client
 * goes (closed, killed, dropped), the records it was sent but had not
 * acknowledged go first, in order and with the same identity, to the next
 * acknowledged client, then the rest: the same record may thus arrive
 * twice, never with another identity. The request counts as long as the
 * client has been sent no record; a client that asks later is closed, so
 * that it knows it is not acknowledged. One acknowledged client at a time: a
 * second one asking while one is connected is closed after its link-state
 * record. Both refusals are said on standard error once, then at most once a
 * minute with the count of those not said. Plain and credit clients are
 * served as before alongside it. The overflow of kept records is said once,
 * until the kept records are down to half the deep buffer again.
 *
 * The record log (kavro --record-log DIR, see KavrodOpenRecordLog): every
 * record is written to a checksummed log in DIR before DeliverPayload
 * returns (on TCP, before the driver reads again: see KavrodWaitForRoom),
 * and the acknowledged client is served from it from the start of the link
 * driver on, whether or not one ever connected; only the log's
 * bound drops records, and a record leaves the log when acknowledged. Then
 * start_id carries the log id and the sequence goes on across restarts of
 * the link driver: what no acknowledged client acknowledged is delivered
 * again after a restart, first, in order, with the identity it had and
 * KAVROD_RECORD_AGAIN set in its kind. A start not preceded by a clean stop
 * gives new records a new log id, so no (log id, sequence) pair is ever
 * issued twice; the sequences a client is sent rise across log ids.
 *
 * Observer (for a monitor that must never stand in the link's way). A client
 * that sends, right after connecting and before reading its first record,
 *
 *     u32 code     KAVROD_REQUEST_OBSERVER
 *     u32 value    0
 *
 * becomes an observer: sent what the library takes from then on, never the
 * backlog waiting for the first client (that still goes to the next plain
 * or acknowledged client); it never holds KavrodWaitForRoom back and is
 * never dropped as slow. When it falls more than KAVROD_HOLD_BACK records
 * behind, its oldest unsent records are skipped; before the next record it
 * is sent it is then sent one KAVROD_RECORD_MISSED record whose value is
 * the number skipped since the last such record. Skipped records count for
 * that observer alone: never in records_lost.
 *
 * Flow: the link never waits on a client. DeliverPayload never waits; each
 * client may fall KAVROD_CLIENT_QUEUE_MAX records (KAVROD_CLIENT_BYTES_MAX
 * bytes) behind, about a minute of a serial line at full speed; a client
 * that would fall further is disconnected, and the records it lost are
 * counted. A client that keeps up gets every record once, in order. Where
 * the transport carries back-pressure (TCP), the link driver calls
 * KavrodWaitForRoom before reading the PBX's socket again, so a client more
 * than KAVROD_HOLD_BACK records behind slows the reading of the socket;
 * one that then takes nothing for KAVROD_STALL_MS milliseconds is
 * disconnected.
 *
 * Client programs need only the constants below; the functions are for the
 * link driver and for companion libraries of one's own, which must export
 * DeliverPayload and SignalLinkEvent by name with C linkage, and may export
 * KavrodWaitForRoom, KavrodQueryStatus and KavrodOpenRecordLog.
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
/* The same as 1 and 2 with the record's identity: the acknowledged client's. */
#define KAVROD_RECORD_PAYLOAD_ID 4u
#define KAVROD_RECORD_LINK_EVENT_ID 5u
/* Set in the kind of a kind-4 or kind-5 record served again after a restart
 * of the link driver from the record log: the same identity as when it was
 * first sent, but the record is old (a link event in it no longer says how
 * the link is now). */
#define KAVROD_RECORD_AGAIN 0x100u
/* To an observer only: `value` records it was not sent (it fell behind). */
#define KAVROD_RECORD_MISSED 6u

/* Client requests. */
#define KAVROD_REQUEST_CREDIT 1u
#define KAVROD_REQUEST_ACKNOWLEDGED 2u
#define KAVROD_REQUEST_ACK 3u
/* Asks to be an observer: sent what comes from now on, never a backlog;
 * never holds the link back; what it misses is counted for it alone. */
#define KAVROD_REQUEST_OBSERVER 4u
/* Asks for several records a message where the transport has messages (the
 * pipe of KAVROD32.dll; the Unix socket library takes it and changes
 * nothing): see kavrod32.h. */
#define KAVROD_REQUEST_BATCH 5u
/* The kind of such a message of several records (kavrod32.h). */
#define KAVROD_RECORD_BATCH 7u
#define KAVROD_REQUEST_SIZE 8u
#define KAVROD_ACK_REQUEST_SIZE 16u

/* Sizes: the record header, the longest payload, the longest record; the
 * header of kinds 4 and 5 and the longest record with it. */
#define KAVROD_HEADER_SIZE 8u
#define KAVROD_PAYLOAD_MAX 65535u
#define KAVROD_RECORD_MAX (KAVROD_HEADER_SIZE + KAVROD_PAYLOAD_MAX)
#define KAVROD_ID_HEADER_SIZE 24u
#define KAVROD_ID_RECORD_MAX (KAVROD_ID_HEADER_SIZE + KAVROD_PAYLOAD_MAX)

/* Payloads kept while no client is connected. */
#define KAVROD_BACKLOG_MAX 1024u
/* The deep buffer: records, and bytes of records, one client may fall
 * behind before it is dropped; also what is kept for the acknowledged
 * client. */
#define KAVROD_CLIENT_QUEUE_MAX 65536u
#define KAVROD_CLIENT_BYTES_MAX (128u * 1024u * 1024u)
/* KavrodWaitForRoom waits while a client is more records behind than this. */
#define KAVROD_HOLD_BACK 4096u
/* How long a client that holds KavrodWaitForRoom back may take nothing. */
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
 * caller's. Every refusal while the library runs is counted
 * (records_not_taken) and uses up the payload's sequence number, so that the
 * acknowledged client sees it as a gap. The backlog may grow beyond
 * KAVROD_BACKLOG_MAX for a client that has connected but is not taken in
 * yet, up to the deep buffer in records and in bytes. Any other result: the
 * library owns the block and frees it with free: 1, or 2 when records were
 * lost in this call (a slow client dropped, kept records overflowing; the
 * link driver then asks KavrodQueryStatus). Never waits: a client the
 * payload would put more than KAVROD_CLIENT_QUEUE_MAX records behind is
 * disconnected instead.
 */
KAVROD_EXPORT int32_t DeliverPayload(uint32_t address, void* payload, uint32_t length);

/*
 * Passes link event `code` to the clients. KAVROD_EVENT_SHUTDOWN is the last
 * call: it returns once every connected client has been handed the event (or
 * after a bounded wait), and the library then stops serving.
 */
KAVROD_EXPORT void SignalLinkEvent(uint32_t code);

/*
 * Optional. Waits, at most `timeout_ms` milliseconds, while a client is more
 * than KAVROD_HOLD_BACK records behind. Returns 1 when none is (any more), 2
 * the same after dropping a stalled client, 0 when one still is. The link driver calls it only where its transport
 * carries back-pressure, never with its link lock held, and then before every
 * read of the transport. With the record log, from the first call on, the
 * records handed over between two calls are written to the log together,
 * when the next call starts (or before any link event): what the driver has
 * read is written before it reads more, at one write per read.
 */
KAVROD_EXPORT int32_t KavrodWaitForRoom(uint32_t timeout_ms);

/* The record log (see KavrodOpenRecordLog): its bound when none is given,
 * and the flag that syncs every record before it is taken. */
#define KAVROD_RECORD_LOG_MAX_DEFAULT (256ull * 1024u * 1024u)
#define KAVROD_RECORD_LOG_SYNC_ALWAYS 1u

/*
 * Optional. Opens the record log in `directory` (created when missing) and
 * holds it against a second link driver; call it once, before the first
 * record. `max_bytes` bounds it (0: KAVROD_RECORD_LOG_MAX_DEFAULT); `flags`
 * may hold KAVROD_RECORD_LOG_SYNC_ALWAYS. Returns 1, or 0 with a line
 * saying why in `message` (at most `message_size` bytes with its end).
 * A log that cannot be read is set aside and a new one started: only a
 * directory that cannot be taken (held by another driver, not creatable)
 * fails.
 */
KAVROD_EXPORT int32_t KavrodOpenRecordLog(const char* directory, uint64_t max_bytes, uint32_t flags, char* message,
                                          uint32_t message_size);

#define KAVROD_STATUS_NOT_SERVING 1u

/* What KavrodQueryStatus fills in. */
struct KavrodStatus {
  uint32_t size; /* set by the caller: sizeof(struct KavrodStatus) */
  uint32_t clients;
  uint32_t acknowledged_clients;
  uint32_t flags; /* KAVROD_STATUS_NOT_SERVING: clients cannot connect, their name is held by another program */
  uint64_t records_lost;           /* to slow clients, and unacknowledged ones dropped, since the start */
  uint64_t records_unacknowledged; /* kept for the acknowledged client */
  /* Added later. A caller built against an older header sets a smaller size
   * and is filled up to records_unacknowledged, with size set to
   * KAVROD_STATUS_SIZE_V1; an older library does the same to a newer caller,
   * so check size before reading this field. */
  uint64_t records_not_taken; /* payloads refused (-1) since the start: no client, the backlog full, a bound reached */
};
/* The size of the record before records_not_taken was added. */
#define KAVROD_STATUS_SIZE_V1 32u

/*
 * Optional. Fills `status` (whose size the caller has set) and returns 1;
 * 0 when it cannot.
 */
KAVROD_EXPORT int32_t KavrodQueryStatus(struct KavrodStatus* status);

#ifdef __cplusplus
}
#endif

#endif /* KAVROD_H */
