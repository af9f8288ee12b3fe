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
 * The answer is 1 when the payload was taken (sent, or queued among the 20
 * the send queue holds), 0 when it was refused: for a while when the queue
 * is full or the link is not (yet, or for the moment) established, for good
 * when the link is going down. KAVRO_COMMAND_SERVICE (no data) repeats the
 * service request; WM_CLOSE takes the link down and ends the driver (so does
 * a WM_DESTROY sent from outside).
 *
 * Status: send KAVRO_MSG_STATUS with wParam = a window of yours (a
 * message-only window will do). The driver takes the record at once and
 * sends that window, from a thread of its own, WM_COPYDATA with dwData =
 * KAVRO_MSG_STATUS and the status record of kavro_wire.h as its bytes (the
 * i32 1, the version, the link's kind, state and counters at the
 * KAVRO_STATUS_AT_* offsets, then the link name and the device as
 * zero-terminated texts): serve the window's messages until it comes. The
 * message returns 1 when the answer is on its way, 0 when it is refused (no
 * such window, one of another session or user, an answer to it still under
 * way).
 *
 * Receiving: connect to the named pipe KAVROD_PIPE_NAME (a message pipe,
 * local clients only) with GENERIC_READ | GENERIC_WRITE and the flags
 * SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION (on ERROR_PIPE_BUSY
 * wait with WaitNamedPipeA and try again), switch it to message read mode
 * and read one record per ReadFile with a buffer of KAVROD_RECORD_MAX
 * bytes. Each record is
 *
 *     u32 kind     KAVROD_RECORD_PAYLOAD, KAVROD_RECORD_LINK_EVENT or
 *                  KAVROD_RECORD_LINK_STATE
 *     u32 value    payload: the frame's address byte; link event: its code;
 *                  link state: 1 when the link is up, 0 when it is not
 *     bytes        payload: the payload bytes; otherwise none
 *
 * little-endian. The first record on every connection is the link state;
 * skip kinds you do not know. Then every connected client receives every
 * record from the moment the library took it in, in order; records that
 * arrive while no client is connected wait (up to KAVROD_BACKLOG_MAX) for
 * the first client that takes records. After KAVROD_EVENT_SHUTDOWN the pipe
 * closes: the link has ended. A connection closed before its link-state
 * record was refused: KAVROD_CLIENTS_MAX clients are connected already.
 *
 * Credit: a client may write requests, one message of KAVROD_REQUEST_SIZE
 * bytes each:
 *
 *     u32 code     KAVROD_REQUEST_CREDIT
 *     u32 value    the number of further records the client is ready for
 *
 * A message that is none of the requests described here, or longer than 512
 * bytes, closes the connection.
 *
 * Once a client has sent one it is sent no more records than it has granted
 * in all (the link-state record does not count); what it is not sent waits
 * for the next client. A new client gets its link-state record at once and
 * nothing else until it either sends a credit or KAVROD_CREDIT_GRACE_MS
 * pass after it connected without one; then it is a plain client and is sent
 * everything. So a client that wants exactly N records writes its credit
 * right after connecting, before it reads. When the link ends, what is
 * queued and KAVROD_EVENT_SHUTDOWN are sent regardless of credit.
 *
 * Batches, for a client that wants to read fast: a client that writes
 * KAVROD_REQUEST_BATCH (u32 code, u32 0) is sent, from then on, messages
 * that each carry one or more records in order:
 *
 *     u32 kind     KAVROD_RECORD_BATCH
 *     u32 count    the records that follow
 *     count times: u32 size, then one record of that many bytes, exactly as
 *                  it would come alone (kind, value, payload)
 *
 * A batch holds up to 32 KiB of records (a longer record comes alone in
 * its batch); read them with a buffer of KAVROD_BATCH_MESSAGE_MAX bytes. A record never
 * crosses messages, credit and acknowledgements count records as before,
 * and the link-state record that opens the connection comes alone (it is
 * sent before the request is read). One ReadFile then takes what would be
 * dozens: a client that keeps up with the line at small payloads wants it.
 *
 * Acknowledged client, for a bridge that must lose nothing: a client that
 * writes KAVROD_REQUEST_ACKNOWLEDGED (u32 code, u32 0) right after
 * connecting, before reading, is sent payloads and link events as kinds
 * KAVROD_RECORD_PAYLOAD_ID and KAVROD_RECORD_LINK_EVENT_ID with a header of
 * KAVROD_ID_HEADER_SIZE bytes: u32 kind, u32 value, u64 start_id (fixed for
 * the life of kavro.exe, different for every start), u64 sequence (every
 * payload and event from 1 upwards; a gap is a payload no one could take),
 * then the payload (read
 * with a buffer of KAVROD_ID_RECORD_MAX bytes). It acknowledges with
 * KAVROD_REQUEST_ACK (KAVROD_ACK_REQUEST_SIZE bytes: u32 code, u32 0, u64
 * sequence: everything up to and including it). From the first such client
 * on, the library keeps each record until it is acknowledged, up to the
 * deep buffer (beyond it the oldest go first, counted as lost); what a
 * departed acknowledged client had not acknowledged goes first, with the
 * same identity, to the next one. The request counts as long as the client
 * has been sent no record (also after KAVROD_CREDIT_GRACE_MS); a client that
 * asks later is closed. One at a time: a second one is closed after its
 * link-state record. Both refusals are reported once, then at most once a
 * minute with a count.
 *
 * A payload the library refuses (no client and the backlog full, a bound
 * reached) is counted in records_not_taken and still uses up its sequence
 * number, so the acknowledged client sees the gap.
 *
 * The record log (a RecordLog value in the configuration key names its
 * folder; KavrodOpenRecordLog, ordinal 12): every record is written to a
 * checksummed log before DeliverPayload returns, and the acknowledged
 * client is served from it from the start of kavro.exe on; only the log's
 * bound drops records, and a record leaves the log when acknowledged.
 * start_id then carries the log id and the sequence goes on across
 * restarts: what was not acknowledged comes again first after a restart,
 * with the identity it had and KAVROD_RECORD_AGAIN set in its kind. A start
 * not preceded by a clean stop gives new records a new log id, so no (log
 * id, sequence) pair is ever issued twice.
 *
 * Observer, for a monitor that must never stand in the link's way: a client
 * that writes KAVROD_REQUEST_OBSERVER (u32 code, u32 0) right after
 * connecting, before reading, is sent what comes from then on (never the
 * backlog for the first client), never holds the link back and is never
 * disconnected as slow: when it falls more than KAVROD_HOLD_BACK records
 * behind its oldest unsent records are skipped, and a KAVROD_RECORD_MISSED
 * record (value: how many) comes before its next record. Skipped records
 * count for it alone, never as records lost.
 *
 * Flow: the link never waits on a client. Each client may fall
 * KAVROD_CLIENT_QUEUE_MAX records behind; one that would fall further is
 * disconnected and the records it lost are counted. On a TCP link the
 * driver calls KavrodWaitForRoom before reading the PBX's socket again, so
 * a client more than KAVROD_HOLD_BACK records behind slows that reading;
 * one that then takes nothing for KAVROD_STALL_MS milliseconds is
 * disconnected. A client that keeps up gets every record once, in order.
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

/* The status request: a window message of the driver's own (WM_APP + 0x4B). */
#ifndef KAVRO_MSG_STATUS
#define KAVRO_MSG_STATUS 0x804Bu
#endif

#define KAVROD_PIPE_NAME "\\\\.\\pipe\\kavrod"

#define KAVROD_RECORD_PAYLOAD 1u
#define KAVROD_RECORD_LINK_EVENT 2u
#define KAVROD_RECORD_LINK_STATE 3u
#define KAVROD_RECORD_PAYLOAD_ID 4u
#define KAVROD_RECORD_LINK_EVENT_ID 5u
/* Set in the kind of a kind-4 or kind-5 record served again after a restart
 * of the link driver from the record log: the same identity as when it was
 * first sent, but the record is old (a link event in it no longer says how
 * the link is now). */
#define KAVROD_RECORD_AGAIN 0x100u
/* To an observer only: `value` records it was not sent (it fell behind). */
#define KAVROD_RECORD_MISSED 6u
/* A message of several records, for a client that asked for batches. */
#ifndef KAVROD_RECORD_BATCH
#define KAVROD_RECORD_BATCH 7u
#endif
/* The longest batch message (32 KiB of records, or one longer record
 * alone): read with a buffer this large. */
#define KAVROD_BATCH_MESSAGE_MAX (12u + KAVROD_ID_RECORD_MAX)

#define KAVROD_REQUEST_CREDIT 1u
#define KAVROD_REQUEST_ACKNOWLEDGED 2u
#define KAVROD_REQUEST_ACK 3u
/* Asks to be an observer: sent what comes from now on, never a backlog;
 * never holds the link back; what it misses is counted for it alone. */
#define KAVROD_REQUEST_OBSERVER 4u
/* Asks for batches: see "Batches" above. */
#define KAVROD_REQUEST_BATCH 5u
#define KAVROD_REQUEST_SIZE 8u
#define KAVROD_ACK_REQUEST_SIZE 16u
/* How long a new client has to send its first credit. */
#define KAVROD_CREDIT_GRACE_MS 200u

#define KAVROD_HEADER_SIZE 8u
#define KAVROD_PAYLOAD_MAX 65535u
#define KAVROD_RECORD_MAX (KAVROD_HEADER_SIZE + KAVROD_PAYLOAD_MAX)
#define KAVROD_ID_HEADER_SIZE 24u
#define KAVROD_ID_RECORD_MAX (KAVROD_ID_HEADER_SIZE + KAVROD_PAYLOAD_MAX)
#define KAVROD_BACKLOG_MAX 1024u
#define KAVROD_CLIENT_QUEUE_MAX 65536u
#define KAVROD_CLIENT_BYTES_MAX (128u * 1024u * 1024u)
#define KAVROD_HOLD_BACK 4096u
#define KAVROD_STALL_MS 5000u
#define KAVROD_CLIENTS_MAX 64u

#define KAVROD_EVENT_SHUTDOWN 0u
#define KAVROD_EVENT_ESTABLISHED 1u
#define KAVROD_EVENT_SERVICE_ANSWERED 17u
#define KAVROD_EVENT_FAILED 18u

#define KAVROD_STATUS_NOT_SERVING 1u

/* What KavrodQueryStatus fills in; the caller sets size. */
struct KavrodStatus {
  uint32_t size;
  uint32_t clients;
  uint32_t acknowledged_clients;
  uint32_t flags; /* KAVROD_STATUS_NOT_SERVING: another program holds the pipe's name */
  uint64_t records_lost;           /* to slow clients, and unacknowledged ones dropped */
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
 * The library's functions, for the driver and for companion libraries of
 * one's own: exported by ordinal only, stdcall. The payload block comes
 * from msvcrt.dll's malloc; a library that takes it (any result but -1)
 * releases it with msvcrt.dll's free. DeliverPayload never waits.
 * KavrodWaitForRoom (optional) waits at most timeout_ms while a client is
 * more than KAVROD_HOLD_BACK records behind: 1 room (2 after dropping a
 * stalled client), 0 still full; the
 * driver calls it on TCP links only, outside its link lock.
 * KavrodQueryStatus (optional) returns 1 when it filled the record.
 */
#ifdef __cplusplus
extern "C" {
#endif
int32_t __stdcall DeliverPayload(uint32_t address, void *payload, uint32_t length); /* ordinal 7 */
void __stdcall SignalLinkEvent(uint32_t code);                                     /* ordinal 8 */
int32_t __stdcall KavrodWaitForRoom(uint32_t timeout_ms);                          /* ordinal 9 */
int32_t __stdcall KavrodQueryStatus(struct KavrodStatus *status);                  /* ordinal 10 */
#ifdef __cplusplus
}
#endif

/*
 * KAVROD32.dll's notices (clients dropped or refused, the pipe unavailable)
 * go to the debugger output and the error output, or, once the driver has
 * set one, to its sink: ordinal 11, stdcall, optional for the driver. The
 * sink is called on a thread of the library's own, one line at a time
 * without a line end, with the level KAVROD_NOTICE_ERROR or
 * KAVROD_NOTICE_WARNING (the trace log's level bits); a sink that takes its
 * time holds up no client (notices beyond 256 waiting are counted and the
 * count is reported instead). A null sink restores the default. Notices made
 * before the sink is set wait up to half a second for it.
 */
#define KAVROD_NOTICE_ERROR 1u
#define KAVROD_NOTICE_WARNING 2u
#ifdef __cplusplus
extern "C" {
#endif
typedef void(__stdcall *KavrodNoticeSink)(void *context, uint32_t level, const char *line);
void __stdcall KavrodSetNoticeSink(KavrodNoticeSink sink, void *context); /* ordinal 11 */
#ifdef __cplusplus
}
#endif

/*
 * Optional for the driver: opens the record log in the folder `directory`
 * (created when missing; held with an exclusive handle against a second
 * driver) before the first record. `max_bytes` bounds it (0:
 * KAVROD_RECORD_LOG_MAX_DEFAULT), `flags` may hold
 * KAVROD_RECORD_LOG_SYNC_ALWAYS. Returns 1, or 0 with a line saying why in
 * `message`. A log that cannot be read is set aside and a new one started.
 */
#define KAVROD_RECORD_LOG_MAX_DEFAULT (256ull * 1024u * 1024u)
#define KAVROD_RECORD_LOG_SYNC_ALWAYS 1u
#ifdef __cplusplus
extern "C" {
#endif
int32_t __stdcall KavrodOpenRecordLog(const char *directory, uint64_t max_bytes, uint32_t flags, char *message,
                                      uint32_t message_size); /* ordinal 12 */
#ifdef __cplusplus
}
#endif

#endif /* KAVROD32_H */
