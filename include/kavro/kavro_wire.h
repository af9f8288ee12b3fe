/*
 * kavro_wire.h: the numbers and names on the wire between the kavro link
 * driver and the programs around it, for the driver itself, its tools, the
 * companion library and client programs. C and C++.
 *
 * Control socket. kavro serves RUN_DIR/KAVRO_CONTROL_SOCKET_NAME, a Unix
 * socket of type SOCK_SEQPACKET. A request is one packet, little-endian:
 *
 *     u32 message   KAVRO_MSG_COPYDATA or KAVRO_MSG_CLOSE
 *     u32 word      KAVRO_MSG_COPYDATA: the command word (below)
 *     bytes         KAVRO_MSG_COPYDATA: the data, at most KAVRO_REQUEST_DATA_MAX
 *
 * and is answered with one packet, an i32: 1 done, 0 refused or not
 * understood (the close request is always answered 0).
 *
 * Command words: the high 16 bits select the command, the low 16 bits are
 * its argument. KAVRO_COMMAND_SEND_PAYLOAD sends the data as one payload
 * with the word's low byte as its address byte; KAVRO_COMMAND_REQUEST_SERVICE
 * repeats the service request to the PBX.
 *
 * The status request KAVRO_MSG_STATUS (word and data ignored) is answered
 * with the only answer longer than the i32: the i32 1, then the link's
 * state and counters at the KAVRO_STATUS_AT_* byte offsets below, all
 * little-endian, then two zero-terminated texts: the link name and the
 * device (the serial device path, address:port of a TCP link, the USB
 * device), then the companion library's counts at the KAVRO_STATUS_TAIL_AT_*
 * offsets from the end of the second text (an older kavro ends with the
 * texts, or with a shorter tail: read a field only when the answer holds
 * it, and ignore bytes after the fields you know). A kavro that does not
 * know the request answers the plain i32 0.
 *
 * Link events are the codes the companion library's SignalLinkEvent is
 * called with and passes on to its clients.
 */
#ifndef KAVRO_WIRE_H
#define KAVRO_WIRE_H

#include <stdint.h>

/* The control socket's file name inside the run directory; also the name
   under which the control window is registered where there are windows. */
#define KAVRO_CONTROL_SOCKET_NAME "KavroControlProg"

/* A request's fixed part and the longest data it may carry. */
#define KAVRO_REQUEST_HEADER_SIZE 8u
#define KAVRO_REQUEST_DATA_MAX 65535u

/* Request messages, numbered as the window system numbers them. */
#define KAVRO_MSG_CLOSE 0x0010u
#define KAVRO_MSG_COPYDATA 0x004Au

/* The status request: a message number of kavro's own, above the window
   system's (WM_APP + 0x4B), so that no window message is ever taken for it. */
#define KAVRO_MSG_STATUS 0x804Bu

/* The status answer. */
#define KAVRO_STATUS_VERSION 1u
#define KAVRO_STATUS_AT_RESULT 0u             /* i32, 1 */
#define KAVRO_STATUS_AT_VERSION 4u            /* u32, KAVRO_STATUS_VERSION */
#define KAVRO_STATUS_AT_LINK_KIND 8u          /* u32, KAVRO_LINK_KIND_* */
#define KAVRO_STATUS_AT_LINK_STATE 12u        /* u32, KAVRO_LINK_STATE_* */
#define KAVRO_STATUS_AT_QUEUE_DEPTH 16u       /* u32, payloads waiting to be sent */
#define KAVRO_STATUS_AT_LISTENERS 20u         /* i32, connected clients; -1 unknown */
#define KAVRO_STATUS_AT_UPTIME_MS 24u         /* u64, since kavro started */
#define KAVRO_STATUS_AT_SINCE_RECEIVED_MS 32u /* u64, since the last frame from the PBX; all ones: none yet */
#define KAVRO_STATUS_AT_FRAMES_SENT 40u       /* u64 each, from here on */
#define KAVRO_STATUS_AT_FRAMES_RECEIVED 48u
#define KAVRO_STATUS_AT_PAYLOADS_SENT 56u
#define KAVRO_STATUS_AT_PAYLOADS_RECEIVED 64u
#define KAVRO_STATUS_AT_RETRANSMISSIONS 72u
#define KAVRO_STATUS_AT_REJECTED 80u    /* I-frames out of sequence */
#define KAVRO_STATUS_AT_DAMAGED 88u     /* frames dropped for a bad CRC, length or tag */
#define KAVRO_STATUS_AT_LINK_RESETS 96u /* layer 2 set up again during transfer */
#define KAVRO_STATUS_AT_TEXTS 104u      /* link name, device: zero-terminated */
/* After the texts: */
#define KAVRO_STATUS_TAIL_AT_ACKNOWLEDGED_CLIENTS 0u    /* i32; -1 unknown */
#define KAVRO_STATUS_TAIL_AT_RECORDS_LOST 4u            /* u64, to slow clients since the start; all ones unknown */
#define KAVRO_STATUS_TAIL_AT_RECORDS_UNACKNOWLEDGED 12u /* u64, kept for the acknowledged client */
/* u64, payloads taken from the PBX that the companion library refused (no
   client, its backlog full, a bound reached) since the start; added later:
   absent from the answer of an older kavro, whose tail ends here. */
#define KAVRO_STATUS_TAIL_AT_RECORDS_NOT_TAKEN 20u
/* The tail of an older kavro, without records_not_taken. */
#define KAVRO_STATUS_TAIL_SIZE_V1 20u
#define KAVRO_STATUS_TAIL_AT_LIBRARY_FLAGS 28u /* u32, KAVRO_LIBRARY_* bits the library reports */
#define KAVRO_STATUS_TAIL_SIZE 32u
/* The library cannot serve clients: the name they connect to (its pipe or
 * socket) is held by another program. */
#define KAVRO_LIBRARY_NOT_SERVING 1u

#define KAVRO_LINK_KIND_NONE 0u
#define KAVRO_LINK_KIND_SERIAL 1u
#define KAVRO_LINK_KIND_USB 2u
#define KAVRO_LINK_KIND_TCP 3u

#define KAVRO_LINK_STATE_IDLE 0u
#define KAVRO_LINK_STATE_AWAIT_SERVICE 1u
#define KAVRO_LINK_STATE_SETUP 2u
#define KAVRO_LINK_STATE_ESTABLISHED 3u
#define KAVRO_LINK_STATE_TIMER_RECOVERY 4u
#define KAVRO_LINK_STATE_DISCONNECTING 6u
#define KAVRO_LINK_STATE_RELEASED 7u

/* Commands of KAVRO_MSG_COPYDATA: the high 16 bits of the command word. */
#define KAVRO_COMMAND_SEND_PAYLOAD 0x0001u
#define KAVRO_COMMAND_REQUEST_SERVICE 0x1111u
#define KAVRO_COMMAND_WORD(command, argument) ((uint32_t)(((uint32_t)(command) << 16) | ((uint32_t)(argument)&0xFFFFu)))

/* Link events. */
#define KAVRO_EVENT_SHUTDOWN 0u          /* the link driver is ending */
#define KAVRO_EVENT_ESTABLISHED 1u       /* the link is up */
#define KAVRO_EVENT_SERVICE_ANSWERED 17u /* the PBX answered the service request */
#define KAVRO_EVENT_FAILED 18u           /* the link could not be set up */

#endif /* KAVRO_WIRE_H */
