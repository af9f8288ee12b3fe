/* The public headers are for C client programs as well: this file only has
   to compile as strict C99. */
#include <kavro/kavro_wire.h>
#include <kavrod.h>

uint32_t kavro_public_headers_payload_word(uint32_t address);

uint32_t kavro_public_headers_payload_word(uint32_t address) {
  return KAVRO_COMMAND_WORD(KAVRO_COMMAND_SEND_PAYLOAD, address & 0xFFu);
}
