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

/* Commands of KAVRO_MSG_COPYDATA: the high 16 bits of the command word. */
#define KAVRO_COMMAND_SEND_PAYLOAD 0x0001u
#define KAVRO_COMMAND_REQUEST_SERVICE 0x1111u
#define KAVRO_COMMAND_WORD(command, argument) \
  ((uint32_t)(((uint32_t)(command) << 16) | ((uint32_t)(argument) & 0xFFFFu)))

/* Link events. */
#define KAVRO_EVENT_SHUTDOWN 0u          /* the link driver is ending */
#define KAVRO_EVENT_ESTABLISHED 1u       /* the link is up */
#define KAVRO_EVENT_SERVICE_ANSWERED 17u /* the PBX answered the service request */
#define KAVRO_EVENT_FAILED 18u           /* the link could not be set up */

#endif /* KAVRO_WIRE_H */
