#include "core/link_control.h"

namespace kavro {

void LinkControl::ReleaseLink() {
  trace_.TraceMessage(LOG_PROTOCOL, "CTI Link Released");
  // The exchange keeps two threads releasing at once from both posting; the
  // first destroy request handled ends the process anyway.
  if (SetLinkState(LINK_RELEASED) != LINK_RELEASED) {
    hub_.PostMessage(platform::WM_DESTROY, 0);
  }
}

}  // namespace kavro
